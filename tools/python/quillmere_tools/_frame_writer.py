"""FrameWriter: the writing end of a typed channel, one array per entry."""

from __future__ import annotations

from collections.abc import Iterator
from types import TracebackType
from typing import Any, Literal

import numpy
import numpy.typing as npt

import quillmere
from quillmere_tools import _native
from quillmere_tools._batch import write_batch
from quillmere_tools._frame_type import FrameType, ShapeLike, decode_record
from quillmere_tools._frame_views import frame_view, zero_padding


class FrameWriteHandle:
    """One frame being filled in place; committed on a clean exit, abandoned on an exception.

    `array` is a fresh writable view of the slot on each access. Views are temporary: one
    still alive at the exit makes the commit refuse with `BufferError`, as the module's
    `WriteHandle` does; drop it and call `commit()` again. While a deferred writer is not
    connected the frame is a private scratch array, dropped at the exit like `write` drops.
    """

    __slots__ = ("_handle", "_scratch", "_frame", "_entry_seq")

    def __init__(self, handle: quillmere.WriteHandle | None, frame: FrameType) -> None:
        self._handle = handle
        self._frame = frame
        self._scratch = numpy.zeros(frame.shape, frame.dtype) if handle is None else None
        self._entry_seq: int | None = None

    @property
    def array(self) -> npt.NDArray[Any]:
        """A fresh writable view of the frame; the commit waits for every view to go."""
        if self._handle is not None:
            return frame_view(self._handle, self._frame)
        if self._scratch is not None:
            return self._scratch[...]
        raise BufferError("this frame has already been committed or abandoned")

    @property
    def entry_seq(self) -> int | None:
        """The committed entry's sequence number; None before, or when nothing was published."""
        return self._entry_seq

    def commit(self) -> int | None:
        """Publish the frame and return its entry_seq (None for a deferred writer's scratch)."""
        if self._handle is not None:
            self._entry_seq = self._handle.commit()  # BufferError while a view is alive
            self._handle = None
        self._scratch = None
        return self._entry_seq

    def __enter__(self) -> FrameWriteHandle:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc_value: BaseException | None,
        traceback: TracebackType | None,
    ) -> Literal[False]:
        if exc_type is not None:
            # Abandoned: the slot was never published and the writer claims it again next.
            self._handle = self._scratch = None
        else:
            self.commit()
        return False


class FrameWriter:
    """The single writer of a channel whose entries are arrays of one dtype and shape.

    The entry length is the frame's bytes rounded up to a multiple of 8 (the padding is
    zero). The frame type is stored in the segment trailer before the first entry is
    published; a channel that already holds one must hold the same, and a channel that holds
    none (made by a module end, such as a reader that created it) gets this writer's. A
    segment without a trailer (made by an older build) carries no record at all.
    """

    __slots__ = ("_name", "_frame", "_padded", "_writer", "_typed")

    def __init__(
        self,
        name: str,
        *,
        dtype: npt.DTypeLike,
        shape: ShapeLike,
        entry_count: int | None = None,
        delayed_connect: bool = False,
    ) -> None:
        self._name = name
        self._frame = FrameType.of(dtype, shape)
        self._padded = self._frame.entry_length != self._frame.nbytes
        if len(self._frame.record) > _native.FRAME_RECORD_CAPACITY:
            raise ValueError(
                f"frame type {self._frame} needs a record of {len(self._frame.record)} bytes; "
                f"the trailer holds {_native.FRAME_RECORD_CAPACITY}"
            )
        if entry_count is None:
            self._writer = quillmere.BytesWriter(name, delayed_connect=delayed_connect)
        else:
            self._writer = quillmere.BytesWriter(
                name,
                entry_length=self._frame.entry_length,
                entry_count=entry_count,
                delayed_connect=delayed_connect,
            )
        self._typed = False
        if self._writer.entry_length:
            self._claim_type()

    @property
    def dtype(self) -> numpy.dtype[Any]:
        return self._frame.dtype

    @property
    def shape(self) -> tuple[int, ...]:
        return self._frame.shape

    @property
    def last_entry_seq(self) -> int:
        """Sequence number of the most recently committed frame (0 if none)."""
        return self._writer.last_entry_seq

    def write(self, array: npt.ArrayLike) -> None:
        """Copy one frame into the next slot and publish it.

        `array` may be any array-like of the frame's shape that converts to its dtype:
        an ndarray by NumPy's "safe" casting, with a structured dtype's fields of the same
        names in the same order (they are assigned by position); Python numbers by value:
        integers must fit exactly, floats round to the nearest value of a float dtype, and
        one beyond its range is refused. Refusals are `TypeError` naming what does not fit.
        It is copied once, straight into the slot. A deferred writer that is not connected
        yet drops the frame.
        """
        source = self._source(array)
        handle = self._acquire()
        if handle is None:
            return
        view = frame_view(handle, self._frame)
        try:
            numpy.copyto(view, source, casting="unsafe")  # _source checked the cast
        finally:
            del view  # the commit refuses while a view of the slot is alive
        handle.commit()

    def write_batch(self, frames: npt.ArrayLike) -> int:
        """Publish each frame of `frames` (shape `(k, *shape)`) as one entry, in order.

        The values are checked as for `write`, and the doorbell is rung once for the batch.
        Returns the last frame's entry_seq (the writer's `last_entry_seq`; 0 while a deferred
        writer drops frames because its channel is missing).
        """
        source = self._source(frames, batch=True)
        if not self._typed:
            handle = self._acquire()  # connects a deferred writer and stores the frame type
            if handle is None:
                return self._writer.last_entry_seq
            del handle  # abandoned unpublished: the batch claims that slot first
        frame, count = self._frame, len(source)
        if count == 0:
            return self._writer.last_entry_seq
        if not self._padded and source.dtype == frame.dtype and source.flags.c_contiguous:
            rows = source.reshape(count, -1).view(numpy.uint8)
        else:
            typed = numpy.empty(source.shape, frame.dtype)
            numpy.copyto(typed, source, casting="unsafe")  # _source checked the cast
            rows = numpy.zeros((count, frame.entry_length), numpy.uint8)  # zero padding
            rows[:, : frame.nbytes] = typed.reshape(count, -1).view(numpy.uint8)
        return write_batch(self._writer, rows)

    def frame(self) -> FrameWriteHandle:
        """Claim the next slot for a frame rendered in place: `with w.frame() as f: ...`."""
        return FrameWriteHandle(self._acquire(), self._frame)

    def _acquire(self) -> quillmere.WriteHandle | None:
        handle = self._writer.try_acquire()  # connects a deferred writer
        if handle is None:
            return None
        try:
            if not self._typed:
                self._claim_type()
            if self._padded:
                zero_padding(handle, self._frame)
        except BaseException:
            del handle  # abandoned: nothing was published
            raise
        return handle

    def _claim_type(self) -> None:
        """Stores the frame type, or checks the one stored; before any publish of ours."""
        length = self._writer.entry_length
        snapshot = _native.frame_record(self._name)
        held = snapshot[2] if snapshot else None
        if not held and length == self._frame.entry_length:
            held = _native.store_frame_record(self._name, self._frame.record)
        if held and decode_record(held) != self._frame:
            raise ValueError(
                f"channel {self._name!r} carries frames of {decode_record(held)}, "
                f"not {self._frame}"
            )
        if length != self._frame.entry_length:
            raise ValueError(
                f"channel {self._name!r} has entries of {length} bytes; frames of "
                f"{self._frame} take {self._frame.entry_length}"
            )
        self._typed = True

    def _source(self, array: npt.ArrayLike, *, batch: bool = False) -> npt.NDArray[Any]:
        """`array` as an ndarray of the frame's shape (of frames of it, for a batch) whose
        cast to its dtype loses nothing."""
        frame = self._frame
        if isinstance(array, numpy.ndarray):
            source: npt.NDArray[Any] = array
        elif frame.dtype.names is not None:
            try:
                with numpy.errstate(over="raise"):
                    source = numpy.asarray(array, dtype=frame.dtype)  # tuples into fields
            except FloatingPointError:
                beyond = _beyond_range_of_fields(array, frame.dtype)
                raise TypeError(f"expected a frame of {frame.dtype}, got {beyond}, beyond the "
                                "range of its field") from None
        else:
            source = numpy.asarray(array)
        if batch and (source.ndim != len(frame.shape) + 1 or source.shape[1:] != frame.shape):
            raise ValueError(
                f"expected frames of shape (k, {', '.join(map(str, frame.shape))}), "
                f"got {source.shape}"
            )
        if not batch and source.shape != frame.shape:
            raise ValueError(f"expected a frame of shape {frame.shape}, got {source.shape}")
        if source.dtype == frame.dtype:
            return source
        if _field_names(source.dtype) != _field_names(frame.dtype):
            # "safe" casting between records ignores their names: a swapped pair of fields
            # would land in each other's place.
            raise TypeError(f"expected a frame of {frame.dtype}, got {source.dtype}, whose "
                            "fields differ in name or order")
        if numpy.can_cast(source.dtype, frame.dtype, "safe"):
            return source
        weak = not isinstance(array, numpy.ndarray)
        if weak and (too_large := _beyond_range(source, frame.dtype)) is not None:
            raise TypeError(f"expected a frame of {frame.dtype}, got {too_large}, beyond its range")
        integer = frame.dtype.kind in "iu"
        if weak and integer and (unfit := _unfit_integer(source, frame.dtype)) is not None:
            raise TypeError(f"expected a frame of {frame.dtype}, got {unfit}, beyond its range")
        if not (weak and _values_fit(source, frame.dtype)):
            raise TypeError(
                f"expected a frame of {frame.dtype}, got {source.dtype}, which does not "
                "convert without loss"
            )
        return source


FieldNames = tuple[tuple[str, "FieldNames | None"], ...]


def _field_names(dtype: numpy.dtype[Any]) -> FieldNames | None:
    """The names of a structured dtype's fields, nested ones included; None for plain ones."""
    if dtype.subdtype is not None:
        return _field_names(dtype.subdtype[0])
    if dtype.names is None:
        return None
    fields = dtype.fields
    assert fields is not None
    return tuple((name, _field_names(fields[name][0])) for name in dtype.names)


def _beyond_range(source: npt.NDArray[Any], dtype: numpy.dtype[Any]) -> float | None:
    """The first finite float of `source` that becomes infinite in `dtype`, if any."""
    if source.dtype.kind != "f" or dtype.kind not in "fc":
        return None
    with numpy.errstate(over="ignore"):
        cast = source.astype(dtype)
    beyond = numpy.isfinite(source) & ~numpy.isfinite(cast)
    return float(source[beyond].flat[0]) if beyond.any() else None


def _beyond_range_of_fields(array: npt.ArrayLike, dtype: numpy.dtype[Any]) -> float | str:
    """The first value of records `array` that its float field of `dtype` cannot hold, found
    by reading the records with every float field widened to 64 bits."""
    wide = numpy.asarray(array, dtype=_widened(dtype))
    for values, field in _fields(wide, dtype):
        if (beyond := _beyond_range(values, field)) is not None:
            return beyond
    return "a value"


def _widened(dtype: numpy.dtype[Any]) -> numpy.dtype[Any]:
    if dtype.subdtype is not None:
        return numpy.dtype((_widened(dtype.subdtype[0]), dtype.subdtype[1]))
    if dtype.names is not None:
        fields = dtype.fields
        assert fields is not None
        return numpy.dtype([(name, _widened(fields[name][0])) for name in dtype.names])
    return numpy.dtype({"f": "f8", "c": "c16"}.get(dtype.kind, dtype))


def _fields(
    values: npt.NDArray[Any], dtype: numpy.dtype[Any]
) -> Iterator[tuple[npt.NDArray[Any], numpy.dtype[Any]]]:
    """(values, dtype) of every plain field of records `values` laid out like `dtype`."""
    base = dtype.subdtype[0] if dtype.subdtype is not None else dtype
    if base.names is None:
        yield values, base
        return
    fields = base.fields
    assert fields is not None
    for name in base.names:
        yield from _fields(values[name], fields[name][0])


def _values_fit(source: npt.NDArray[Any], dtype: numpy.dtype[Any]) -> bool:
    """Python numbers are weakly typed, as in NumPy's own promotion: their values decide."""
    if source.size and source.dtype.kind in "iu" and dtype.kind in "iuf":
        return _unfit_integer(source, dtype) is None
    return source.dtype.kind == "f" and dtype.kind in "fc"


def _unfit_integer(source: npt.NDArray[Any], dtype: numpy.dtype[Any]) -> int | None:
    """The least or greatest of the Python integers in `source`, if `dtype` cannot hold it."""
    if not source.size or source.dtype.kind not in "iu" or dtype.kind not in "iuf":
        return None
    for value in (source.min(), source.max()):
        if not numpy.can_cast(numpy.min_scalar_type(value), dtype):
            return int(value)
    return None
