"""One recorded channel: a thread that follows it and hands every entry on, with what it
missed.

It reads with a plain copying reader (no role, nothing written to the segment, so the writer
never waits for it) into one reused buffer, and sleeps on the channel's doorbell between
entries. It starts with the oldest entry the ring still holds; entries written after it came
that it never saw are counted as lost, from `entry_seq` gaps. A writer restarted on the
same segment keeps the numbering and is only noted; a segment made anew under the name is
read to its end first, then followed from its start.
"""

from __future__ import annotations

import threading
import time
from collections.abc import Callable
from typing import Any

import numpy
import quillmere

from quillmere_tools._follow import follow
from quillmere_tools._frame_type import decode_record
from quillmere_tools._segments import Channel, ChannelInfo, NotAChannelError
from quillmere_tools.recording._format import (
    RECREATED, WENT_BACK, WRITER_RESTARTED, ChannelSpec)

# (spec, entry_seq, time_ns, payload or None, lost before it, note reason or None)
Item = tuple[ChannelSpec, int, int, bytes | None, int, str | None]

# How often a busy follower looks whether it should stop, whether the name now refers to
# another segment and whether another writer took over; an idle one looks as often.
_LOOK_EVERY_NS = 50_000_000
_IDLE = 0.05


def look(name: str) -> tuple[ChannelInfo, bytes | None] | None:
    """The channel's facts and frame-type record now, or None while there is no channel."""
    try:
        with Channel(name) as channel:
            return channel.info(), channel.record()
    except (FileNotFoundError, NotAChannelError):
        return None


class Source(threading.Thread):
    """Follows channel `name` until `stopping` is set, calling `put` with each Item.

    `taken()` tells how many payload bytes of this channel the consumer of the items has
    taken so far; while more than `backlog_bytes` of them wait, entries are not handed on but
    counted as lost, so a file slower than the channel bounds the recorder's memory."""

    def __init__(self, name: str, clock_offset_ns: int, put: Callable[[Item], Any],
                 stopping: threading.Event, taken: Callable[[], int],
                 backlog_bytes: int) -> None:
        super().__init__(name=f"quillmere record {name}", daemon=True)
        self.channel = name
        self.error: BaseException | None = None
        self._offset = clock_offset_ns
        self._put = put
        self._taken = taken
        self._backlog_bytes = backlog_bytes
        self._put_bytes = 0  # payload bytes handed on
        self._dropped = 0  # entries read but not handed on since the last item
        self._stopping = stopping
        self._last = 0  # entry_seq of the last entry read (handed on or dropped); 0: none yet
        # Entries up to this one were written before the recorder came: those the ring no
        # longer holds are history, not losses.
        self._floor = 0
        self._first_segment = True
        self._reason: str | None = None
        self._writer_pid = 0

    def run(self) -> None:
        try:
            while not self._stopping.is_set():
                found = look(self.channel)
                if found is None:
                    self._stopping.wait(_IDLE)
                    continue
                try:
                    reader = quillmere.BytesReader(self.channel)  # attach only
                except (OSError, ValueError):  # gone or being made again meanwhile
                    self._stopping.wait(_IDLE)
                    continue
                if self._first_segment:
                    self._floor, self._first_segment = reader.writer_entry_seq, False
                self._follow(reader, found[0])
                self._last, self._floor, self._reason = 0, 0, RECREATED
        except BaseException as error:  # reported by the recorder when it stops
            self.error = error

    def _follow(self, reader: quillmere.BytesReader, info: ChannelInfo) -> None:
        """Hands on the entries of one segment until stopping or until the name refers to
        another; then what the reader can still get of it."""
        out = numpy.empty(info.entry_length, numpy.uint8)
        spec: ChannelSpec | None = None
        self._writer_pid = info.writer.pid
        next_look = 0  # 0: before the first entry after a quiet spell, so a restart is
        # noted at its first entry
        while True:
            for entry_seq, _ in follow(reader, out=out, timeout=_IDLE):
                now = time.monotonic_ns()
                looked = now >= next_look
                if looked:  # before handing the entry on, so that a restart is noted at it
                    next_look = now + _LOOK_EVERY_NS
                    found = look(self.channel)
                    if found is not None and found[0].inode == info.inode:
                        self._check_writer(found[0])
                if spec is None:  # a typed channel's record is stored before its first entry
                    spec = self._spec(info)
                self._hand_on(spec, entry_seq, now + self._offset, out)
                if looked and self._stopping.is_set():
                    break
            else:  # a quiet spell
                next_look = 0
                found = look(self.channel)
                if found is None or found[0].inode != info.inode or self._stopping.is_set():
                    break
                self._check_writer(found[0])
                if reader.writer_entry_seq < reader.last_entry_seq:  # re-initialised in place
                    self._last, self._floor, self._reason = 0, 0, WENT_BACK
                    got = reader.read(out=out, from_entry_seq=0)  # its watermark goes back too
                    if got is not None:
                        spec = spec or self._spec(info)
                        self._hand_on(spec, got[0], time.monotonic_ns() + self._offset, out)
                continue
            break
        self._drain(reader, spec or self._spec(info), out)

    def _check_writer(self, info: ChannelInfo) -> None:
        if info.writer.pid not in (0, self._writer_pid):
            if self._writer_pid:
                self._reason = self._reason or WRITER_RESTARTED
            self._writer_pid = info.writer.pid

    def _drain(self, reader: quillmere.BytesReader, spec: ChannelSpec,
               out: numpy.ndarray[Any, Any]) -> None:
        """Reads what was written up to now, then counts what it could not read as lost."""
        newest = reader.writer_entry_seq
        while self._last < newest and (got := reader.read(out=out)) is not None:
            self._hand_on(spec, got[0], time.monotonic_ns() + self._offset, out)
        lost = max(0, newest - max(self._last, self._floor)) + self._dropped
        if lost:
            self._put((spec, self._last, time.monotonic_ns() + self._offset, None, lost, None))
            self._last, self._dropped = max(self._last, newest), 0

    def _hand_on(self, spec: ChannelSpec, entry_seq: int, time_ns: int,
                 out: numpy.ndarray[Any, Any]) -> None:
        seen = max(self._last, self._floor)
        lost = (entry_seq - seen - 1 if entry_seq > seen else 0) + self._dropped
        self._last = entry_seq
        if self._put_bytes - self._taken() >= self._backlog_bytes:
            self._dropped = lost + 1  # counted by the next item handed on
            return
        self._put((spec, entry_seq, time_ns, out.tobytes(), lost, self._reason))
        self._put_bytes += out.nbytes
        self._dropped, self._reason = 0, None

    def _spec(self, info: ChannelInfo) -> ChannelSpec:
        found = look(self.channel)
        record = found[1] if found is not None and found[0].inode == info.inode else None
        if record:
            decode_record(record, info.entry_length)  # a record that cannot be read: ValueError
        return ChannelSpec(self.channel, info.dtype, info.entry_length, info.entry_count,
                           record or None)
