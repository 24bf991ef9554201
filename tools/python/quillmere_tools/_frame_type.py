"""The type of a typed channel's frames: a plain-data dtype and a shape, and its record.

A FrameWriter stores the type in the segment trailer as compact JSON,
`{"descr": <numpy descr>, "shape": [...], "v": 1}`, where the descr is NumPy's own
description of a dtype (byte order, structured fields, offsets through padding entries).
Record bytes come from shared memory that any process of the user may scribble on, so
decoding checks everything and fails only with `ValueError`.
"""

from __future__ import annotations

import json
import math
import operator
import re
from collections.abc import Sequence
from typing import Any, NamedTuple, SupportsIndex

import numpy
import numpy.typing as npt
from numpy.lib.format import descr_to_dtype

RECORD_VERSION = 1
MAX_DIMS = 32
MAX_FRAME_BYTES = 1 << 56  # far above any shared-memory segment, far below 64-bit overflow
_MAX_DESCR_DEPTH = 8  # structured dtypes nested deeper than this are refused

# Leaf descrs as NumPy writes them: byte order, kind, size, and a datetime unit.
_LEAF = re.compile(r"[<>|][bBiufcmMSUV][0-9]+(\[[0-9]*[a-zA-Z]+\])?")
# Kinds whose values are plain bytes: no object references, no out-of-line storage.
_PLAIN_KINDS = frozenset("biufcmMSUV")

ShapeLike = SupportsIndex | Sequence[SupportsIndex]


class FrameType(NamedTuple):
    """A frame's dtype and shape; equal types have equivalent dtypes and equal shapes."""

    dtype: numpy.dtype[Any]
    shape: tuple[int, ...]

    @classmethod
    def of(cls, dtype: npt.DTypeLike, shape: ShapeLike) -> FrameType:
        """The frame type for `dtype` and `shape`, checked as a record's would be.

        Raises `TypeError` for something that is not a dtype or a shape, `ValueError` for a
        dtype that is not plain data (objects, NumPy's variable-width strings, overlapping
        fields), a subarray dtype, or a frame of no or absurdly many bytes.
        """
        frame = _checked(cls(plain_dtype(numpy.dtype(dtype)), checked_shape(shape)))
        try:
            return decode_record(frame.record)  # what a reader will see: canonical
        except ValueError as error:
            raise ValueError(f"frame dtype {frame.dtype} cannot be recorded: {error}") from None

    @property
    def nbytes(self) -> int:
        return self.dtype.itemsize * math.prod(self.shape)

    @property
    def entry_length(self) -> int:
        """The channel's entry length: the frame's bytes rounded up to whole 8-byte words."""
        return (self.nbytes + 7) // 8 * 8

    @property
    def record(self) -> bytes:
        """The trailer record for this type (canonical: equal types give equal bytes)."""
        fields = {"descr": _descr(self.dtype), "shape": list(self.shape), "v": RECORD_VERSION}
        return json.dumps(fields, separators=(",", ":"), sort_keys=True).encode()

    def __str__(self) -> str:
        return f"dtype {self.dtype}, shape {self.shape}"


def plain_dtype(dtype: numpy.dtype[Any]) -> numpy.dtype[Any]:
    if dtype.subdtype is not None:
        raise ValueError(
            f"frame dtype {dtype} is a subarray dtype: give its element type as dtype and "
            "put its dimensions into shape"
        )
    if dtype.hasobject or dtype.kind not in _PLAIN_KINDS:
        raise ValueError(f"frame dtype {dtype} is not plain data (objects or references)")
    return dtype


def checked_shape(shape: ShapeLike) -> tuple[int, ...]:
    try:
        dims = (shape,) if isinstance(shape, SupportsIndex) else tuple(shape)
        result = tuple(operator.index(dim) for dim in dims)
    except TypeError:
        raise TypeError(f"shape must be an int or a sequence of ints, got {shape!r}") from None
    if len(result) > MAX_DIMS or any(dim < 1 for dim in result):
        raise ValueError(f"shape {result} must have at most {MAX_DIMS} dimensions, all >= 1")
    return result


def _checked(frame: FrameType) -> FrameType:
    if frame.dtype.itemsize == 0:
        raise ValueError(f"frame dtype {frame.dtype} has no size")
    if frame.nbytes > MAX_FRAME_BYTES:
        raise ValueError(f"frames of {frame.nbytes} bytes are too large")
    return frame


def _descr(dtype: numpy.dtype[Any]) -> Any:
    """NumPy's descr of `dtype` as JSON values (tuples become lists)."""
    try:
        descr = dtype.descr if dtype.names is not None else dtype.str
    except ValueError as error:  # overlapping or out-of-order fields have no descr
        raise ValueError(str(error)) from None
    return json.loads(json.dumps(descr))


def _parse_descr(value: Any, depth: int = 0) -> Any:
    """The JSON form of a descr back into NumPy's tuples, refusing anything unexpected."""
    if isinstance(value, str):
        if not _LEAF.fullmatch(value):
            raise ValueError(f"unexpected dtype {value!r}")
        return value
    if not isinstance(value, list) or not value or depth >= _MAX_DESCR_DEPTH:
        raise ValueError("malformed structured dtype")
    return [_parse_field(field, depth) for field in value]


def _parse_field(field: Any, depth: int) -> tuple[Any, ...]:
    if not isinstance(field, list) or len(field) not in (2, 3):
        raise ValueError("malformed structured dtype field")
    name, descr = field[0], _parse_descr(field[1], depth + 1)
    if isinstance(name, list) and len(name) == 2 and all(isinstance(n, str) for n in name):
        name = tuple(name)  # (title, name)
    elif not isinstance(name, str):
        raise ValueError("malformed structured dtype field name")
    if len(field) == 2:
        return (name, descr)
    return (name, descr, checked_shape(field[2]) if isinstance(field[2], list) else ())


def decode_record(record: bytes, entry_length: int | None = None) -> FrameType:
    """The frame type in `record`; with `entry_length`, also checks that the frames fit it.

    Any bytes give either a frame type or `ValueError`.
    """
    try:
        fields = json.loads(record.decode())
        if not isinstance(fields, dict) or set(fields) != {"descr", "shape", "v"}:
            raise ValueError("not a frame-type record")
        if type(fields["v"]) is not int or fields["v"] != RECORD_VERSION:
            raise ValueError(f"frame-type record version {fields['v']!r} is not supported")
        if not isinstance(fields["shape"], list):
            raise ValueError("malformed shape")
        shape = checked_shape(fields["shape"])
        dtype = plain_dtype(descr_to_dtype(_parse_descr(fields["descr"])))
        # Only NumPy's own descr of the dtype is accepted: no second spelling of a type.
        if _descr(dtype) != fields["descr"]:
            raise ValueError(f"dtype {fields['descr']!r} is not in NumPy's own form")
        frame = _checked(FrameType(dtype, shape))
    except (ValueError, TypeError, OverflowError, RecursionError, UnicodeDecodeError) as error:
        raise ValueError(f"unreadable frame-type record {record[:80]!r}: {error}") from None
    if entry_length is not None and frame.entry_length != entry_length:
        raise ValueError(
            f"frame-type record says {frame} ({frame.entry_length} bytes per entry) but the "
            f"channel's entries are {entry_length} bytes"
        )
    return frame
