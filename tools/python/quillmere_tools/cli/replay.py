"""`quillmere replay FILE.mcap`: the recorded entries written into channels again, at their
recorded pace scaled by --rate."""

from __future__ import annotations

import argparse
import threading
from typing import TYPE_CHECKING, cast

from quillmere_tools.cli._common import CommandError, Subparsers, print_json, shown
from quillmere_tools.cli._extra import Stop, StopSignals, load

if TYPE_CHECKING:
    from quillmere_tools.recording import ReplaySummary


def add_parser(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "replay", help="write a recording's entries into channels again",
        description="Write the entries of an MCAP recording into channels with their recorded "
        "timing. Missing channels are made with the recorded geometry and frame type (and "
        "removed at the end unless --keep); existing ones must match it. Needs the extra "
        "'quillmere[record]'.")
    parser.add_argument("file", metavar="FILE.mcap", help="recording to play")
    parser.add_argument("--rate", type=_rate, default=1.0, metavar="R",
                        help="1.0 plays at the recorded pace, 2 twice as fast, 0 as fast as "
                             "possible (default 1.0)")
    parser.add_argument("--loop", action="store_true", help="start over until Ctrl-C")
    parser.add_argument("--start", type=_seconds, metavar="S",
                        help="begin S seconds after the recording's first entry")
    parser.add_argument("--end", type=_seconds, metavar="S",
                        help="end S seconds after the recording's first entry")
    parser.add_argument("--map", action="append", default=[], type=_mapping,
                        metavar="OLD=NEW", help="write channel OLD into NEW (repeatable)")
    parser.add_argument("--channels", nargs="+", metavar="NAME",
                        help="play only these recorded channels")
    parser.add_argument("--keep", action="store_true",
                        help="leave channels this replay made in place when it ends")
    parser.add_argument("--json", action="store_true",
                        help="print the closing summary as a JSON object")
    parser.set_defaults(run=run)


def _number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not 0 <= value < float("inf"):
        raise argparse.ArgumentTypeError(f"must be 0 or more: {text!r}")
    return value


_rate = _seconds = _number


def _mapping(text: str) -> tuple[str, str]:
    old, sep, new = text.partition("=")
    if not sep or not old or not new:
        raise argparse.ArgumentTypeError(f"expected OLD=NEW, got {text!r}")
    return old, new


def run(args: argparse.Namespace) -> int:
    recording = load("quillmere_tools.recording", "mcap")
    stopping = threading.Event()
    result: dict[str, object] = {}

    done = threading.Event()

    def play() -> None:
        try:
            result["summary"] = recording.replay(
                args.file, rate=args.rate, loop=args.loop, start=args.start, end=args.end,
                mapping=dict(args.map), channels=args.channels, keep=args.keep,
                stopping=stopping)
        except BaseException as error:
            result["error"] = error
        finally:
            done.set()

    # Played on a thread of its own, so that Ctrl-C and SIGTERM reach the main thread at once
    # and the replay still removes what it made. (An interrupted Thread.join can report the
    # thread finished while it runs: an Event says when it is.)
    with StopSignals() as signals:
        try:
            threading.Thread(target=play, name="quillmere replay", daemon=True).start()
            signals.arm()
            while not done.wait(0.2):
                pass
        except Stop:
            stopping.set()
        signals.disarm()
    done.wait()
    error = result.get("error")
    if isinstance(error, (OSError, ValueError, RuntimeError)):
        raise CommandError(shown(str(error))) from None
    if error is not None:
        raise error  # type: ignore[misc]
    summary = cast("ReplaySummary", result["summary"])
    counts = {"entries": summary.entries, "loops": summary.loops,
              "timing_error_us": {"p50": summary.timing_error(50) / 1e3,
                                  "p99": summary.timing_error(99) / 1e3},
              "lateness_us": {"p50": summary.lateness(50) / 1e3,
                              "p99": summary.lateness(99) / 1e3}}
    if args.json:
        print_json(counts)
    else:
        for name, written in summary.entries.items():
            print(f"{shown(name)}: {written} entries")
    return 0
