"""Channels looked at read-only, by name or by listing a directory of shared-memory objects.

Every fact comes from the native part, which runs the core's own header checks on a
PROT_READ mapping: nothing here parses the segment, takes a role or writes to it.
"""

from __future__ import annotations

import errno
import os
from dataclasses import dataclass
from typing import Any, Literal, cast

from quillmere_tools import _native
from quillmere_tools._closing import Closing

# Where the platform keeps named shared-memory objects; a channel "/x" is the file "x" there.
DEFAULT_DIRECTORY = "/dev/shm"
# Points the command at another directory of files (for tests); not a documented option.
DIRECTORY_VARIABLE = "QUILLMERE_SHM_DIR"

Liveness = Literal["none", "alive", "dead", "unknown"]
NotAChannelError = _native.NotAChannelError


def shm_directory() -> str:
    """The directory channels are looked up in."""
    return os.environ.get(DIRECTORY_VARIABLE) or DEFAULT_DIRECTORY


class InvalidNameError(ValueError):
    """A name that can never name a shared-memory object."""


def file_of(name: str) -> bytes:
    """The file in the shared-memory directory that channel `name` is: "/x" and "x" are "x"."""
    file = name.lstrip("/")
    if not file or "/" in file or "\0" in file or file in (".", ".."):
        raise InvalidNameError(f"{name!r} is not a valid channel name")
    return os.fsencode(file)


def name_of(file: bytes) -> str:
    """The channel name of a file in the shared-memory directory."""
    return "/" + os.fsdecode(file)


@dataclass(frozen=True)
class Holder:
    """A pid word of the header: who holds it, and whether that process is still there."""

    pid: int  # 0: nobody
    liveness: Liveness

    @property
    def alive(self) -> bool | None:
        """True or False when known; None for nobody, or a pid that has been reused."""
        return {"alive": True, "dead": False}.get(self.liveness)

    @property
    def gone(self) -> bool:
        """Nobody holds the word any more: no pid, a dead one, or one now used by another
        process that does not map the segment."""
        return self.liveness != "alive"


@dataclass(frozen=True)
class ChannelInfo:
    """What one channel's header and trailer say, as of when it was taken."""

    name: str
    dtype: str
    entry_length: int  # bytes
    entry_count: int
    size: int  # bytes of the segment
    owner: Holder
    writer: Holder
    reader: Holder  # the zero-copy reader
    writer_entry_seq: int
    waiters: int | None  # None without a doorbell trailer
    waiting: tuple[Holder, ...]  # the registered waiters' pid slots in use
    trailer_state: str  # "valid", "absent", "other-version" or "foreign"
    trailer_version: int
    record_length: int | None  # bytes in the frame-type record of a valid trailer
    inode: int

    @property
    def abandoned(self) -> bool:
        """Owner, writer, zero-copy reader and every registered waiter are all gone: a live
        waiter is still waiting on this very segment, and a writer that comes back must find
        it there."""
        holders = (self.owner, self.writer, self.reader, *self.waiting)
        return all(holder.gone for holder in holders)

    def to_json(self) -> dict[str, object]:
        return {
            "name": self.name,
            "dtype": self.dtype,
            "entry_length": self.entry_length,
            "entry_count": self.entry_count,
            "size": self.size,
            "owner_pid": self.owner.pid,
            "owner_alive": self.owner.alive,
            "writer_pid": self.writer.pid,
            "writer_alive": self.writer.alive,
            "reader_pid": self.reader.pid,
            "reader_alive": self.reader.alive,
            "writer_entry_seq": self.writer_entry_seq,
            "waiters": self.waiters,
            "waiting": [{"pid": w.pid, "alive": w.alive} for w in self.waiting],
        }


@dataclass(frozen=True)
class SlotCensus:
    """What the slot words say: held entries, empty slots, the range of entries present."""

    held: list[int]
    empty: int
    oldest: int | None
    newest: int | None


def _int(facts: dict[str, Any], key: str) -> int:
    return cast(int, facts[key])


def _holder(facts: dict[str, Any], role: str) -> Holder:
    return Holder(_int(facts, role + "_pid"), cast(Liveness, facts[role]))


class Channel(Closing):
    """A channel mapped read-only; close it (or use `with`) to unmap it."""

    def __init__(self, name: str, directory: str | None = None) -> None:
        self._file = file_of(name)
        self.name = name_of(self._file)
        self._segment = _native.Segment(os.fsencode(directory or shm_directory()), self._file)

    def info(self) -> ChannelInfo:
        facts = self._segment.facts()
        waiters, record_length = facts["waiters"], facts["record_length"]
        return ChannelInfo(
            name=self.name,
            dtype=cast(str, facts["dtype"]),
            entry_length=_int(facts, "entry_length"),
            entry_count=_int(facts, "entry_count"),
            size=_int(facts, "size"),
            owner=_holder(facts, "owner"),
            writer=_holder(facts, "writer"),
            reader=_holder(facts, "reader"),
            writer_entry_seq=_int(facts, "writer_entry_seq"),
            waiters=None if waiters is None else cast(int, waiters),
            waiting=tuple(
                Holder(pid, cast(Liveness, liveness))
                for pid, liveness in cast(list[tuple[int, str]], facts["waiting"])
            ),
            trailer_state=cast(str, facts["trailer_state"]),
            trailer_version=_int(facts, "trailer_version"),
            record_length=None if record_length is None else cast(int, record_length),
            inode=_int(facts, "inode"),
        )

    def census(self) -> SlotCensus:
        return SlotCensus(*self._segment.census())

    def writer_entry_seq(self) -> int:
        return self._segment.writer_entry_seq()

    def record(self) -> bytes | None:
        """The frame-type record's bytes, or None when the channel has none."""
        return self._segment.record()

    def read(self, after: int) -> tuple[int, bytes] | None:
        """A copy of the oldest entry newer than `after`, or None."""
        return self._segment.read(after)

    def close(self) -> None:
        self._segment.close()


@dataclass(frozen=True)
class Listing:
    channels: list[ChannelInfo]
    unreadable: int  # objects that exist but could not be opened (permissions, limits)


def list_channels(directory: str | None = None) -> Listing:
    """Every channel in the directory, by name; other objects are skipped.

    Raises OSError when the directory itself cannot be listed.
    """
    where = directory or shm_directory()
    channels: list[ChannelInfo] = []
    unreadable = 0
    for file in sorted(os.listdir(os.fsencode(where))):
        try:
            with Channel(name_of(file), where) as channel:
                channels.append(channel.info())
        except (NotAChannelError, InvalidNameError):
            continue
        except OSError as error:
            # Gone since the listing: nothing to report.
            if error.errno != errno.ENOENT:
                unreadable += 1
    return Listing(channels, unreadable)


def rename(name: str, new_name: str, directory: str | None = None) -> None:
    """Renames a channel; fails (FileExistsError) rather than replace another."""
    _native.rename(os.fsencode(directory or shm_directory()), file_of(name), file_of(new_name))


def remove(name: str, directory: str | None = None) -> None:
    """Removes the channel's name; processes that have it mapped keep their mappings."""
    _native.remove(os.fsencode(directory or shm_directory()), file_of(name))
