"""Bridging channels between hosts over Zenoh: `publish` on one, `subscribe` on the other.

The far side gets a local channel of the same element type and geometry, so its readers
stay as they are. Needs Zenoh: `pip install 'quillmere[bridge]'`.
"""

from __future__ import annotations

try:
    import zenoh as _zenoh  # noqa: F401  (this package is unusable without it)
except ImportError as error:
    raise ImportError(
        "the quillmere bridge needs Zenoh: pip install 'quillmere[bridge]' "
        "(or pip install eclipse-zenoh)", name="zenoh") from error

import os
from collections.abc import Iterable

from quillmere_tools.bridge._publisher import Publisher
from quillmere_tools.bridge._session import SessionOptions, close_session
from quillmere_tools.bridge._subscriber import GeometryMismatch, Subscriber
from quillmere_tools.bridge._wire import EntryDescription

__all__ = ["EntryDescription", "GeometryMismatch", "Publisher", "SessionOptions", "Subscriber",
           "publish", "subscribe"]

Path = str | os.PathLike[str]


def publish(name: str, key: str, *, connect: Iterable[str] = (), listen: Iterable[str] = (),
            config: Path | None = None, scout: bool = False,
            reliable: bool = False) -> Publisher:
    """Start putting every entry of local channel `name` on Zenoh key `key`.

    Waits for the channel to exist, follows it from its newest entry on with a copying reader
    (never slowing its writer), and re-attaches when it is removed and created again.
    `connect`/`listen` are Zenoh endpoints ("tcp/HOST:PORT"); `config` is a Zenoh JSON5 file
    for everything else; multicast scouting stays off unless `scout`. Entries that the network
    cannot take are dropped, unless `reliable`, which blocks the bridge (never the writer)
    instead. Close the returned object, or use it as a context manager.
    """
    session = SessionOptions.of(connect, listen, config, scout).open()
    try:
        return Publisher(name, key, session, reliable)
    except BaseException:
        close_session(session)
        raise


def subscribe(key: str, name: str, *, connect: Iterable[str] = (), listen: Iterable[str] = (),
              config: Path | None = None, scout: bool = False, reliable: bool = False,
              queue: int = 256, keep: bool = False) -> Subscriber:
    """Start writing every entry arriving on Zenoh key `key` into local channel `name`.

    The first entry's element type and geometry create the channel, or must match an existing
    one: otherwise the subscriber stops with `GeometryMismatch` as its `error`. Up to `queue`
    samples (an entry, or consecutive entries sent together) wait for the local writer;
    beyond that the oldest are dropped, or with `reliable` Zenoh is held back. A channel this subscriber created is removed when it closes, unless
    `keep`. Session options as for `publish`.
    """
    session = SessionOptions.of(connect, listen, config, scout).open()
    try:
        return Subscriber(key, name, session, reliable, queue, keep)
    except BaseException:
        close_session(session)
        raise
