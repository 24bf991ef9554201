"""The do-it-yourself baseline: a seqlock ring in pure Python over `multiprocessing.shared_memory`.

This is what a user writes by hand instead of using a library: one writer, any
number of copying readers, lossy like quillmere. Layout: a 64-byte header whose
first word is the last published sequence number, then `entry_count` slots of
[u64 sequence word][entry_length payload bytes].

Publication order of the writer: slot word <- 0, payload, slot word <- seq,
header <- seq. A reader copies the payload between two loads of the slot word
and keeps the copy only if both loads saw the expected seq. Python offers no
memory fences; this relies on x86's store and load ordering and on each
`struct` access being one aligned 8-byte move, which is exactly the kind of
shortcut a hand-rolled ring takes.
"""

from __future__ import annotations

import struct
from multiprocessing import shared_memory

HEADER_BYTES = 64
_WORD = struct.Struct("<Q")
_ATTEMPTS = 4


class Ring:
    """One mapping of the ring segment, created or attached by name."""

    def __init__(self, name: str, entry_length: int, entry_count: int, *, create: bool):
        self.entry_length = entry_length
        self.entry_count = entry_count
        size = HEADER_BYTES + entry_count * (8 + entry_length)
        self.shm = shared_memory.SharedMemory(name=name.lstrip("/"), create=create, size=size if create else 0)
        self.buf = self.shm.buf
        stride = 8 + entry_length
        self.offsets = [HEADER_BYTES + i * stride for i in range(entry_count)]

    def close(self, *, unlink: bool = False) -> None:
        self.buf = None
        try:
            self.shm.close()
        except BufferError:
            pass  # a caller still holds a view; the mapping goes away with the process
        if unlink:
            try:
                self.shm.unlink()
            except FileNotFoundError:
                pass


class RingWriter:
    def __init__(self, ring: Ring):
        self.ring = ring
        self.seq = _WORD.unpack_from(ring.buf, 0)[0]

    def write(self, data) -> None:
        ring = self.ring
        if len(data) != ring.entry_length:
            raise ValueError(f"expected {ring.entry_length} payload bytes, got {len(data)}")
        seq = self.seq + 1
        buf = ring.buf
        offset = ring.offsets[seq % ring.entry_count]
        _WORD.pack_into(buf, offset, 0)  # readers now skip the slot
        buf[offset + 8 : offset + 8 + ring.entry_length] = data
        _WORD.pack_into(buf, offset, seq)
        _WORD.pack_into(buf, 0, seq)
        self.seq = seq


class RingReader:
    def __init__(self, ring: Ring):
        self.ring = ring
        self.last = 0

    def _next_wanted(self, newest: int, watermark: int) -> int:
        wanted = watermark + 1
        oldest_kept = newest - self.ring.entry_count + 1
        return max(wanted, oldest_kept)  # lapped: jump to the oldest entry still in the ring

    def _copy_validated(self, watermark, copy):
        """Find the next entry above `watermark`, `copy(view)` its payload, keep it if unchanged."""
        ring = self.ring
        buf = ring.buf
        watermark = self.last if watermark is None else watermark
        length = ring.entry_length
        for _ in range(_ATTEMPTS):
            newest = _WORD.unpack_from(buf, 0)[0]
            if newest <= watermark:
                return None
            wanted = self._next_wanted(newest, watermark)
            offset = ring.offsets[wanted % ring.entry_count]
            if _WORD.unpack_from(buf, offset)[0] != wanted:
                continue  # overwritten or being written: look at the header again
            copied = copy(buf[offset + 8 : offset + 8 + length])
            if _WORD.unpack_from(buf, offset)[0] == wanted:
                self.last = wanted
                return wanted, copied
        return None

    def read_into(self, out, watermark: int | None = None) -> int | None:
        """Copy the next entry into the writable buffer `out`; return its seq or None."""

        def copy(view):
            out[: len(view)] = view

        got = self._copy_validated(watermark, copy)
        return None if got is None else got[0]

    def read(self, watermark: int | None = None):
        """Return (seq, bytes) for the next entry, or None."""
        return self._copy_validated(watermark, bytes)

    def newest_seq(self) -> int:
        return _WORD.unpack_from(self.ring.buf, 0)[0]
