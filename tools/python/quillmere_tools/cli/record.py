"""`quillmere record NAME [NAME ...] -o FILE.mcap`: channels into an MCAP file until Ctrl-C,
SIGTERM or a limit; with --snapshot, the last seconds into a new file on each SIGUSR1."""

from __future__ import annotations

import argparse
import signal
import sys
import time
from typing import TYPE_CHECKING

from quillmere_tools.cli._common import (
    CommandError, Subparsers, count, note, positive_seconds, print_json, shown)
from quillmere_tools.cli._extra import Stop, StopSignals, load

if TYPE_CHECKING:
    from quillmere_tools.recording import ChannelStats, Recorder

_PROGRESS_EVERY = 0.5


def add_parser(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "record", help="record channels into an MCAP file",
        description="Record every entry of the channels into an MCAP file, one MCAP channel "
        "each, until Ctrl-C, SIGTERM, --duration or --max-bytes. Entries the recorder missed "
        "(lapped by the writer) are counted in the file. Needs the extra "
        "'quillmere[record]'.")
    parser.add_argument("names", nargs="+", metavar="NAME", help="channels to record")
    parser.add_argument("-o", "--output", required=True, metavar="FILE.mcap",
                        help="file to write (numbered FILE-0001.mcap, ... when split or "
                             "with --snapshot)")
    parser.add_argument("--duration", type=positive_seconds, metavar="S",
                        help="stop after S seconds")
    parser.add_argument("--max-bytes", type=count, metavar="N",
                        help="stop once N bytes of entries are recorded")
    parser.add_argument("--compression", choices=("zstd", "lz4", "none"), default="zstd",
                        help="chunk compression (default zstd)")
    parser.add_argument("--split-size", type=count, metavar="BYTES",
                        help="go on in a new file once one holds BYTES")
    parser.add_argument("--split-duration", type=positive_seconds, metavar="S",
                        help="go on in a new file every S seconds")
    parser.add_argument("--snapshot", type=positive_seconds, metavar="S",
                        help="keep the last S seconds in memory only; write them to a new "
                             "file on each SIGUSR1")
    parser.add_argument("--backlog-bytes", type=count, metavar="N", default=1 << 30,
                        help="entries read but not yet in the file hold at most about N bytes "
                             "(default 1 GiB); past it they count as lost")
    parser.add_argument("--json", action="store_true",
                        help="no progress line; the closing summary as a JSON object")
    parser.set_defaults(run=run)


def run(args: argparse.Namespace) -> int:
    recording = load("quillmere_tools.recording", "mcap")
    progress = sys.stderr.isatty() and not args.json
    previous = signal.getsignal(signal.SIGUSR1)
    # Ctrl-C and SIGTERM only stop the recording: the threads following the channels must be
    # started and joined whole before the interpreter goes away.
    with StopSignals() as signals:
        try:
            recorder: Recorder = recording.Recorder(
                args.names, args.output, compression=args.compression, duration=args.duration,
                max_bytes=args.max_bytes or None, split_size=args.split_size or None,
                split_duration=args.split_duration, snapshot=args.snapshot,
                backlog_bytes=args.backlog_bytes)
        except (OSError, ValueError) as error:
            raise CommandError(str(error)) from None
        try:
            if args.snapshot:
                signal.signal(signal.SIGUSR1, lambda signum, frame: _snapshot(recorder))
            signals.arm()
            _until_stopped(recorder, progress)
        except Stop:
            pass
        finally:
            signals.disarm()
            signal.signal(signal.SIGUSR1, previous)
            try:
                stats = recorder.stop()
            except Exception as error:
                raise CommandError(f"recording failed: {error}") from None
            if progress:
                print(file=sys.stderr)
    _print_summary(recorder, stats, args.json)
    return 0


def _snapshot(recorder: Recorder) -> None:
    recorder.snapshot(wait=False)  # written by the recorder's file thread


def _until_stopped(recorder: Recorder, progress: bool) -> None:
    while not recorder.wait(_PROGRESS_EVERY):
        if progress:
            print("\r" + _progress_line(recorder.stats()), end="", file=sys.stderr, flush=True)


def _progress_line(stats: dict[str, ChannelStats]) -> str:
    parts = [f"{shown(name)}: {s.entries} entries, {s.bytes / 1e6:.1f} MB, {s.lost} lost"
             for name, s in stats.items()]
    return time.strftime("%H:%M:%S ") + "  |  ".join(parts) + "\033[K"


def _print_summary(recorder: Recorder, stats: dict[str, ChannelStats], as_json: bool) -> None:
    if as_json:
        print_json({"files": recorder.files, "channels": {
            name: {"entries": s.entries, "bytes": s.bytes, "lost": s.lost}
            for name, s in stats.items()}})
        return
    for name, s in stats.items():
        print(f"{shown(name)}: {s.entries} entries, {s.bytes} bytes, {s.lost} lost")
    note("wrote " + ", ".join(recorder.files))
