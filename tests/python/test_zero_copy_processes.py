"""Zero-copy handles across processes: in-place writes and pinned reads in separate
interpreters, and what a zero-copy reader that dies holding slots leaves behind.

The test process creates each channel (so the segment outlives every child) and
unlinks it through the `channel_name` fixture. Every child runs under a timeout.
"""

from __future__ import annotations

import pytest

from quillmere import BytesReader, BytesWriter, Float64Reader

ELEMENTS = 256

# Fills frames in place. Element 0 is the entry_seq the frame will get, the rest a pattern
# derived from it, and the last element the sum of the pattern, so a reader can validate a frame
# without knowing anything else.
WRITER = """
name, count = sys.argv[1], int(sys.argv[2])
writer = quillmere.Float64Writer(name)
ramp = numpy.arange(writer.entry_length - 2, dtype=numpy.float64)
for _ in range(count):
    seq = writer.last_entry_seq + 1
    with writer.try_acquire() as handle:
        frame = numpy.asarray(handle.payload)
        frame[0] = seq
        frame[1:-1] = ramp * seq
        frame[-1] = frame[1:-1].sum()
        del frame
    assert writer.last_entry_seq == seq
writer.write(numpy.full(writer.entry_length, -1.0))  # end marker
print("written", writer.last_entry_seq, flush=True)
"""

# Pins frames in place and checks each one twice while it is held: once when acquired and once
# after the writer has had time to lap the ring (it must skip the held slot).
READER = """
name = sys.argv[1]
reader = quillmere.Float64Reader(name, enable_zero_copy=True)
ramp = numpy.arange(reader.entry_length - 2, dtype=numpy.float64)
seen, last = 0, 0
deadline = time.monotonic() + 60
while time.monotonic() < deadline:
    handle = reader.try_acquire()
    if handle is None:
        continue
    with handle:
        frame = numpy.asarray(handle.payload)
        if frame[0] == -1.0:
            del frame
            break
        first = frame.copy()
        seq = handle.entry_seq
        assert seq > last, (seq, last)
        assert first[0] == seq, (first[0], seq)
        assert numpy.array_equal(first[1:-1], ramp * seq), seq
        assert first[-1] == first[1:-1].sum(), seq
        for _ in range(50):
            assert numpy.array_equal(frame, first), "held frame changed under the reader"
        del frame
        last, seen = seq, seen + 1
else:
    raise SystemExit("no end marker within the deadline")
print("validated", seen, last, flush=True)
"""


def test_in_place_writer_and_pinning_reader(channel_name, spawn):
    owner = Float64Reader(channel_name, entry_length=ELEMENTS, entry_count=4)
    reader = spawn(READER, channel_name)
    writer = spawn(WRITER, channel_name, "20000")
    written = writer.readline().split()
    assert written == ["written", "20001"]
    validated = reader.readline().split()
    assert validated[0] == "validated"
    seen, last = int(validated[1]), int(validated[2])
    assert 1 <= seen <= 20000 and last <= 20000
    assert writer.wait() == 0 and reader.wait() == 0
    assert owner.writer_entry_seq == 20001


# Pins the two newest entries and dies without releasing them (no finalisation runs).
DYING_HOLDER = """
name = sys.argv[1]
reader = quillmere.BytesReader(name, enable_zero_copy=True)
first = reader.try_acquire(from_entry_seq=2)
second = reader.try_acquire()
print(first.entry_seq, second.entry_seq, flush=True)
os._exit(0)
"""

LATER_WRITER = """
name = sys.argv[1]
writer = quillmere.BytesWriter(name)
print(writer.last_entry_seq, flush=True)
for _ in range(10):
    with writer.try_acquire() as handle:
        handle.payload[:] = (writer.last_entry_seq + 1).to_bytes(8, "little")
print(writer.last_entry_seq, flush=True)
"""


def test_dead_holder_retires_its_slots(channel_name, run_python):
    owner = BytesReader(channel_name, entry_length=8, entry_count=4)
    first_writer = BytesWriter(channel_name)
    for seq in range(1, 5):
        first_writer.write(seq.to_bytes(8, "little"))
    del first_writer

    held = run_python(DYING_HOLDER, channel_name).stdout.split()
    assert held == ["3", "4"]

    numbers = run_python(LATER_WRITER, channel_name).stdout.split()
    assert numbers == ["4", "14"]  # resumes above the held entries, 5..14 in two free slots

    # Only the two free slots turned over; the held entries are skipped by copying readers.
    assert owner.read(from_entry_seq=0) == (13, (13).to_bytes(8, "little"))
    assert owner.read() == (14, (14).to_bytes(8, "little"))
    assert owner.read() is None

    # A new zero-copy reader takes the dead process's role; it cannot pin the retired entries.
    zero_copy = BytesReader(channel_name, enable_zero_copy=True)
    with zero_copy.try_acquire(from_entry_seq=0) as handle:
        assert handle.entry_seq == 13
    with zero_copy.try_acquire(from_entry_seq=2) as handle:
        assert handle.entry_seq == 13


def test_dead_holder_of_every_slot_blocks_the_writer(channel_name, run_python):
    owner = BytesReader(channel_name, entry_length=8, entry_count=2)
    writer = BytesWriter(channel_name)
    writer.write(b"1" * 8)
    writer.write(b"2" * 8)
    holder = """
    reader = quillmere.BytesReader(sys.argv[1], enable_zero_copy=True)
    handles = [reader.try_acquire(), reader.try_acquire()]
    print(*[h.entry_seq for h in handles], flush=True)
    os._exit(0)
    """
    assert run_python(holder, channel_name).stdout.split() == ["1", "2"]
    with pytest.raises(BlockingIOError, match="^all 2 ring slots are held by a reader$"):
        writer.write(b"3" * 8)
    with pytest.raises(BlockingIOError):
        writer.try_acquire()
    assert owner.read(from_entry_seq=0) is None
    assert writer.last_entry_seq == 2
