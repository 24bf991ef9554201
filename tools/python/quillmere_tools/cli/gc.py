"""`quillmere gc`: channels whose owner, writer and zero-copy reader are all gone, and with
--yes their removal."""

from __future__ import annotations

import argparse

from quillmere_tools._segments import (
    Channel,
    ChannelInfo,
    NotAChannelError,
    list_channels,
    remove,
    shm_directory,
)
from quillmere_tools.cli._common import (
    CommandError,
    Subparsers,
    note,
    print_json,
    print_table,
    shown,
)
from quillmere_tools.cli.ls import HEADERS, row

MAPPINGS_NOTE = (
    "Processes attached to a removed channel keep their mappings and go on working; its "
    "memory is freed when the last of them lets go."
)


def add_parser(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "gc",
        help="remove channels nobody holds any more",
        description="List channels whose owner, writer and zero-copy reader are all gone "
        "(none, dead, or a pid now used by another process); remove them with --yes.",
    )
    parser.add_argument("--yes", action="store_true", help="remove them (default: only list)")
    parser.add_argument("--json", action="store_true", help="a JSON list of the channels")
    parser.set_defaults(run=run)


def still_abandoned(info: ChannelInfo) -> bool:
    """Looks again just before removing: the name may have been taken over or re-created since
    the listing."""
    try:
        with Channel(info.name) as channel:
            now = channel.info()
    except (NotAChannelError, OSError):
        return False
    return now.inode == info.inode and now.abandoned


def remove_all(candidates: list[ChannelInfo]) -> tuple[list[ChannelInfo], list[str]]:
    """Removes what is still abandoned; returns the removed channels and the failures."""
    removed: list[ChannelInfo] = []
    failures: list[str] = []
    for info in candidates:
        if not still_abandoned(info):
            continue
        try:
            remove(info.name)
        except FileNotFoundError:
            continue
        except OSError as error:
            failures.append(f"cannot remove '{shown(info.name)}': {error.strerror}")
            continue
        removed.append(info)
    return removed, failures


def summary(count: int, removed: bool) -> str:
    channels = f"{count} channel{'' if count == 1 else 's'}"
    if removed:
        return f"removed {channels}."
    them = "it" if count == 1 else "them"
    return f"{channels} would be removed; run 'quillmere gc --yes' to remove {them}."


def run(args: argparse.Namespace) -> int:
    try:
        listing = list_channels()
    except OSError as error:
        raise CommandError(f"cannot list {shown(shm_directory())}: {error.strerror}") from None
    chosen = [info for info in listing.channels if info.abandoned]
    failures: list[str] = []
    if args.yes:
        chosen, failures = remove_all(chosen)
    if args.json:
        print_json([info.to_json() for info in chosen])
        if chosen:
            note(MAPPINGS_NOTE)
    elif not chosen and not failures:
        print("no abandoned channels")
    else:
        if chosen:
            print_table(HEADERS, [row(info) for info in chosen])
        print(summary(len(chosen), args.yes))
        print(MAPPINGS_NOTE)
    for failure in failures:
        note(f"quillmere: {failure}")
    return 1 if failures else 0
