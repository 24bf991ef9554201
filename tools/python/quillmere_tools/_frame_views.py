"""Typed views of a ring slot through a module handle's buffer."""

from __future__ import annotations

import math
from typing import Any

import numpy
import numpy.typing as npt

import quillmere
from quillmere_tools._frame_type import FrameType


def frame_view(
    handle: quillmere.WriteHandle | quillmere.ReadHandle, frame: FrameType
) -> npt.NDArray[Any]:
    """An ndarray of the frame over the slot: writable for a WriteHandle, read-only for a
    ReadHandle. It holds one buffer export of the handle until it is gone.

    Made by numpy.frombuffer over the handle's payload view, which the array keeps as its
    base: numpy.ndarray(buffer=...) would let go of the export at once, and the handle would
    then commit or release under a live view."""
    flat = numpy.frombuffer(handle.payload, frame.dtype, count=math.prod(frame.shape))
    return flat.reshape(frame.shape)


def zero_padding(handle: quillmere.WriteHandle, frame: FrameType) -> None:
    """Zeroes the slot's bytes past the frame, up to the entry length (fewer than 8)."""
    padding = frame.entry_length - frame.nbytes
    if padding:
        numpy.frombuffer(handle.payload, numpy.uint8, padding, frame.nbytes)[...] = 0


def bytes_of(array: npt.NDArray[Any]) -> npt.NDArray[numpy.uint8]:
    """The bytes of a C-contiguous array as a 1-D uint8 view."""
    return array.reshape(-1).view(numpy.uint8)
