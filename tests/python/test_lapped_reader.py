"""A plain `read()` loop against a writer that never stops still gets entries."""

from __future__ import annotations

import json
from collections.abc import Callable

import pytest

from qm_support import Child

ENTRY_LENGTH = 64
ENTRY_COUNT = 4096
SECONDS = 5.0
FLOOR = 0.10  # of the reference reader's count: generous, the two share two cores with the writer

# Entry k (the k-th write of a fresh channel, so entry_seq k) carries k in its first 8 bytes.
WRITER = """
name = sys.argv[1]
writer = quillmere.BytesWriter(name, entry_length=%d, entry_count=%d)
tail = bytes(%d - 8)
print("ready", flush=True)
sys.stdin.readline()
seq = 0
while True:
    seq += 1
    writer.write(seq.to_bytes(8, "little") + tail)
""" % (ENTRY_LENGTH, ENTRY_COUNT, ENTRY_LENGTH)

# Reads for SECONDS after "go"; reports its count and every fault it saw. `plain` calls
# read() and nothing else, and counts the calls it made while lapped and those of them that
# came back empty; the reference is the zero-copy reader with the catch-up idiom.
READER = """
name, how, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
lapped = lapped_empty = 0
if how == "plain":
    reader = quillmere.BytesReader(name)
    def next_entry():
        global lapped, lapped_empty
        # Lapped: the entry after the watermark is gone, so read() must skip ahead.
        was_lapped = reader.writer_entry_seq - reader.last_entry_seq > %d
        got = reader.read()
        lapped += was_lapped
        lapped_empty += was_lapped and got is None
        return None if got is None else (got[0], got[1][:8])
else:
    reader = quillmere.BytesReader(name, enable_zero_copy=True)
    def next_entry():
        handle = reader.try_acquire()
        behind = reader.writer_entry_seq - %d // 2
        if handle is None and behind > reader.last_entry_seq:
            handle = reader.try_acquire(from_entry_seq=behind)
        if handle is None:
            return None
        got = (handle.entry_seq, bytes(handle.payload[:8]))
        handle.release()
        return got
print("ready", flush=True)
sys.stdin.readline()
count = backwards = torn = 0
previous = 0
end = time.monotonic() + seconds
while time.monotonic() < end:
    for _ in range(64):
        got = next_entry()
        if got is None:
            continue
        seq, head = got
        count += 1
        backwards += seq <= previous
        torn += int.from_bytes(head, "little") != seq
        previous = seq
print(json.dumps({"count": count, "backwards": backwards, "torn": torn, "lapped": lapped,
                  "lapped_empty": lapped_empty}), flush=True)
""" % (ENTRY_COUNT, ENTRY_COUNT)


@pytest.mark.slow
def test_plain_read_loop_keeps_getting_entries_from_a_flat_out_writer(
    channel_name: str, spawn: Callable[..., Child]
) -> None:
    writer = spawn(WRITER, channel_name)
    writer.expect("ready")
    readers = {how: spawn(READER, channel_name, how, str(SECONDS)) for how in ("plain", "reference")}
    for reader in readers.values():
        reader.expect("ready")
    writer.send("go")
    for reader in readers.values():
        reader.send("go")
    got = {how: json.loads(reader.readline(timeout=SECONDS + 60)) for how, reader in readers.items()}
    writer.kill()

    for how, seen in got.items():
        assert seen["backwards"] == 0, (how, seen)
        assert seen["torn"] == 0, (how, seen)
    assert got["reference"]["count"] > 0, got
    assert got["plain"]["count"] >= FLOOR * got["reference"]["count"], got
    # A call made while lapped skips ahead instead of losing every attempt to the writer (it
    # may still come back empty when the reader is descheduled in the middle of a copy).
    assert got["plain"]["lapped_empty"] <= got["plain"]["lapped"] // 2, got
