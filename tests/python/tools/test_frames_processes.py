"""Typed frames between processes: the reader learns the type from the writer's record."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy
import numpy.typing as npt

from qm_support import Child
from quillmere_tools.frames import FrameReader

FRAMES = 40

# Writes FRAMES frames whose every element encodes the frame number, then waits, holding the
# channel (its creator) until told to go.
WRITER = """
from quillmere_tools.frames import FrameWriter
dtype = numpy.dtype([("stamp", ">f8"), ("rgb", "u1", (3,)), ("flags", "<u2")])
writer = FrameWriter(sys.argv[1], dtype=dtype, shape=(6, 5), entry_count=64)
for n in range(1, %d + 1):
    frame = numpy.zeros((6, 5), dtype)
    frame["stamp"] = n + numpy.arange(30).reshape(6, 5) / 100
    frame["rgb"] = n %% 256
    frame["flags"] = n * 7
    writer.write(frame)
print("written", writer.last_entry_seq, flush=True)
sys.stdin.readline()
""" % FRAMES


def check(entry_seq: int, frame: npt.NDArray[Any]) -> None:
    assert frame.shape == (6, 5)
    assert (frame["stamp"] == entry_seq + numpy.arange(30).reshape(6, 5) / 100).all()
    assert (frame["rgb"] == entry_seq % 256).all() and (frame["flags"] == entry_seq * 7).all()


def test_frames_cross_processes_by_copy_and_in_place(
    channel_name: str, spawn: Callable[..., Child]
) -> None:
    reader = FrameReader(channel_name)  # before the channel exists: deferred
    assert reader.read() is None
    writer = spawn(WRITER, channel_name)
    writer.expect(f"written {FRAMES}")
    first = reader.read()  # the type comes from the record: nothing was given here
    assert first is not None and first[1].dtype.names == ("stamp", "rgb", "flags")
    check(*first)
    out = numpy.empty_like(first[1])
    seen = [first[0]]
    while (entry := reader.read(out=out)) is not None:
        assert entry[1] is out
        check(*entry)
        seen.append(entry[0])
    assert seen == list(range(1, FRAMES + 1))

    in_place = FrameReader(channel_name, enable_zero_copy=True)
    assert in_place.dtype == first[1].dtype and in_place.writer_entry_seq == FRAMES
    count = 0
    while (handle := in_place.acquire()) is not None:
        with handle:
            check(handle.entry_seq, handle.array)
        count += 1
    assert count == FRAMES
    writer.send("exit")
    assert writer.wait() == 0
