"""The `quillmere` native extension module.

Lock-free single-writer, many-reader rings of fixed-size entries (raw bytes or
`float64` vectors) in named POSIX shared memory. Nothing blocks: a read with
nothing newer returns `None`, and a writer overwrites the oldest entries
without waiting for anyone.
"""

from types import TracebackType
from typing import Literal, Self, SupportsIndex, TypeVar, final, overload

import numpy
import numpy.typing as npt

__all__ = [
    "BytesWriter",
    "BytesReader",
    "Float64Writer",
    "Float64Reader",
    "ReadHandle",
    "WriteHandle",
    "unlink",
    "ChannelRoleConflict",
]

_Flag = bool | numpy.bool_
_U8Array = TypeVar("_U8Array", bound=npt.NDArray[numpy.uint8])
_F64Array = TypeVar("_F64Array", bound=npt.NDArray[numpy.float64])

@final
class BytesWriter:
    """Single-writer end of a byte-oriented Quillmere.

    `entry_length` is measured in bytes and must be a multiple of 8, so that
    every slot's `entry_seq` word stays naturally aligned.
    """

    def __init__(
        self,
        name: str,
        *,
        entry_length: SupportsIndex | None = None,
        entry_count: SupportsIndex | None = None,
        delayed_connect: _Flag = False,
    ) -> None: ...
    @property
    def entry_length(self) -> int:
        """Bytes per entry (0 while a deferred channel is unconnected)."""
    @property
    def last_entry_seq(self) -> int:
        """Sequence number of the most recently committed entry (0 if none)."""
    def write(self, data: bytes) -> None:
        """Write one entry. `len(data)` must equal `entry_length`."""
    def try_acquire(self) -> WriteHandle | None:
        """Acquire the next ring slot for in-place construction (zero-copy path).

        Returns a `WriteHandle` whose `payload` is a writable `memoryview` of
        `entry_length` bytes, or `None` while a deferred channel is still
        unconnected. The entry becomes visible only on `commit()`.

        Raises `BlockingIOError` if every ring slot is held by a reader.
        """

@final
class Float64Writer:
    """Single-writer end of a `float64` Quillmere.

    `entry_length` is measured in `float64` elements.
    """

    def __init__(
        self,
        name: str,
        *,
        entry_length: SupportsIndex | None = None,
        entry_count: SupportsIndex | None = None,
        delayed_connect: _Flag = False,
    ) -> None: ...
    @property
    def entry_length(self) -> int:
        """Number of `float64` elements per entry (0 while deferred)."""
    @property
    def last_entry_seq(self) -> int:
        """Sequence number of the most recently committed entry (0 if none)."""
    def write(self, data: npt.NDArray[numpy.float64]) -> None:
        """Write one entry. `len(data)` must equal `entry_length`."""
    def try_acquire(self) -> WriteHandle | None:
        """Acquire the next ring slot for in-place construction (zero-copy path).

        Returns a `WriteHandle` whose `payload` is a writable `float64`
        `memoryview` of `entry_length` elements, or `None` while a deferred
        channel is still unconnected. The entry becomes visible only on
        `commit()`.

        Raises `BlockingIOError` if every ring slot is held by a reader.
        """

@final
class BytesReader:
    """Reader end of a byte-oriented Quillmere."""

    def __init__(
        self,
        name: str,
        *,
        entry_length: SupportsIndex | None = None,
        entry_count: SupportsIndex | None = None,
        delayed_connect: _Flag = True,
        enable_zero_copy: _Flag = False,
    ) -> None: ...
    @property
    def entry_length(self) -> int:
        """Bytes per entry (0 while a deferred channel is unconnected)."""
    @property
    def last_entry_seq(self) -> int:
        """Sequence number of the last entry this reader returned (0 if none)."""
    @property
    def writer_entry_seq(self) -> int:
        """The writer's high watermark, straight from the segment header."""
    @overload
    def read(
        self, *, out: None = None, from_entry_seq: SupportsIndex | None = None
    ) -> tuple[int, bytes] | None:
        """Read the next entry newer than the watermark.

        Returns `(entry_seq, payload)` for exactly one entry, or `None` when
        nothing newer is available. `payload` is a `bytes` object unless a
        pre-allocated `out` array is supplied, in which case it is filled in
        place and returned.

        `out` must be a contiguous 1-D `uint8` array of `entry_length` elements.
        `from_entry_seq` overrides the reader's own watermark.
        """
    @overload
    def read(
        self, *, out: _U8Array, from_entry_seq: SupportsIndex | None = None
    ) -> tuple[int, _U8Array] | None: ...
    def try_acquire(self, *, from_entry_seq: SupportsIndex | None = None) -> ReadHandle | None:
        """Acquire the next entry newer than the watermark (zero-copy path).

        Returns a `ReadHandle` borrowing the entry in place, or `None` when
        nothing newer is available. `from_entry_seq` overrides the reader's own
        watermark, exactly as for `read()`.

        Single-reader only: the slot is pinned by driving its `entry_seq`
        negative, a state only one reader can own. The handle must be released.
        """

@final
class Float64Reader:
    """Reader end of a `float64` Quillmere."""

    def __init__(
        self,
        name: str,
        *,
        entry_length: SupportsIndex | None = None,
        entry_count: SupportsIndex | None = None,
        delayed_connect: _Flag = True,
        enable_zero_copy: _Flag = False,
    ) -> None: ...
    @property
    def entry_length(self) -> int:
        """Number of `float64` elements per entry (0 while deferred)."""
    @property
    def last_entry_seq(self) -> int:
        """Sequence number of the last entry this reader returned (0 if none)."""
    @property
    def writer_entry_seq(self) -> int:
        """The writer's high watermark, straight from the segment header."""
    @overload
    def read(
        self, *, out: None = None, from_entry_seq: SupportsIndex | None = None
    ) -> tuple[int, npt.NDArray[numpy.float64]] | None:
        """Read the next entry newer than the watermark.

        Returns `(entry_seq, payload)` for exactly one entry, or `None` when
        nothing newer is available. `payload` is a 1-D `float64` array of
        `entry_length` elements — the pre-allocated `out` array when one is
        supplied, otherwise a freshly allocated one.

        `out` must be a contiguous 1-D `float64` array of `entry_length`
        elements. `from_entry_seq` overrides the reader's own watermark.
        """
    @overload
    def read(
        self, *, out: _F64Array, from_entry_seq: SupportsIndex | None = None
    ) -> tuple[int, _F64Array] | None: ...
    def try_acquire(self, *, from_entry_seq: SupportsIndex | None = None) -> ReadHandle | None:
        """Acquire the next entry newer than the watermark (zero-copy path).

        Returns a `ReadHandle` borrowing the entry in place as a `float64`
        `memoryview`, or `None` when nothing newer is available.
        `from_entry_seq` overrides the reader's own watermark, exactly as for
        `read()`.

        Single-reader only: the slot is pinned by driving its `entry_seq`
        negative, a state only one reader can own. The handle must be released.
        """

@final
class ReadHandle:
    """A borrowed, in-place view of one committed entry (zero-copy read path).

    Handed out by `BytesReader.try_acquire()` and
    `Float64Reader.try_acquire()`; the class cannot be instantiated. The
    slot's `entry_seq` is negative for as long as the handle is held, so the
    writer skips it and the payload cannot change underfoot. Releasing is
    mandatory — an unreleased slot is retired from the ring — so prefer the
    context manager. `release()` raises `BufferError` while any view derived
    from `payload` (a `memoryview` or `numpy` array) is still alive.
    """

    @property
    def entry_seq(self) -> int:
        """Sequence number of the held entry."""
    @property
    def payload(self) -> memoryview:
        """The entry payload as a read-only `memoryview` over shared memory.

        Typed as `uint8` on a byte channel and `float64` on a `float64`
        channel, so `numpy.asarray(handle.payload)` is a zero-copy typed view.
        Each access creates a fresh view; the handle cannot be released while
        any of them is alive.
        """
    @property
    def released(self) -> bool:
        """True once the slot has been handed back to the ring."""
    @property
    def exports(self) -> int:
        """Number of `memoryview`/`numpy` views currently borrowing the payload."""
    def release(self) -> None:
        """Return the slot to the ring. Idempotent.

        Raises `BufferError` if any view into `payload` is still alive; the
        handle stays valid and can be released once they are gone.
        """
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None = None,
        exc_value: BaseException | None = None,
        traceback: TracebackType | None = None,
    ) -> Literal[False]:
        """Release the slot, whether or not the block raised."""
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __release_buffer__(self, buffer: memoryview, /) -> None: ...

@final
class WriteHandle:
    """An exclusive, not-yet-published view of one ring slot (zero-copy write path).

    Handed out by `BytesWriter.try_acquire()` and
    `Float64Writer.try_acquire()`; the class cannot be instantiated. The
    slot's `entry_seq` is `0` while the handle is held, so readers skip it.
    Fill `payload` in place and call `commit()`; an abandoned handle simply
    leaves the slot empty for the next write. Used as a context manager, the
    entry is committed on a clean exit and abandoned if the block raises.

    A freshly acquired slot is **not** zeroed: it still holds the bytes of the
    entry written `entry_count` writes ago. Fill every byte, or zero it first.
    `commit()` raises `BufferError` while any view into `payload` is alive.
    """

    @property
    def payload(self) -> memoryview:
        """The entry payload as a writable `memoryview` over shared memory.

        Typed as `uint8` on a byte channel and `float64` on a `float64`
        channel, so `numpy.asarray(handle.payload)[:] = ...` fills the slot in
        place. Each access creates a fresh view; the handle cannot be committed
        while any of them is alive.
        """
    @property
    def committed(self) -> bool:
        """True once the entry has been published."""
    @property
    def exports(self) -> int:
        """Number of `memoryview`/`numpy` views currently borrowing the payload."""
    def commit(self) -> int:
        """Publish the entry and return its sequence number.

        Raises `BufferError` if any view into `payload` is still alive — writing
        through one after the entry is visible would corrupt a published entry.
        """
    def __enter__(self) -> Self: ...
    def __exit__(
        self,
        exc_type: type[BaseException] | None = None,
        exc_value: BaseException | None = None,
        traceback: TracebackType | None = None,
    ) -> Literal[False]:
        """Commit on a clean exit; abandon the entry if the block raised."""
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __release_buffer__(self, buffer: memoryview, /) -> None: ...

def unlink(name: str) -> None:
    """Remove a channel's shared-memory segment by name.

    The escape hatch for reclaiming a leaked segment: a channel abandoned by a
    crashed process keeps its name until something removes it. A later writer
    adopts the stale role claim and carries on, so this is only needed when the
    segment itself must go — supervisors reclaiming a name, and test fixtures
    that must not leak state between runs.

    Processes already attached keep their mapping; only the name goes away, so
    the next open creates a fresh segment. Does nothing if the segment is
    absent.
    """

class ChannelRoleConflict(RuntimeError):
    """An exclusive channel role is already held by a live process.

    Raised when a second writer, or a second `enable_zero_copy` reader, tries to
    attach to a channel that already has one. Deliberately not a subclass of
    `BlockingIOError`: a role conflict is not transient and retrying will not
    clear it.
    """
