"""What every bridged sample carries beside its payload: a description of its entries.

A sample's payload is one entry, or several consecutive ones (entry_seq, entry_seq + 1, ...)
end to end when the publisher found them waiting together. The far side needs the
description to make a local channel like the near one, and to notice gaps. Fixed
part, little-endian: magic, version, element type name (NUL-padded), entry_seq, entry_length
in bytes, entry_count. Whatever follows the fixed part is the channel's frame-type record,
empty while the channel has none.
"""

from __future__ import annotations

import struct
from collections.abc import Callable
from typing import NamedTuple

from quillmere_tools._frame_type import decode_record

_MAGIC = b"QMBR"
_VERSION = 1
_FIXED = struct.Struct("<4sB7sQQQ")
_SEQ = slice(12, 20)  # where entry_seq lies; everything else is the same for a whole stream


class EntryDescription(NamedTuple):
    """A sample's entries as the publishing side saw them; entry_seq is the first one's."""

    entry_seq: int
    dtype: str
    entry_length: int
    entry_count: int
    frame_type: bytes = b""

    @property
    def geometry(self) -> tuple[str, int, int]:
        """What a channel must match to take this entry: element type, bytes, slots."""
        return self.dtype, self.entry_length, self.entry_count

    def encode(self) -> bytes:
        return _FIXED.pack(_MAGIC, _VERSION, self.dtype.encode("ascii"), self.entry_seq,
                           self.entry_length, self.entry_count) + self.frame_type

    def encoder(self) -> Callable[[int], bytes]:
        """A fast `encode` of this description with another entry_seq, for every entry."""
        whole = self.encode()
        head, tail = whole[:_SEQ.start], whole[_SEQ.stop:]
        return lambda entry_seq: head + entry_seq.to_bytes(8, "little") + tail

    def matcher(self) -> Callable[[bytes], int | None]:
        """A fast check of another encoded description against this one: its entry_seq when
        all else is equal, else None."""
        whole = self.encode()
        head, tail = whole[:_SEQ.start], whole[_SEQ.stop:]

        def match(data: bytes) -> int | None:
            if data[:_SEQ.start] != head or data[_SEQ.stop:] != tail:
                return None
            return int.from_bytes(data[_SEQ], "little")
        return match

    @classmethod
    def decode(cls, data: bytes) -> EntryDescription:
        """Refuses (ValueError) anything that is not a description this version writes."""
        if len(data) < _FIXED.size:
            raise ValueError(f"sample description of {len(data)} bytes is too short")
        magic, version, dtype, entry_seq, entry_length, entry_count = _FIXED.unpack_from(data)
        if magic != _MAGIC or version != _VERSION:
            raise ValueError("sample was not published by a quillmere bridge of this version")
        return cls(entry_seq, dtype.rstrip(b"\0").decode("ascii", "replace"), entry_length,
                   entry_count, bytes(data[_FIXED.size:]))


def describe_geometry(geometry: tuple[str, int, int]) -> str:
    """'f64 entries of 64 bytes in 16 slots', for messages."""
    dtype, entry_length, entry_count = geometry
    return f"{dtype} entries of {entry_length} bytes in {entry_count} slots"


def describe_record(record: bytes) -> str:
    """A frame-type record as text for messages, or why it cannot be read."""
    try:
        return str(decode_record(record))
    except ValueError as error:
        return f"an unreadable record ({error})"
