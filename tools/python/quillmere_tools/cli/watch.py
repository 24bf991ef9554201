"""`quillmere watch NAME`: entries/s, MB/s, writer_entry_seq and the writer's liveness, one
line per interval."""

from __future__ import annotations

import argparse
import contextlib
import itertools
import time
from datetime import datetime

from quillmere_tools._segments import Holder
from quillmere_tools.cli._common import (
    Subparsers,
    count,
    open_channel,
    positive_seconds,
    print_json,
)


def add_parser(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "watch",
        help="show a channel's rate once per interval",
        description="Print entries/s, MB/s, writer_entry_seq and whether the writer is alive, "
        "once per interval, until Ctrl-C or COUNT lines.",
    )
    parser.add_argument("name", help="channel name, e.g. /sensor-frames")
    parser.add_argument("--interval", type=positive_seconds, default=1.0, metavar="S",
                        help="seconds between lines (default 1)")
    parser.add_argument("--count", type=count, default=None, metavar="N",
                        help="stop after N lines")
    parser.add_argument("--json", action="store_true",
                        help="one JSON object a line, its time in ISO 8601 with the UTC offset")
    parser.set_defaults(run=run)


def report(args: argparse.Namespace, rate: float, entry_length: int, seq: int,
           writer: Holder) -> None:
    if args.json:
        stamp = datetime.now().astimezone().isoformat(timespec="seconds")
        print_json({"time": stamp, "entries_per_s": rate, "mb_per_s": rate * entry_length / 1e6,
                    "writer_entry_seq": seq, "writer_alive": writer.alive})
    else:
        state = "no writer" if writer.pid == 0 else f"writer {writer.liveness}"
        print(f"{time.strftime('%H:%M:%S')}  {rate:12.1f} entries/s  "
              f"{rate * entry_length / 1e6:10.2f} MB/s  writer_entry_seq {seq}  {state}",
              flush=True)


def run(args: argparse.Namespace) -> int:
    # Ctrl-C is the way to stop watching: it ends the command with 0.
    with open_channel(args.name) as channel, contextlib.suppress(KeyboardInterrupt):
        entry_length = channel.info().entry_length
        last_seq, last_time = channel.writer_entry_seq(), time.monotonic()
        for _ in itertools.count() if args.count is None else range(args.count):
            time.sleep(args.interval)
            seq, now = channel.writer_entry_seq(), time.monotonic()
            # A re-initialised channel starts its numbering again: no negative rates.
            rate = max(seq - last_seq, 0) / (now - last_time)
            last_seq, last_time = seq, now
            report(args, rate, entry_length, seq, channel.info().writer)
    return 0
