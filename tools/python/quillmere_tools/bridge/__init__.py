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
from quillmere_tools.bridge._session import SessionOptions, check_key, close_session
from quillmere_tools.bridge._subscriber import GeometryMismatch, Subscriber
from quillmere_tools.bridge._wire import EntryDescription
from quillmere_tools.bridge._worker import Status

__all__ = ["EntryDescription", "GeometryMismatch", "Publisher", "SessionOptions", "Subscriber",
           "publish", "subscribe"]

Path = str | os.PathLike[str]


def publish(name: str, key: str, *, connect: Iterable[str] = (), listen: Iterable[str] = (),
            config: Path | None = None, scout: bool = False, reliable: bool = False,
            from_oldest: bool = False, status: Status | None = None) -> Publisher:
    """Start putting every entry of local channel `name` on Zenoh key `key`.

    Once something subscribes to the key, follows the channel read-only, taking no role, and
    re-attaches when it is removed and created again. A channel that exists by then is
    followed from its newest entry on (a live feed: a restarted bridge does not send again
    what the far side has), or with `from_oldest` from the oldest entries still in its ring
    (all but the eighth the writer overwrites next); a channel that does not exist yet is
    waited for and followed from its first entry.
    `connect`/`listen` are Zenoh endpoints ("tcp/HOST:PORT"); `config` is a Zenoh JSON5 file
    for everything else; multicast scouting stays off unless `scout`. Entries that the network
    cannot take are dropped, unless `reliable`, which blocks the bridge (never the writer)
    instead. `status` is called with a short line whenever the bridge's state changes (on
    the bridge's thread). Close the returned object, or use it as a context manager.
    """
    check_key(key)
    session = SessionOptions.of(connect, listen, config, scout).open(status)
    try:
        return Publisher(name, key, session, reliable, from_oldest, status)
    except BaseException:
        close_session(session)
        raise


def subscribe(key: str, name: str, *, connect: Iterable[str] = (), listen: Iterable[str] = (),
              config: Path | None = None, scout: bool = False, reliable: bool = False,
              queue: int = 256, keep: bool = False, status: Status | None = None) -> Subscriber:
    """Start writing every entry arriving on Zenoh key `key` into local channel `name`.

    The first entry's element type and geometry create the channel, or must match an existing
    one: otherwise the subscriber stops with `GeometryMismatch` as its `error`. Up to `queue`
    samples (an entry, or consecutive entries sent together) wait for the local writer;
    beyond that the oldest are dropped, or with `reliable` Zenoh is held back. A channel this subscriber created is removed when it closes, unless
    `keep`. Session options and `status` as for `publish`.
    """
    check_key(key)
    session = SessionOptions.of(connect, listen, config, scout).open(status)
    try:
        return Subscriber(key, name, session, reliable, queue, keep, status)
    except BaseException:
        close_session(session)
        raise
