"""Batches between real processes: every entry of a paced writer arrives once, in order and
whole; a writer running flat out never hands over a torn row; bad arguments are refused."""

from __future__ import annotations

import re
import threading

import numpy
import pytest

import quillmere
from quillmere_tools import follow, read_batch, write_batch
from quillmere_tools.frames import FrameReader, FrameWriter

RING = 32
LENGTH = 64  # bytes per entry

# Rows whose every 8-byte word is entry_seq * (word index + 1): a torn row cannot pass.
STAMP = """
def stamped(first, rows, items, dtype):
    seqs = numpy.arange(first, first + rows, dtype=numpy.uint64)[:, None]
    words = seqs * numpy.arange(1, items + 1, dtype=numpy.uint64)
    return words.astype(numpy.float64) if dtype == "float64" else words.view(numpy.uint8)
"""

# A writer publishing `total` entries in chunks of half a ring with write_batch, each chunk
# only after the test says "go": paced by the reader, so it never laps it.
PACED = STAMP + """
import quillmere_tools
name, dtype, total = sys.argv[1], sys.argv[2], int(sys.argv[3])
cls = quillmere.Float64Writer if dtype == "float64" else quillmere.BytesWriter
items = 8
writer = cls(name, entry_length=8 if dtype == "float64" else 64, entry_count=%d)
print("ready", flush=True)
while writer.last_entry_seq < total:
    assert sys.stdin.readline().strip() == "go"
    rows = min(%d, total - writer.last_entry_seq)
    quillmere_tools.write_batch(writer, stamped(writer.last_entry_seq + 1, rows, items, dtype))
print("done", flush=True)
sys.stdin.readline()
""" % (RING, RING // 2)

# A writer running flat out until told to stop, in batches of varying size.
FLAT_OUT = STAMP + """
import quillmere_tools, threading
name = sys.argv[1]
writer = quillmere.BytesWriter(name, entry_length=64, entry_count=%d)
stop = threading.Event()
threading.Thread(target=lambda: (sys.stdin.readline(), stop.set()), daemon=True).start()
print("ready", flush=True)
sizes = [1, 5, 13, 40]
while not stop.is_set():
    rows = sizes[writer.last_entry_seq %% 4]
    quillmere_tools.write_batch(writer, stamped(writer.last_entry_seq + 1, rows, 8, "bytes"))
print(writer.last_entry_seq, flush=True)
""" % RING


def words_of(rows: numpy.ndarray) -> numpy.ndarray:
    return rows.astype(numpy.uint64) if rows.dtype == numpy.float64 else rows.view(numpy.uint64)


def assert_whole(rows: numpy.ndarray, seqs: numpy.ndarray) -> None:
    """Each row is the stamped payload of the entry_seq reported for it."""
    expected = seqs.astype(numpy.uint64)[:, None] * numpy.arange(1, 9, dtype=numpy.uint64)
    numpy.testing.assert_array_equal(words_of(rows), expected)


@pytest.mark.parametrize("dtype", ["bytes", "float64"])
@pytest.mark.parametrize("rows", [1, 7, RING, 3 * RING])
def test_paced_writer_every_entry_once_in_order(channel_name, spawn, dtype, rows):
    total = 5 * RING + 3
    child = spawn(PACED, channel_name, dtype, str(total))
    assert child.readline() == "ready"
    cls = quillmere.Float64Reader if dtype == "float64" else quillmere.BytesReader
    reader = cls(channel_name)
    out = numpy.zeros((rows, 8), numpy.float64) if dtype == "float64" else numpy.zeros(
        (rows, LENGTH), numpy.uint8)
    seen: list[int] = []
    child.send("go")
    for count, seqs in follow(reader, batch=out, timeout=60):
        assert_whole(out[:count], seqs)
        seen.extend(int(seq) for seq in seqs)
        assert reader.last_entry_seq == seen[-1]
        if len(seen) == total:
            break
        if len(seen) % (RING // 2) == 0:
            child.send("go")
    assert seen == list(range(1, total + 1))
    assert child.readline() == "done"
    assert read_batch(reader, out) == 0


def test_flat_out_writer_never_tears_a_row(channel_name, spawn):
    child = spawn(FLAT_OUT, channel_name)
    assert child.readline() == "ready"
    reader = quillmere.BytesReader(channel_name)
    out = numpy.zeros((7, LENGTH), numpy.uint8)
    seqs = numpy.zeros(7, numpy.int64)
    last = received = 0
    while received < 20_000:
        count = read_batch(reader, out, seqs=seqs)
        if count:
            assert_whole(out[:count], seqs[:count])
            assert numpy.all(numpy.diff(seqs[:count]) > 0) and seqs[0] > last
            last, received = int(seqs[count - 1]), received + count
    child.send("stop")
    assert int(child.readline()) >= last


def test_frames_round_trip_in_batches(channel_name):
    # 3 bytes a frame: padded to 8 in the ring, so both ends go through their padding path.
    writer = FrameWriter(channel_name, dtype=numpy.uint8, shape=(3,), entry_count=RING)
    reader = FrameReader(channel_name)
    frames = numpy.arange(15, dtype=numpy.uint8).reshape(5, 3)
    assert writer.write_batch(frames.tolist()) == 5
    out = numpy.zeros((4, 3), numpy.uint8)
    seqs = numpy.zeros(4, numpy.int64)
    assert reader.read_batch(out, seqs=seqs) == 4
    numpy.testing.assert_array_equal(out, frames[:4])
    assert list(seqs) == [1, 2, 3, 4]
    assert reader.read_batch(out) == 1 and list(out[0]) == [12, 13, 14]
    with pytest.raises(ValueError, match=r"shape \(k, 3\)"):
        reader.read_batch(numpy.zeros((4, 4), numpy.uint8))
    with pytest.raises(TypeError, match="does not convert without loss"):
        writer.write_batch(numpy.full((2, 3), 1.5))


def bad_reads(reader):
    """(args, kwargs, exception, text) of read_batch calls that must be refused."""
    rows = numpy.zeros((2, LENGTH), numpy.uint8)
    readonly = rows.copy()
    readonly.flags.writeable = False
    return [
        ((reader, numpy.zeros((2, 8))), {}, TypeError, "2-D uint8 array, got items of format 'd'"),
        ((reader, [[0] * LENGTH]), {}, TypeError, "2-D uint8 array, got <class 'list'>"),
        ((reader, numpy.zeros(LENGTH, numpy.uint8)), {}, ValueError, "a 2-D array, got 1-D"),
        ((reader, numpy.zeros((2, 8), numpy.uint8)), {}, ValueError, "rows of 64 uint8 elements"),
        ((reader, numpy.zeros((2, 128), numpy.uint8)[:, ::2]), {}, ValueError, "C-contiguous"),
        ((reader, readonly), {}, ValueError, "a writeable array, got a read-only one"),
        ((reader, rows), {"seqs": numpy.zeros(1, numpy.int64)}, ValueError, "room for 2 rows, got 1"),
        ((reader, rows), {"seqs": numpy.zeros(2, numpy.int32)}, TypeError, "1-D int64 array"),
        ((reader, rows), {"seqs": numpy.frombuffer(bytearray(17), numpy.int64, 2, 1)}, ValueError,
         "an 8-byte aligned array"),
        ((object(), rows), {}, TypeError, "quillmere.BytesReader or quillmere.Float64Reader"),
    ]


def test_bad_arguments_are_refused(channel_name):
    writer = quillmere.BytesWriter(channel_name, entry_length=LENGTH, entry_count=RING)
    reader = quillmere.BytesReader(channel_name)
    writer.write(bytes(LENGTH))
    for args, kwargs, error, text in bad_reads(reader):
        with pytest.raises(error, match=re.escape(text)):
            read_batch(*args, **kwargs)
    assert reader.last_entry_seq == 0  # nothing was read by a refused call
    for block, error, text in [
        (numpy.zeros((2, 8)), TypeError, "expected a 2-D uint8 array"),
        (numpy.zeros((2, 8), numpy.uint8), ValueError, "expected 64 payload bytes, got 8"),
    ]:
        with pytest.raises(error, match=text):
            write_batch(writer, block)
    with pytest.raises(TypeError, match="quillmere.BytesWriter or quillmere.Float64Writer"):
        write_batch(reader, numpy.zeros((1, LENGTH), numpy.uint8))
    assert writer.last_entry_seq == 1  # nothing was published by a refused call
    failed: list[BaseException] = []

    def elsewhere():
        try:
            read_batch(reader, numpy.zeros((1, LENGTH), numpy.uint8))
        except RuntimeError as exc:
            failed.append(exc)

    thread = threading.Thread(target=elsewhere)
    thread.start()
    thread.join()
    assert "thread that created it" in str(failed[0])


def test_deferred_ends_before_their_channel_exists(channel_name):
    reader = quillmere.BytesReader(channel_name)  # deferred: nothing there yet
    writer = quillmere.BytesWriter(channel_name, delayed_connect=True)
    assert read_batch(reader, numpy.zeros((4, LENGTH), numpy.uint8)) == 0
    assert write_batch(writer, numpy.zeros((4, LENGTH), numpy.uint8)) == 0  # dropped, as write()
