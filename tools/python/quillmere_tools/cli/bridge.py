"""`quillmere bridge publish|subscribe`: a bridge end in the foreground until Ctrl-C or SIGTERM.

Zenoh is imported only when a bridge starts, so the rest of the command line works without
it, and this command can say how to install it.
"""

from __future__ import annotations

import argparse
import re
import signal
import sys
from collections.abc import Callable
from types import FrameType
from typing import TYPE_CHECKING

from quillmere_tools.cli._common import CommandError, Subparsers, print_json

if TYPE_CHECKING:
    from quillmere_tools.bridge import Publisher, Subscriber


# How often the foreground bridge looks at its connections, for the status lines.
_PEER_CHECK = 0.2


class _Stop(Exception):
    """Raised in the main thread by SIGTERM, like KeyboardInterrupt by SIGINT."""


def add_parser(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "bridge", help="carry a channel to other hosts over Zenoh",
        description="Bridge a channel across hosts: `publish` puts a local channel's entries on "
        "a Zenoh key, `subscribe` writes a key's entries into a local channel of the same "
        "geometry. Multicast scouting stays off unless --scout.")
    parser.set_defaults(run=run)
    roles = parser.add_subparsers(dest="role", required=True, metavar="{publish,subscribe}")
    publish = roles.add_parser(
        "publish", help="put every entry of a local channel on a Zenoh key",
        description="Follow local channel NAME read-only, waking on its doorbell, and put every "
        "entry on Zenoh key KEY with its description (entry_seq, element type, geometry, frame "
        "type). Starts once KEY has a subscriber: a channel already there from its newest "
        "entry (--from-oldest: the oldest still in its ring), one that does not exist yet "
        "from its first entry, once it does; a channel created again under the name is "
        "followed too. Status lines go to stderr (none with --json); Ctrl-C or SIGTERM stop "
        "it with a summary.")
    publish.add_argument("name", help="local channel to follow")
    publish.add_argument("--key", required=True, help="Zenoh key expression to put entries on")
    publish.add_argument("--from-oldest", action="store_true",
                         help="start a channel that is already there from the oldest entry "
                              "still in its ring (default: from its newest, as a live feed, so "
                              "that a restarted bridge sends nothing twice)")
    subscribe = roles.add_parser(
        "subscribe", help="write the entries arriving on a Zenoh key into a local channel",
        description="Take the entries a publisher puts on Zenoh key KEY and write them into "
        "local channel NAME, created from the first entry's element type and geometry (or "
        "checked against an existing one). Status lines go to stderr (none with --json); "
        "Ctrl-C or SIGTERM stop it with a summary, removing a channel it created unless "
        "--keep.")
    subscribe.add_argument("key", help="Zenoh key expression to take entries from")
    subscribe.add_argument("--into", required=True, metavar="NAME",
                           help="local channel to write (made from the first entry's geometry)")
    subscribe.add_argument("--queue", type=int, default=256, metavar="N",
                           help="samples waiting for the local writer before the oldest drop"
                                " (default 256)")
    subscribe.add_argument("--keep", action="store_true",
                           help="leave a channel this bridge created in place when it stops")
    for role in (publish, subscribe):
        role.add_argument("--connect", action="append", default=[], metavar="ENDPOINT",
                          help="Zenoh endpoint to connect to, e.g. tcp/10.0.0.2:7447 (repeatable)")
        role.add_argument("--listen", action="append", default=[], metavar="ENDPOINT",
                          help="Zenoh endpoint to listen on, e.g. tcp/0.0.0.0:7447 (repeatable)")
        role.add_argument("--config", metavar="FILE",
                          help="Zenoh JSON5 configuration for everything else")
        role.add_argument("--scout", action="store_true",
                          help="allow multicast scouting and gossip (off by default)")
        role.add_argument("--reliable", action="store_true",
                          help="block the bridge instead of dropping entries when the network"
                               " or the far side falls behind (the local writer never waits)")
        role.add_argument("--json", action="store_true",
                          help="print the closing summary as a JSON object, and no status "
                               "lines on stderr")


def run(args: argparse.Namespace) -> int:
    try:
        from quillmere_tools import bridge
    except ImportError as error:
        if error.name != "zenoh":
            raise
        raise CommandError(str(error)) from None
    status = None if args.json else _status
    session = dict(connect=args.connect, listen=args.listen, config=args.config,
                   scout=args.scout, reliable=args.reliable, status=status)
    end: Publisher | Subscriber
    try:
        if args.role == "publish":
            end = bridge.publish(args.name, args.key, from_oldest=args.from_oldest, **session)
        else:
            end = bridge.subscribe(args.key, args.into, queue=args.queue, keep=args.keep,
                                   **session)
    except Exception as error:  # bad endpoint, key or config file, port taken, bad queue length
        raise CommandError(_one_line(error)) from None
    _serve(end, status)
    _print_summary(end, args.json)
    if end.error is not None:
        raise CommandError(_one_line(end.error))
    return 0


def _one_line(error: BaseException) -> str:
    """Zenoh's messages end with the Rust source line, of no use here; an OSError's message
    is its text without the errno in brackets."""
    text = error.strerror if isinstance(error, OSError) and error.strerror else str(error)
    return "bridge: " + " ".join(re.sub(r" at \S+\.rs:\d+\.?", "", text).split())


def _status(text: str) -> None:
    print(f"quillmere bridge: {text}", file=sys.stderr, flush=True)


def _serve(end: Publisher | Subscriber, status: Callable[[str], None] | None) -> None:
    """Until the bridge fails, or SIGINT or SIGTERM arrive; then closes it. Says when the
    number of connected Zenoh peers changes."""

    def stop(signum: int, frame: FrameType | None) -> None:
        raise _Stop

    previous = signal.signal(signal.SIGTERM, stop)
    peers = 0
    try:
        while not end.wait(_PEER_CHECK):
            if status is not None and (now := end.peers()) != peers:
                peers = now
                status(f"connected to {now} Zenoh peer{'' if now == 1 else 's'}" if now
                       else "no Zenoh peer connected")
    except (KeyboardInterrupt, _Stop):
        pass
    finally:
        end.close()
        signal.signal(signal.SIGTERM, previous)


def _print_summary(end: Publisher | Subscriber, as_json: bool) -> None:
    from quillmere_tools.bridge import Publisher

    counts = ({"sent": end.sent} if isinstance(end, Publisher)
              else {"received": end.received, "missed": end.missed})
    if as_json:
        print_json(counts)
    else:
        print(", ".join(f"{value} {what}" for what, value in counts.items()))
