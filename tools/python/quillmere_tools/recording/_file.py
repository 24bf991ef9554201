"""One MCAP file being written: channels registered on first use, notes, counts, summary."""

from __future__ import annotations

import time
from dataclasses import dataclass
from typing import Any, cast

from mcap.writer import CompressionType, Writer

from quillmere_tools.recording._format import (
    ENTRY_ENCODING, FRAME_ENCODING, HIGH_BITS, LOW_BITS, NOTE, PROFILE, SCHEMA_ENCODING, SCHEMA_NAME,
    SUMMARY, ChannelSpec)
from quillmere_tools.recording._source import Item

COMPRESSIONS = {"zstd": CompressionType.ZSTD, "lz4": CompressionType.LZ4,
                "none": CompressionType.NONE}

# A chunk open for this long is written out even if not full, so that a recorder killed
# without warning loses at most about this much of a slow channel.
_CHUNK_SECONDS = 1.0


@dataclass
class Counts:
    channel_id: int
    entries: int = 0
    bytes: int = 0
    lost: int = 0
    restarts: int = 0
    high: int = 0  # entry_seq >> 32 of the channel's last message in this file


class McapFile:
    """Writes Items into an MCAP file; `finish()` adds the summaries and closes it.

    Whatever is complete reaches the operating system on each `sync()`: chunks that were
    full or older than a second, and notes.
    """

    def __init__(self, path: str, compression: str, chunk_size: int) -> None:
        self.path = path
        self._file = open(path, "wb")
        self._writer = Writer(self._file, chunk_size=chunk_size,
                              compression=COMPRESSIONS[compression])
        self._writer.start(profile=PROFILE, library="quillmere_tools")
        self.opened = time.monotonic()
        self._channels: dict[ChannelSpec, Counts] = {}
        self._schemas: dict[bytes, int] = {}
        self._last: tuple[ChannelSpec, Counts] | None = None
        self._chunk_since: float | None = None

    def add(self, item: Item) -> None:
        spec, entry_seq, time_ns, payload, lost, reason = item
        if self._last is not None and self._last[0] is spec:
            counts = self._last[1]
        else:
            counts = self._channels.get(spec) or self._register(spec)
            self._last = spec, counts
        counts.lost += lost
        if payload is None:
            return
        if reason is not None or entry_seq >> 32 != counts.high:
            self._note(spec, counts, entry_seq, time_ns, reason)
        self._writer.add_message(counts.channel_id, time_ns, payload, time_ns,
                                 entry_seq & LOW_BITS)
        counts.entries += 1
        counts.bytes += len(payload)
        if self._chunk_since is None:
            self._chunk_since = time.monotonic()

    def size(self) -> int:
        return self._file.tell()

    def sync(self) -> None:
        """Hands complete records to the operating system; closes a chunk open too long."""
        if self._chunk_since is not None and time.monotonic() - self._chunk_since > _CHUNK_SECONDS:
            cast(Any, self._writer).flush()  # the library leaves it untyped
            self._chunk_since = None
        self._file.flush()

    def finish(self) -> None:
        for spec, counts in self._channels.items():
            self._writer.add_metadata(SUMMARY, {
                "channel": spec.name, "channel_id": str(counts.channel_id),
                "entries": str(counts.entries), "bytes": str(counts.bytes),
                "lost": str(counts.lost), "restarts": str(counts.restarts)})
        cast(Any, self._writer).finish()
        self._file.close()

    def _register(self, spec: ChannelSpec) -> Counts:
        schema_id = 0
        if spec.record is not None:
            schema_id = self._schemas.get(spec.record) or self._writer.register_schema(
                SCHEMA_NAME, SCHEMA_ENCODING, spec.record)
            self._schemas[spec.record] = schema_id
        channel_id = self._writer.register_channel(
            spec.name, FRAME_ENCODING if spec.record else ENTRY_ENCODING, schema_id,
            spec.metadata())
        counts = self._channels[spec] = Counts(channel_id)
        return counts

    def _note(self, spec: ChannelSpec, counts: Counts, entry_seq: int, time_ns: int,
              reason: str | None) -> None:
        self._writer.add_metadata(NOTE, {
            "channel": spec.name, "channel_id": str(counts.channel_id),
            "index": str(counts.entries), "entry_seq": str(entry_seq),
            "time_ns": str(time_ns), "reason": reason or HIGH_BITS})
        counts.high = entry_seq >> 32
        if reason is not None:
            counts.restarts += 1
