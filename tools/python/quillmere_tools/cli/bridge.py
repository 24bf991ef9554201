"""`quillmere bridge publish|subscribe`: a bridge end in the foreground until Ctrl-C or SIGTERM.

Zenoh is imported only when a bridge starts, so the rest of the command line works without
it, and this command can say how to install it.
"""

from __future__ import annotations

import argparse
import re
import signal
from types import FrameType
from typing import TYPE_CHECKING

from quillmere_tools.cli._common import CommandError, Subparsers, print_json

if TYPE_CHECKING:
    from quillmere_tools.bridge import Publisher, Subscriber


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
        "publish", help="put every entry of a local channel on a Zenoh key")
    publish.add_argument("name", help="local channel to follow")
    publish.add_argument("--key", required=True, help="Zenoh key expression to put entries on")
    subscribe = roles.add_parser(
        "subscribe", help="write the entries arriving on a Zenoh key into a local channel")
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
                          help="print the closing summary as a JSON object")


def run(args: argparse.Namespace) -> int:
    try:
        from quillmere_tools import bridge
    except ImportError as error:
        if error.name != "zenoh":
            raise
        raise CommandError(str(error)) from None
    session = dict(connect=args.connect, listen=args.listen, config=args.config,
                   scout=args.scout, reliable=args.reliable)
    end: Publisher | Subscriber
    try:
        if args.role == "publish":
            end = bridge.publish(args.name, args.key, **session)
        else:
            end = bridge.subscribe(args.key, args.into, queue=args.queue, keep=args.keep,
                                   **session)
    except Exception as error:  # bad endpoint, key or config file, port taken, bad queue length
        raise CommandError(_one_line(error)) from None
    _serve(end)
    _print_summary(end, args.json)
    if end.error is not None:
        raise CommandError(_one_line(end.error))
    return 0


def _one_line(error: BaseException) -> str:
    """Zenoh's messages end with the Rust source line, of no use here."""
    return "bridge: " + re.sub(r" at \S+\.rs:\d+\.?", "", str(error))


def _serve(end: Publisher | Subscriber) -> None:
    """Until the bridge fails, or SIGINT or SIGTERM arrive; then closes it."""

    def stop(signum: int, frame: FrameType | None) -> None:
        raise _Stop

    previous = signal.signal(signal.SIGTERM, stop)
    try:
        while not end.wait(1.0):
            pass
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
