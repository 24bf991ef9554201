"""`quillmere gc`: channels whose owner, writer, zero-copy reader and registered waiters are
all gone, and with --yes their removal."""

from __future__ import annotations

import argparse
import errno
import os

from quillmere_tools._segments import (
    Channel,
    ChannelInfo,
    NotAChannelError,
    list_channels,
    remove,
    rename,
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
        description="List channels whose owner, writer, zero-copy reader and registered "
        "waiters are all gone (none, dead, or a pid now used by another process); remove them "
        "with --yes.",
    )
    parser.add_argument("--yes", action="store_true", help="remove them (default: only list)")
    parser.add_argument("--json", action="store_true", help="a JSON list of the channels")
    parser.set_defaults(run=run)


def still_abandoned(name: str, info: ChannelInfo) -> bool:
    """Looks again at channel `name` (the listed one, maybe under another name by now)."""
    try:
        with Channel(name) as channel:
            now = channel.info()
    except (NotAChannelError, OSError):
        return False
    return now.inode == info.inode and now.abandoned


def remove_if_abandoned(info: ChannelInfo) -> bool:
    """Removes the channel if it is still the listed segment and still abandoned.

    The segment is first moved aside under a name of our own, then looked at once more: nobody
    can open it by its name from then on, so what we look at is what we remove. Anything else
    goes back under its name. False when it was not removed; OSError when a step fails.
    """
    if not still_abandoned(info.name, info):  # cheap, and spares most renames
        return False
    aside = f"/.quillmere-gc-{os.getpid()}-{info.name.lstrip('/')}"
    try:
        rename(info.name, aside)
    except FileNotFoundError:
        return False
    if still_abandoned(aside, info):
        remove(aside)
        return True
    try:
        rename(aside, info.name)
    except FileExistsError:
        raise OSError(
            errno.EEXIST, f"made again meanwhile; the one looked at was left as '{aside}'"
        ) from None
    return False


def remove_all(candidates: list[ChannelInfo]) -> tuple[list[ChannelInfo], list[str]]:
    """Removes what is still abandoned; returns the removed channels and the failures."""
    removed: list[ChannelInfo] = []
    failures: list[str] = []
    for info in candidates:
        try:
            if not remove_if_abandoned(info):
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
