"""`quillmere tail NAME`: the newest entries, and with --follow every new one as it comes."""

from __future__ import annotations

import argparse
import contextlib
import math
from array import array
from collections.abc import Callable

from quillmere_tools._polling import PollingBell, bell_for
from quillmere_tools._segments import Channel
from quillmere_tools.cli._common import (
    CommandError,
    Subparsers,
    count,
    note,
    open_channel,
    print_json,
    shown,
)

# Bytes shown in hex, or numbers shown, per entry in the text output; JSON has them all.
PREVIEW_BYTES = 16
PREVIEW_NUMBERS = 8

Show = Callable[[int, bytes], None]


def add_parser(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "tail",
        help="print the newest entries",
        description="Print the newest entries: entry_seq and a preview (hex for bytes, "
        "numbers for float64 and int64).",
    )
    parser.add_argument("name", help="channel name, e.g. /sensor-frames")
    parser.add_argument("-n", type=count, default=10, metavar="N",
                        help="how many of the newest entries (default 10)")
    parser.add_argument("-f", "--follow", action="store_true",
                        help="then keep printing new entries, waiting on the doorbell (polling"
                             " when you may read the channel but not write it)")
    parser.add_argument("--json", action="store_true",
                        help="one JSON object an entry, with the whole payload")
    parser.set_defaults(run=run)


def numbers(payload: bytes, dtype: str) -> list[float] | list[int] | None:
    if dtype == "f64":
        return array("d", payload).tolist()
    if dtype == "i64":
        return array("q", payload).tolist()
    return None


def preview(payload: bytes, dtype: str) -> str:
    values = numbers(payload, dtype)
    if values is None:
        more = f" ... ({len(payload)} bytes)" if len(payload) > PREVIEW_BYTES else ""
        return payload[:PREVIEW_BYTES].hex(" ") + more
    more = f" ... ({len(values)} values)" if len(values) > PREVIEW_NUMBERS else ""
    return " ".join(f"{value:.6g}" for value in values[:PREVIEW_NUMBERS]) + more


def json_payload(payload: bytes, dtype: str) -> object:
    values = numbers(payload, dtype)
    if values is None:
        return payload.hex()
    # JSON has no NaN or infinities: those go as the strings "nan", "inf" and "-inf".
    return [v if isinstance(v, int) or math.isfinite(v) else str(v) for v in values]


def shower(dtype: str, as_json: bool) -> Show:
    def show(entry_seq: int, payload: bytes) -> None:
        if as_json:
            print_json({"entry_seq": entry_seq, "payload": json_payload(payload, dtype)})
        else:
            print(f"{entry_seq:>12}  {preview(payload, dtype)}")

    return show


def print_entries(channel: Channel, after: int, show: Show, limit: int | None = None) -> int:
    """Prints entries newer than `after` (at most `limit`); returns the last entry_seq shown."""
    shown = 0
    while limit is None or shown < limit:
        got = channel.read(after)
        if got is None:
            break
        after = got[0]
        show(*got)
        shown += 1
    print(end="", flush=True)
    return after


def follow(channel: Channel, after: int, show: Show) -> None:
    """Prints new entries as they come, asleep on the channel's doorbell in between, until
    Ctrl-C."""
    try:
        bell = bell_for(channel)
    except FileNotFoundError:
        raise CommandError(f"channel '{shown(channel.name)}' was removed") from None
    if isinstance(bell, PollingBell):
        note(f"quillmere: no write access to '{shown(channel.name)}' for its doorbell: "
             "following by polling, within 1 ms")
    with bell, contextlib.suppress(KeyboardInterrupt):
        while True:
            seen = channel.writer_entry_seq()
            after = print_entries(channel, after, show)
            # Sleep past the newest entry known: one that could not be read (held in place, or
            # overwritten meanwhile) must not wake the wait again at once. The wait itself
            # raises KeyboardInterrupt on Ctrl-C.
            bell.wait(max(seen, after))


def run(args: argparse.Namespace) -> int:
    with open_channel(args.name) as channel:
        show = shower(channel.info().dtype, args.json)
        after = max(channel.writer_entry_seq() - args.n, 0)
        after = print_entries(channel, after, show, limit=args.n)
        if args.follow:
            follow(channel, after, show)
    return 0
