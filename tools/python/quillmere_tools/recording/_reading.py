"""Reading a recording back: every entry in the order it was recorded, typed again."""

from __future__ import annotations

import collections
import math
import os
import struct
from collections.abc import Callable, Iterator
from typing import Any, NamedTuple

import numpy
from mcap.exceptions import InvalidMagic, McapError
from mcap.records import Channel, Message, Metadata, Schema
from mcap.stream_reader import StreamReader

from quillmere_tools._closing import Closing
from quillmere_tools._frame_type import decode_record
from quillmere_tools.recording._format import NOTE, SUMMARY, ChannelSpec

# Element types of channels without a frame type whose entries come back as arrays.
_ARRAY_DTYPES = {"f64": numpy.float64, "i64": numpy.int64}


class Entry(NamedTuple):
    channel: str
    entry_seq: int
    time_ns: int
    payload: Any  # bytes, or an array of the channel's type


class _Decoded:
    """One MCAP channel as read: its spec, how its payloads become values, and the high bits
    of its entry_seq from the notes."""

    def __init__(self, spec: ChannelSpec, notes: dict[int, int]) -> None:
        self.spec = spec
        self.index = 0  # messages of this channel read so far
        self.high = 0
        self.notes = notes  # message index -> full entry_seq

    def entry_seq(self, message: Message) -> int:
        full = self.notes.pop(self.index, None)
        if full is not None:
            self.high = full >> 32
        self.index += 1
        return self.high << 32 | message.sequence


def _decoder(spec: ChannelSpec) -> Callable[[bytes], Any]:
    if spec.record is not None:
        frame = decode_record(spec.record, spec.entry_length)
        count = math.prod(frame.shape)
        return lambda data: numpy.frombuffer(data, frame.dtype, count).reshape(frame.shape)
    dtype = _ARRAY_DTYPES.get(spec.dtype)
    if dtype is None:
        return lambda data: data
    return lambda data: numpy.frombuffer(data, dtype)


class Recording(Closing):
    """A recording opened for reading; iterate it for `Entry` tuples
    `(channel, entry_seq, time_ns, payload)` in the order they were recorded.

    A typed channel's payload is a read-only NumPy array of its frame type, a float64 or int64
    channel's a 1-D array, a byte channel's `bytes`. A file cut short (a recorder killed
    without warning) is read up to its last complete chunk; `truncated` then becomes True.
    `channels` (name -> ChannelSpec, the last geometry seen), `summaries` and `notes`
    (dicts of the file's "quillmere.summary" and "quillmere.note" records) fill as the
    iteration goes, and are complete once it ends.
    """

    def __init__(self, path: str | os.PathLike[str]) -> None:
        self.path = os.fspath(path)
        self._file = open(self.path, "rb")
        self.truncated = False
        self.channels: dict[str, ChannelSpec] = {}
        self.summaries: list[dict[str, str]] = []
        self.notes: list[dict[str, str]] = []

    def __iter__(self) -> Iterator[Entry]:
        decoders: dict[ChannelSpec, Callable[[bytes], Any]] = {}
        for spec, entry_seq, time_ns, data in self.raw():
            decode = decoders.get(spec) or decoders.setdefault(spec, _decoder(spec))
            yield Entry(spec.name, entry_seq, time_ns, decode(data))

    def raw(self) -> Iterator[tuple[ChannelSpec, int, int, bytes]]:
        """`(spec, entry_seq, time_ns, entry bytes)` for every entry, in recorded order."""
        self._file.seek(0)
        schemas: dict[int, bytes] = {}
        channels: dict[int, _Decoded] = {}
        # Notes come before their channel's record, which travels in the chunk after them.
        notes: collections.defaultdict[int, dict[int, int]] = collections.defaultdict(dict)
        for record in self._records():
            if isinstance(record, Message):
                channel = channels[record.channel_id]
                yield channel.spec, channel.entry_seq(record), record.log_time, record.data
            elif isinstance(record, Channel) and record.id not in channels:
                spec = ChannelSpec.of_channel(record.topic, dict(record.metadata),
                                              schemas.get(record.schema_id))
                channels[record.id] = _Decoded(spec, notes[record.id])
                self.channels[spec.name] = spec
            elif isinstance(record, Schema):
                schemas[record.id] = record.data
            elif isinstance(record, Metadata) and record.name == NOTE:
                note = dict(record.metadata)
                self.notes.append(note)
                notes[int(note["channel_id"])][int(note["index"])] = int(note["entry_seq"])
            elif isinstance(record, Metadata) and record.name == SUMMARY:
                self.summaries.append(dict(record.metadata))

    def _records(self) -> Iterator[Any]:
        records = StreamReader(self._file, record_size_limit=None).records
        while True:
            try:
                record = next(records)
            except StopIteration:
                return
            except InvalidMagic:
                raise ValueError(f"{self.path!r} is not an MCAP file") from None
            except (McapError, struct.error):
                # A record cut off by the end of the file: everything before it was complete.
                self.truncated = True
                return
            yield record

    def close(self) -> None:
        self._file.close()


def open_recording(path: str | os.PathLike[str]) -> Recording:
    """Opens the recording at `path` for reading (also one left by a killed recorder)."""
    return Recording(path)
