"""FrameReader: a reading end of a typed channel, one array per entry."""

from __future__ import annotations

import math
from types import TracebackType
from typing import Any, Literal

import numpy
import numpy.typing as npt

import quillmere
from quillmere_tools import _native
from quillmere_tools._batch import read_batch
from quillmere_tools._frame_type import (
    FrameType,
    ShapeLike,
    checked_shape,
    decode_record,
    plain_dtype,
)
from quillmere_tools._frame_views import bytes_of, frame_view


class FrameReadHandle:
    """One frame borrowed in place from the ring, pinned until released.

    `array` is a fresh read-only view of the slot on each access. Releasing (also at the end
    of a `with` block) refuses with `BufferError` while any view is alive, as the module's
    `ReadHandle` does, so that no view can see the slot reused.
    """

    __slots__ = ("_handle", "_frame")

    def __init__(self, handle: quillmere.ReadHandle, frame: FrameType) -> None:
        self._handle = handle
        self._frame = frame

    @property
    def array(self) -> npt.NDArray[Any]:
        """A fresh read-only view of the frame."""
        return frame_view(self._handle, self._frame)

    @property
    def entry_seq(self) -> int:
        return self._handle.entry_seq

    @property
    def released(self) -> bool:
        return self._handle.released

    def release(self) -> None:
        """Give the slot back to the ring; idempotent. BufferError while a view is alive."""
        self._handle.release()

    def __enter__(self) -> FrameReadHandle:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]:
        self._handle.release()
        return False


class FrameReader:
    """A reader of a channel whose entries are arrays of one dtype and shape.

    The frame type comes from the record the writer stored in the segment trailer; a `dtype`
    or `shape` given here must match it. A channel without a record (made by the module or
    another tool) needs both, and they must fit its entry length.

    Until the type is known the reader reads nothing: `read` and `acquire` return `None`
    while the channel is missing (with `delayed_connect`), and while it has neither a record
    nor any entry yet, since its writer may be between creating it and storing the record.
    """

    __slots__ = (
        "_name", "_reader", "_dtype", "_shape", "_frame", "_zero_copy", "_scratch", "_out",
        "_out_bytes",
    )

    def __init__(
        self,
        name: str,
        *,
        dtype: npt.DTypeLike | None = None,
        shape: ShapeLike | None = None,
        delayed_connect: bool = True,
        enable_zero_copy: bool = False,
    ) -> None:
        self._name = name
        self._dtype = None if dtype is None else plain_dtype(numpy.dtype(dtype))
        self._shape = None if shape is None else checked_shape(shape)
        self._frame: FrameType | None = None
        self._zero_copy = enable_zero_copy
        # The bytes of a padded entry, which do not fit a frame-sized `out`.
        self._scratch: npt.NDArray[numpy.uint8] | None = None
        # The last `out` and its bytes, for the loop that reads into one array again and again.
        self._out: npt.NDArray[Any] | None = None
        self._out_bytes: npt.NDArray[numpy.uint8] | None = None
        self._reader = quillmere.BytesReader(
            name, delayed_connect=delayed_connect, enable_zero_copy=enable_zero_copy
        )
        self._resolve()

    @property
    def dtype(self) -> numpy.dtype[Any] | None:
        """The frames' dtype; None until the frame type is known."""
        return self._frame.dtype if self._frame else self._dtype

    @property
    def shape(self) -> tuple[int, ...] | None:
        """The frames' shape; None until the frame type is known."""
        return self._frame.shape if self._frame else self._shape

    @property
    def last_entry_seq(self) -> int:
        """Sequence number of the last frame this reader returned (0 if none)."""
        return self._reader.last_entry_seq

    @property
    def writer_entry_seq(self) -> int:
        """The writer's high watermark, straight from the segment header."""
        return self._reader.writer_entry_seq

    def read(
        self, *, out: npt.NDArray[Any] | None = None, from_entry_seq: int | None = None
    ) -> tuple[int, npt.NDArray[Any]] | None:
        """Copy the next frame newer than the watermark: `(entry_seq, array)` or None.

        `out`, a C-contiguous writable array of the frame's dtype and shape, is filled in
        place and returned as the array; without it a new array is returned.
        """
        frame = self._frame or self._resolve()
        if frame is None:
            return None
        if out is None:
            target = numpy.empty(frame.shape, frame.dtype)
            target_bytes = bytes_of(target)
        else:
            target, target_bytes = _checked_out(out, frame), self._bytes_of_out(out)
        if self._scratch is None:
            got = self._reader.read(out=target_bytes, from_entry_seq=from_entry_seq)
        else:
            got = self._reader.read(out=self._scratch, from_entry_seq=from_entry_seq)
            if got is not None:
                target_bytes[...] = self._scratch[: frame.nbytes]
        return None if got is None else (got[0], target)

    def read_batch(
        self, out: npt.NDArray[Any], *, seqs: npt.NDArray[numpy.int64] | None = None
    ) -> int:
        """Copy the next frames newer than the watermark into the rows of `out`.

        `out` is a C-contiguous writable array of the frame's dtype and shape `(k, *shape)`.
        Returns how many leading rows were filled, in entry_seq order (0 when nothing is
        newer, or while the frame type cannot be known yet); `seqs`, an int64 array of at
        least `k`, receives their entry_seqs. Moves the watermark as that many `read` calls.
        """
        frame = self._frame or self._resolve()
        if frame is None:
            return 0
        _checked_out(out, frame, batch=True)
        out_rows = out.reshape(len(out), math.prod(frame.shape)).view(numpy.uint8)
        if self._scratch is None:
            return read_batch(self._reader, out_rows, seqs=seqs)
        rows = numpy.empty((len(out), frame.entry_length), numpy.uint8)  # padded entries
        filled = read_batch(self._reader, rows, seqs=seqs)
        out_rows[:filled] = rows[:filled, : frame.nbytes]
        return filled

    def _bytes_of_out(self, out: npt.NDArray[Any]) -> npt.NDArray[numpy.uint8]:
        if out is not self._out or self._out_bytes is None:
            self._out, self._out_bytes = out, bytes_of(out)
        return self._out_bytes

    def acquire(self, *, from_entry_seq: int | None = None) -> FrameReadHandle | None:
        """Borrow the next frame newer than the watermark in place (zero-copy reader only).

        Returns None when nothing is newer, else a handle to use in a `with` block.
        """
        if not self._zero_copy:
            raise ValueError("zero-copy reads require a FrameReader built with enable_zero_copy")
        frame = self._frame or self._resolve()
        if frame is None:
            return None
        handle = self._reader.try_acquire(from_entry_seq=from_entry_seq)
        return None if handle is None else FrameReadHandle(handle, frame)

    def _resolve(self) -> FrameType | None:
        """Learns the frame type from the channel; None while it cannot be known yet."""
        snapshot = _native.frame_record(self._name)
        if snapshot is None:
            return None  # no channel yet
        entry_length, writer_entry_seq, record = snapshot
        if record:
            self._frame = self._matching(decode_record(record, entry_length))
        elif record is not None and writer_entry_seq == 0:
            return None  # its writer may not have stored the record yet
        elif self._dtype is None or self._shape is None:
            raise ValueError(
                f"channel {self._name!r} has no frame-type record: give both dtype and shape"
            )
        else:
            given = FrameType.of(self._dtype, self._shape)
            if given.entry_length != entry_length:
                raise ValueError(
                    f"frames of {given} take {given.entry_length} bytes but channel "
                    f"{self._name!r} has entries of {entry_length} bytes"
                )
            self._frame = given
        if self._frame.entry_length != self._frame.nbytes:
            self._scratch = numpy.empty(self._frame.entry_length, numpy.uint8)
        return self._frame

    def _matching(self, found: FrameType) -> FrameType:
        want_dtype = found.dtype if self._dtype is None else self._dtype
        want_shape = found.shape if self._shape is None else self._shape
        if want_dtype != found.dtype or want_shape != found.shape:
            raise ValueError(
                f"channel {self._name!r} carries frames of {found}, not "
                f"{FrameType(want_dtype, want_shape)}"
            )
        return found


def _checked_out(
    out: npt.NDArray[Any], frame: FrameType, *, batch: bool = False
) -> npt.NDArray[Any]:
    if not isinstance(out, numpy.ndarray) or out.dtype != frame.dtype:
        got = out.dtype if isinstance(out, numpy.ndarray) else type(out).__name__
        raise TypeError(f"out must be an array of {frame.dtype}, got {got}")
    if batch and (out.ndim != len(frame.shape) + 1 or out.shape[1:] != frame.shape):
        shape = ", ".join(map(str, ("k", *frame.shape)))
        raise ValueError(f"out must have shape ({shape}), got {out.shape}")
    if not batch and out.shape != frame.shape:
        raise ValueError(f"out must have shape {frame.shape}, got {out.shape}")
    if not out.flags.c_contiguous or not out.flags.writeable:
        raise ValueError("out must be a C-contiguous writable array")
    return out
