"""FrameWriter and FrameReader in one process: conversions on the way in, out= and zero-copy
on the way out, frame handles, and how the frame type is agreed on through the record."""

from __future__ import annotations

from collections.abc import Callable
from typing import Any

import numpy
import numpy.typing as npt
import pytest

import quillmere
from quillmere_tools import _native
from quillmere_tools.frames import FrameReader, FrameWriter, channel_frame_type

RECORD = numpy.dtype([("stamp", ">f8"), ("flags", "<u2"), ("pose", ">f4", (3,))])


def records(n: int, start: float = 0.0) -> npt.NDArray[Any]:
    out = numpy.zeros(n, RECORD)
    out["stamp"] = start + numpy.arange(n)
    out["flags"] = numpy.arange(n) * 3
    out["pose"] = numpy.arange(n * 3).reshape(n, 3)
    return out


def test_structured_big_endian_frames_round_trip_with_padding(channel_name: str) -> None:
    writer = FrameWriter(channel_name, dtype=RECORD, shape=(2, 3), entry_count=4)
    assert RECORD.itemsize * 6 == 132  # padded to 136 bytes per entry
    reader = FrameReader(channel_name)
    assert (reader.dtype, reader.shape) == (RECORD, (2, 3))
    frame = records(6).reshape(2, 3)
    writer.write(frame)
    writer.write(frame[:, ::-1])  # not contiguous
    entry_seq, got = reader.read()  # type: ignore[misc]
    assert entry_seq == 1 and got.dtype == RECORD and (got == frame).all()
    out = numpy.empty((2, 3), RECORD)
    entry = reader.read(out=out)
    assert entry is not None and entry[1] is out and (out == frame[:, ::-1]).all()
    # The padding after the frame is zero, whatever the slot held before.
    raw = quillmere.BytesReader(channel_name).read(from_entry_seq=1)
    assert raw is not None and raw[1][132:] == bytes(4)


def test_write_converts_only_without_loss(channel_name: str) -> None:
    writer = FrameWriter(channel_name, dtype=numpy.uint16, shape=(2, 3), entry_count=4)
    reader = FrameReader(channel_name)
    writer.write([[1, 2, 3], [4, 5, 65535]])  # Python ints that fit
    writer.write(numpy.ones((2, 3), numpy.uint8))  # a safe cast
    assert [e[1].tolist() for e in iter(reader.read, None)] == [
        [[1, 2, 3], [4, 5, 65535]], [[1, 1, 1], [1, 1, 1]]
    ]
    with pytest.raises(ValueError, match=r"shape \(2, 3\), got \(3, 2\)"):
        writer.write(numpy.zeros((3, 2), numpy.uint16))
    for lossy in ([[1, 2, 3], [4, 5, 65536]], [[-1] * 3] * 2, numpy.zeros((2, 3)),
                  numpy.zeros((2, 3), numpy.int16), [[0.5] * 3] * 2):
        with pytest.raises(TypeError, match="expected a frame of uint16, got"):
            writer.write(lossy)
    assert writer.last_entry_seq == 2


PAIR = numpy.dtype([("a", "f8"), ("b", "f8")])


@pytest.mark.filterwarnings("error")  # no NumPy warning may leak out of a refusal
@pytest.mark.parametrize(("dtype", "frame", "refusal"), [
    (numpy.float32, [1e300, 2.0, 3.0], r"float32, got 1e\+300, beyond its range"),
    (numpy.complex64, [1.0, -1e39, 0.0], r"complex64, got -1e\+39, beyond its range"),
    (numpy.uint8, [1, 2, 300], "uint8, got 300, beyond its range"),
    (PAIR, numpy.array([(1.0, 2.0)] * 3, [("b", "f8"), ("a", "f8")]),
     r"got \[\('b', '<f8'\), \('a', '<f8'\)\], whose fields differ in name or order"),
    (PAIR, numpy.zeros(3, [("x", "f8"), ("y", "f8")]), "whose fields differ in name or order"),
    (numpy.dtype([("a", "i2"), ("b", "f4", (2,))]),
     [(1, (0.0, 0.0)), (2, (0.5, -1e39)), (3, (0.0, 0.0))],
     r"got -1e\+39, beyond the range of its field"),
])
def test_write_refuses_what_the_cast_would_change(
    channel_name: str, dtype: npt.DTypeLike, frame: Any, refusal: str
) -> None:
    writer = FrameWriter(channel_name, dtype=dtype, shape=(3,), entry_count=4)
    with pytest.raises(TypeError, match=refusal):
        writer.write(frame)
    assert writer.last_entry_seq == 0


@pytest.mark.filterwarnings("error")
def test_python_floats_round_to_the_frame_dtype_and_keep_their_specials(channel_name: str) -> None:
    writer = FrameWriter(channel_name, dtype=numpy.float32, shape=(4,), entry_count=4)
    reader = FrameReader(channel_name)
    writer.write([0.1, 3.4028235e38, float("inf"), float("nan")])
    entry = reader.read()
    assert entry is not None
    assert entry[1][:3].tolist() == numpy.array([0.1, 3.4028235e38, numpy.inf], "f4").tolist()
    assert numpy.isnan(entry[1][3])


def test_frame_commits_on_clean_exit_and_abandons_on_exception(channel_name: str) -> None:
    writer = FrameWriter(channel_name, dtype=numpy.float32, shape=(4, 4), entry_count=4)
    reader = FrameReader(channel_name)
    with writer.frame() as f:
        f.array[...] = 1.5
        f.array[0, 0] = -1.0  # every access is a fresh view of the same slot
    assert f.entry_seq == 1
    with pytest.raises(RuntimeError, match="render failed"), writer.frame() as g:
        g.array[...] = 9.0
        raise RuntimeError("render failed")
    assert g.entry_seq is None and writer.last_entry_seq == 1
    with pytest.raises(BufferError, match="already been committed or abandoned"):
        g.array
    entry = reader.read()
    assert entry is not None and entry[0] == 1 and entry[1][0, 0] == -1.0 and entry[1][3, 3] == 1.5
    assert reader.read() is None


def test_view_kept_past_the_frame_refuses_the_commit_until_dropped(channel_name: str) -> None:
    writer = FrameWriter(channel_name, dtype=numpy.uint8, shape=(8,), entry_count=4)
    with pytest.raises(BufferError, match="1 buffer export is still outstanding"):
        with writer.frame() as f:
            kept = f.array
            kept[...] = 7
    assert f.entry_seq is None  # `f` itself is not a view: only `kept` blocks the commit
    del kept
    assert f.commit() == 1 == writer.last_entry_seq
    assert FrameReader(channel_name).read() is not None


def test_zero_copy_views_are_read_only_and_block_the_release(channel_name: str) -> None:
    writer = FrameWriter(channel_name, dtype="<i4", shape=(3, 2), entry_count=4)
    writer.write(numpy.arange(6, dtype="<i4").reshape(3, 2))
    reader = FrameReader(channel_name, enable_zero_copy=True)
    handle = reader.acquire()
    assert handle is not None and handle.entry_seq == 1
    view = handle.array
    assert not view.flags.writeable and not view.flags.owndata and view[2, 1] == 5
    with pytest.raises(ValueError, match="read-only"):
        view[0, 0] = 1
    with pytest.raises(BufferError, match="cannot release this handle"):
        with handle:
            pass
    assert not handle.released
    del view
    with handle:
        assert handle.array.sum() == 15  # a temporary view, gone before the exit
    assert handle.released and reader.acquire() is None
    with pytest.raises(ValueError, match="enable_zero_copy"):
        FrameReader(channel_name).acquire()


def test_out_must_be_the_frame_type(channel_name: str) -> None:
    writer = FrameWriter(channel_name, dtype=numpy.uint8, shape=(4, 6), entry_count=4)
    writer.write(numpy.zeros((4, 6), numpy.uint8))
    reader = FrameReader(channel_name)
    with pytest.raises(TypeError, match="out must be an array of uint8, got int8"):
        reader.read(out=numpy.empty((4, 6), numpy.int8))
    with pytest.raises(ValueError, match=r"out must have shape \(4, 6\), got \(6, 4\)"):
        reader.read(out=numpy.empty((6, 4), numpy.uint8))
    with pytest.raises(ValueError, match="C-contiguous writable"):
        reader.read(out=numpy.empty((6, 4), numpy.uint8).T)
    assert reader.last_entry_seq == 0
    # Alternating between two arrays fills each one in its turn.
    first, second = numpy.empty((4, 6), numpy.uint8), numpy.empty((4, 6), numpy.uint8)
    for value in (1, 2):
        writer.write(numpy.full((4, 6), value, numpy.uint8))
    for out in (first, second, first):
        entry = reader.read(out=out)
        assert entry is not None and entry[1] is out
    assert (first == 2).all() and (second == 1).all()  # entries 3 and 2; entry 1 was zeros


def test_mismatched_types_name_both(channel_name: str) -> None:
    keeper = quillmere.BytesReader(channel_name, entry_length=48, entry_count=2)
    writer = FrameWriter(channel_name, dtype="<u2", shape=(4, 6))
    with pytest.raises(ValueError, match=r"carries frames of dtype uint16, shape \(4, 6\), not "
                                         r"dtype >u2, shape \(4, 6\)"):
        FrameReader(channel_name, dtype=">u2")
    with pytest.raises(ValueError, match=r"carries .*\(4, 6\), not dtype uint16, shape \(6, 4\)"):
        FrameReader(channel_name, shape=(6, 4))
    assert FrameReader(channel_name, dtype="<u2", shape=(4, 6)).shape == (4, 6)
    del writer
    with pytest.raises(ValueError, match=r"carries frames of dtype uint16, shape \(4, 6\), not "
                                         r"dtype float32, shape \(2, 6\)"):
        FrameWriter(channel_name, dtype=numpy.float32, shape=(2, 6))
    with pytest.raises(ValueError, match="carries frames of"):
        FrameWriter(channel_name, dtype=numpy.float64, shape=(4, 6))  # another entry length
    del keeper


def test_channel_without_record_needs_both_and_they_must_fit(
    channel_name: str, make_channel_name: Callable[[], str]
) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=24, entry_count=2)
    untyped = FrameReader(channel_name)
    assert untyped.read() is None and untyped.dtype is None  # nothing written: not ready yet
    writer.write(bytes(range(24)))
    with pytest.raises(ValueError, match="has no frame-type record: give both dtype and shape"):
        untyped.read()
    with pytest.raises(ValueError, match="take 16 bytes but channel .* has entries of 24 bytes"):
        FrameReader(channel_name, dtype=numpy.uint8, shape=16)
    reader = FrameReader(channel_name, dtype=">u2", shape=(3, 4))
    entry = reader.read()
    assert entry is not None and entry[1][0, 1] == 0x0203
    assert channel_frame_type(channel_name) is None
    # A frame writer that finds a channel without a record stores its own.
    other = make_channel_name()
    keeper = quillmere.BytesReader(other, entry_length=24, entry_count=2)
    typed = FrameWriter(other, dtype=">u2", shape=(3, 4))
    assert str(channel_frame_type(other)) == "dtype >u2, shape (3, 4)"
    del typed, keeper


def test_deferred_ends_learn_the_type_when_the_channel_appears(channel_name: str) -> None:
    reader = FrameReader(channel_name)
    late = FrameWriter(channel_name, dtype=numpy.int16, shape=3, delayed_connect=True)
    late.write([1, 2, 3])  # dropped: nothing to connect to
    with late.frame() as f:
        f.array[...] = 5  # a scratch frame, dropped the same way
    assert f.entry_seq is None and reader.read() is None and reader.dtype is None
    keeper = quillmere.BytesReader(channel_name, entry_length=8, entry_count=2)
    assert reader.read() is None  # no record and no entry: the writer may still store one
    late.write([4, 5, 6])  # connects, stores the record, then publishes
    entry = reader.read()
    assert entry is not None and entry[0] == 1 and entry[1].tolist() == [4, 5, 6]
    assert reader.dtype == numpy.int16 and _native.frame_record(channel_name) is not None
    del late, keeper
