"""`quillmere stat NAME`: everything about one channel, its slots and its trailer included."""

from __future__ import annotations

import argparse

from quillmere_tools._frame_type import FrameType, decode_record
from quillmere_tools._segments import ChannelInfo, SlotCensus
from quillmere_tools.cli._common import (
    Subparsers,
    holder_text,
    open_channel,
    print_json,
    shown,
    waiters_text,
)

# Held entry_seqs listed in the text output; JSON lists them all.
SHOWN_HELD = 16


def add_parser(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "stat", help="show one channel in detail", description="Show one channel in detail."
    )
    parser.add_argument("name", help="channel name, e.g. /sensor-frames")
    parser.add_argument("--json", action="store_true", help="one JSON object")
    parser.set_defaults(run=run)


def trailer_version(info: ChannelInfo) -> int | None:
    return info.trailer_version if info.trailer_state == "valid" else None


def trailer_text(info: ChannelInfo) -> str:
    if info.trailer_state == "valid":
        record = "empty" if not info.record_length else f"{info.record_length} bytes"
        return f"version {info.trailer_version}, frame-type record {record}"
    if info.trailer_state == "other-version":
        return f"version {info.trailer_version}, not understood by this build (ignored)"
    if info.trailer_state == "foreign":
        return "unrecognised bytes after the ring (ignored)"
    return "none"


def frame_type(record: bytes | None, info: ChannelInfo) -> FrameType | ValueError | None:
    """The recorded frame type, the reason it cannot be read, or None without a record."""
    if record is None:
        return None
    try:
        return decode_record(record, info.entry_length)
    except ValueError as error:
        return error


def frame_type_text(frame: FrameType | ValueError | None) -> str:
    if frame is None:
        return "-"
    if isinstance(frame, ValueError):
        return f"unreadable record ({frame})"
    return str(frame)


def frame_type_json(frame: FrameType | ValueError | None) -> dict[str, object] | None:
    if frame is None:
        return None
    if isinstance(frame, ValueError):
        return {"error": str(frame)}
    return {"dtype": str(frame.dtype), "shape": list(frame.shape)}


def entry_length_text(info: ChannelInfo) -> str:
    width = {"f64": "float64", "i64": "int64"}.get(info.dtype)
    elements = f" ({info.entry_length // 8} {width})" if width else ""
    return f"{info.entry_length} bytes{elements}"


def held_text(held: list[int]) -> str:
    if not held:
        return "0"
    listed = " ".join(str(entry_seq) for entry_seq in held[:SHOWN_HELD])
    more = " ..." if len(held) > SHOWN_HELD else ""
    return f"{len(held)}: {listed}{more}"


def optional(value: int | None) -> str:
    return "-" if value is None else str(value)


def print_text(
    info: ChannelInfo, census: SlotCensus, frame: FrameType | ValueError | None
) -> None:
    lines = [
        ("name", shown(info.name)),
        ("dtype", info.dtype),
        ("entry_length", entry_length_text(info)),
        ("entry_count", str(info.entry_count)),
        ("size", f"{info.size} bytes"),
        ("owner", holder_text(info.owner, "none")),
        ("writer", holder_text(info.writer, "none")),
        ("zero-copy reader", holder_text(info.reader, "none")),
        ("writer_entry_seq", str(info.writer_entry_seq)),
        ("waiters", waiters_text(info)),
        ("held", held_text(census.held)),
        ("empty", str(census.empty)),
        ("oldest", optional(census.oldest)),
        ("newest", optional(census.newest)),
        ("trailer", trailer_text(info)),
        ("frame_type", frame_type_text(frame)),
    ]
    width = max(len(key) for key, _ in lines)
    for key, value in lines:
        print(f"{key.ljust(width)}  {value}")


def run(args: argparse.Namespace) -> int:
    with open_channel(args.name) as channel:
        # Slots first: a writer moving on in between then shows as a writer_entry_seq past
        # the newest slot, never as a slot newer than the writer.
        census = channel.census()
        info = channel.info()
        frame = frame_type(channel.record(), info)
    if args.json:
        print_json(
            info.to_json()
            | {
                "held": census.held,
                "empty": census.empty,
                "oldest": census.oldest,
                "newest": census.newest,
                "trailer": trailer_version(info),
                "frame_type": frame_type_json(frame),
            }
        )
    else:
        print_text(info, census, frame)
    return 0
