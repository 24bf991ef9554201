"""Typed frames: channels whose entries are NumPy arrays of one dtype and shape.

    writer = FrameWriter("/camera", dtype=numpy.uint8, shape=(480, 640, 3), entry_count=8)
    writer.write(image)                      # one copy, straight into the ring slot
    with writer.frame() as f:                # or render in place
        render(f.array)

    reader = FrameReader("/camera")          # dtype and shape from the channel's record
    entry = reader.read(out=buffer)          # (entry_seq, buffer) or None

The frame type lives in the segment trailer, so every end agrees on it or refuses.
"""

from __future__ import annotations

from quillmere_tools import _native
from quillmere_tools._frame_reader import FrameReader, FrameReadHandle
from quillmere_tools._frame_type import FrameType, decode_record
from quillmere_tools._frame_writer import FrameWriteHandle, FrameWriter

__all__ = [
    "FrameReadHandle",
    "FrameReader",
    "FrameType",
    "FrameWriteHandle",
    "FrameWriter",
    "channel_frame_type",
    "describe_record",
]


def channel_frame_type(name: str) -> FrameType | None:
    """The frame type recorded in channel `name`, or None when it holds no record.

    Raises `FileNotFoundError` when no channel of that name exists and `ValueError` when
    its record cannot be read.
    """
    snapshot = _native.frame_record(name)
    if snapshot is None:
        raise FileNotFoundError(f"no channel named {name!r}")
    entry_length, _, record = snapshot
    return decode_record(record, entry_length) if record else None


def describe_record(name: str) -> str | None:
    """The frame type of channel `name` as one line of text ("dtype uint8, shape (4,)"),
    or None when it holds no record; errors as for `channel_frame_type`."""
    frame = channel_frame_type(name)
    return None if frame is None else str(frame)
