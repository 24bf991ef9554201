"""`quillmere ls`: every channel in the shared-memory directory, one row each."""

from __future__ import annotations

import argparse

from quillmere_tools._segments import ChannelInfo, list_channels, shm_directory
from quillmere_tools.cli._common import (
    CommandError,
    Subparsers,
    holder_text,
    waiters_text,
    note,
    print_json,
    print_table,
    shown,
)

HEADERS = ["NAME", "DTYPE", "ENTRY_LENGTH", "ENTRIES", "SIZE", "OWNER", "WRITER", "READER",
           "WRITER_ENTRY_SEQ", "WAITERS"]


def add_parser(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "ls", help="list every channel", description="List every channel in shared memory."
    )
    parser.add_argument("--json", action="store_true", help="a JSON list, one object a channel")
    parser.set_defaults(run=run)


def row(info: ChannelInfo) -> list[str]:
    """One channel as table cells (shared with `gc`)."""
    return [
        shown(info.name),
        info.dtype,
        str(info.entry_length),
        str(info.entry_count),
        str(info.size),
        holder_text(info.owner),
        holder_text(info.writer),
        holder_text(info.reader),
        str(info.writer_entry_seq),
        waiters_text(info),
    ]


def unreadable_footer(count: int) -> str:
    return f"{count} object{'' if count == 1 else 's'} could not be read (no permission?)"


def run(args: argparse.Namespace) -> int:
    try:
        listing = list_channels()
    except OSError as error:
        raise CommandError(f"cannot list {shown(shm_directory())}: {error.strerror}") from None
    if args.json:
        print_json([info.to_json() for info in listing.channels])
        if listing.unreadable:
            note(unreadable_footer(listing.unreadable))
        return 0
    if listing.channels:
        print_table(HEADERS, [row(info) for info in listing.channels])
    else:
        print(f"no channels in {shown(shm_directory())}")
    if listing.unreadable:
        print(unreadable_footer(listing.unreadable))
    return 0
