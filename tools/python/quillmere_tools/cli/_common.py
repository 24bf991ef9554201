"""What the commands share: opening a channel with one-line errors, and printing."""

from __future__ import annotations

import argparse
import json
import sys
from typing import TypeAlias

from quillmere_tools._segments import (
    Channel,
    ChannelInfo,
    Holder,
    InvalidNameError,
    NotAChannelError,
)

# What `add_subparsers()` returns: each command module adds its parser to it.
Subparsers: TypeAlias = "argparse._SubParsersAction[argparse.ArgumentParser]"


class CommandError(Exception):
    """A failure to report in one line on stderr, with exit code 1."""


def shown(text: str) -> str:
    """`text` safe for a terminal: names come from a directory anybody may write to, so
    control characters and undecodable bytes are shown escaped, never sent as they are."""
    if text.isprintable():
        return text
    return text.encode("unicode_escape", "backslashreplace").decode("ascii")


def open_channel(name: str) -> Channel:
    """The channel `name` mapped read-only, or CommandError saying why not."""
    try:
        return Channel(name)
    except InvalidNameError as error:
        raise CommandError(shown(str(error))) from None
    except NotAChannelError as error:
        raise CommandError(f"'{shown(name)}' is not a quillmere channel ({error})") from None
    except FileNotFoundError:
        raise CommandError(f"no channel named '{shown(name)}'") from None
    except PermissionError:
        raise CommandError(f"permission denied: '{shown(name)}'") from None
    except OSError as error:
        raise CommandError(f"cannot open '{shown(name)}': {error.strerror}") from None


def print_json(value: object) -> None:
    print(json.dumps(value), flush=True)


def holder_text(holder: Holder, nobody: str = "-") -> str:
    """The pid and what became of it ("4242 alive"), or `nobody`."""
    return nobody if holder.pid == 0 else f"{holder.pid} {holder.liveness}"


def waiters_text(info: ChannelInfo) -> str:
    """The waiter count and the registered waiters ("1 (pid 1234 alive)"), "-" without a
    doorbell."""
    if info.waiters is None:
        return "-"
    if not info.waiting:
        return str(info.waiters)
    pids = ", ".join(f"pid {holder.pid} {holder.liveness}" for holder in info.waiting)
    return f"{info.waiters} ({pids})"


def print_table(headers: list[str], rows: list[list[str]]) -> None:
    """Columns padded to their widest cell: the first (a name) left-aligned, the others right."""
    widths = [max(len(row[i]) for row in [headers, *rows]) for i in range(len(headers))]

    def line(cells: list[str]) -> str:
        first, *rest = cells
        return "  ".join([first.ljust(widths[0])] + [c.rjust(w) for c, w in zip(rest, widths[1:])])

    for cells in [headers, *rows]:
        print(line(cells).rstrip())


def positive_seconds(text: str) -> float:
    """argparse type: a number of seconds above 0."""
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a number: {text!r}") from None
    if not value > 0 or value == float("inf"):
        raise argparse.ArgumentTypeError(f"must be a positive number of seconds: {text!r}")
    return value


def count(text: str) -> int:
    """argparse type: an integer of 0 or more."""
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not an integer: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must be 0 or more: {text!r}")
    return value


def note(text: str) -> None:
    """A line for the user that is not part of the output proper (which may be JSON)."""
    print(text, file=sys.stderr)
