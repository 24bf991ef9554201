"""End to end between interpreters: concurrent readers, killed writers and readers."""

from __future__ import annotations

import json
import os
import signal
import struct
import threading
from collections.abc import Callable

import numpy
import pytest

import quillmere
from qm_support import Child, header_words

ELEMENTS = 512  # 4 KiB entries: long copies, so a broken torn-read check shows
SCALE = 1024.0  # entry s holds i + s * SCALE at element i: exact in float64 for s < 2**43

STREAM_READER = """
mode, name, last = sys.argv[1], sys.argv[2], int(sys.argv[3])
base = numpy.arange(%d, dtype=numpy.float64)
reader = quillmere.BytesReader(name) if mode == "bytes" else quillmere.Float64Reader(name)
out = numpy.empty(len(base)) if mode == "out" else None
print("ready", flush=True)
previous = count = torn = backwards = gaps = 0
while previous < last:
    got = reader.read() if out is None else reader.read(out=out)
    if got is None:
        os.sched_yield()
        continue
    seq, payload = got
    values = numpy.frombuffer(payload, numpy.float64) if mode == "bytes" else payload
    if mode == "out" and payload is not out:
        torn += 1
    if not numpy.array_equal(values, base + seq * %r):
        torn += 1
    if seq <= previous:
        backwards += 1
    elif seq > previous + 1:
        gaps += 1
    previous = seq
    count += 1
print(json.dumps(dict(count=count, torn=torn, backwards=backwards, gaps=gaps, last=previous)), flush=True)
""" % (ELEMENTS, SCALE)

STREAM_WRITER = """
name, total = sys.argv[1], int(sys.argv[2])
base = numpy.arange(%d, dtype=numpy.float64)
writer = quillmere.Float64Writer(name)
for _ in range(total):
    writer.write(base + (writer.last_entry_seq + 1) * %r)
print(writer.last_entry_seq, flush=True)
""" % (ELEMENTS, SCALE)


@pytest.mark.slow
def test_one_writer_three_readers_never_see_a_torn_or_older_entry(
    channel_name: str, spawn: Callable[..., Child]
) -> None:
    total = 30_000
    # The test process creates (and so owns) the channel for the whole run.
    creator = quillmere.Float64Reader(channel_name, entry_length=ELEMENTS, entry_count=8)
    readers = [spawn(STREAM_READER, mode, channel_name, str(total)) for mode in ("fresh", "out", "bytes")]
    for reader in readers:
        reader.expect("ready")
    writer = spawn(STREAM_WRITER, channel_name, str(total))
    assert writer.readline(timeout=300) == str(total)
    assert writer.wait() == 0

    for reader in readers:
        report = json.loads(reader.readline(timeout=300))
        assert report["torn"] == 0, report
        assert report["backwards"] == 0, report
        assert report["last"] == total, report
        assert 1 <= report["count"] <= total, report
        assert reader.wait() == 0
    assert creator.writer_entry_seq == total


# A writer that streams until it is killed; entry s carries s and its complement.
ENDLESS_WRITER = """
writer = quillmere.BytesWriter(sys.argv[1])
for i in range(10**8):
    seq = writer.last_entry_seq + 1
    writer.write(struct.pack("<8Q", *([seq, ~seq & (2**64 - 1)] * 4)))
    if i == 2000:
        print("streaming", flush=True)
"""


def check(entry: tuple[int, bytes]) -> int:
    seq, payload = entry
    assert struct.unpack("<8Q", payload) == (seq, ~seq & (2**64 - 1)) * 4, f"torn entry {seq}"
    return seq


def test_a_killed_writer_is_replaced_and_numbering_continues(
    channel_name: str, spawn: Callable[..., Child], run_python
) -> None:
    reader = quillmere.BytesReader(channel_name, entry_length=64, entry_count=16)
    doomed = spawn("import struct\n" + ENDLESS_WRITER, channel_name)
    doomed.expect("streaming")
    os.kill(doomed.pid, signal.SIGKILL)
    assert doomed.wait() == -signal.SIGKILL

    published = header_words(channel_name)[8]
    assert published > 2000
    seen = []
    while (got := reader.read()) is not None:
        seen.append(check(got))
    assert seen == sorted(set(seen)) and seen[-1] == published

    result = run_python(
        """
        import struct
        writer = quillmere.BytesWriter(sys.argv[1])
        resumed = writer.last_entry_seq
        for seq in range(resumed + 1, resumed + 101):
            writer.write(struct.pack("<8Q", *([seq, ~seq & (2**64 - 1)] * 4)))
        print(resumed, writer.last_entry_seq)
        del writer  # gives the writer role back
        """,
        channel_name,
    )
    resumed, last = map(int, result.stdout.split())
    # Every entry the dead writer published is below the new numbering.
    assert resumed >= published
    assert last == resumed + 100
    after = []
    while (got := reader.read()) is not None:
        after.append(check(got))
    assert after[0] > published and after == list(range(after[0], last + 1))
    assert header_words(channel_name)[5] == 0  # the replacement gave the role back


def test_a_killed_zero_copy_reader_retires_its_slot(
    channel_name: str, spawn: Callable[..., Child]
) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=2)
    writer.write(b"entry-01")
    holder = spawn(
        """
        reader = quillmere.BytesReader(sys.argv[1], enable_zero_copy=True)
        handle = reader.try_acquire()
        print(handle.entry_seq, flush=True)
        sys.stdin.readline()
        """,
        channel_name,
    )
    assert holder.readline() == "1"
    holder.kill()

    # The held slot stays out of the ring; the writer goes round it.
    copier = quillmere.BytesReader(channel_name)
    for i in range(2, 6):
        writer.write(b"entry-%02d" % i)
    assert copier.read() == (5, b"entry-05")
    assert copier.read() is None
    assert copier.read(from_entry_seq=0) == (5, b"entry-05")

    # The dead holder's role is taken over.
    replacement = quillmere.BytesReader(channel_name, enable_zero_copy=True)
    handle = replacement.try_acquire(from_entry_seq=0)
    assert handle is not None and handle.entry_seq == 5
    with pytest.raises(BlockingIOError, match="^all 2 ring slots are held by a reader$") as info:
        writer.write(b"entry-06")
    assert info.value.errno is None
    assert info.value.args == ("all 2 ring slots are held by a reader",)
    handle.release()
    writer.write(b"entry-06")
    assert writer.last_entry_seq == 6


def test_threads_of_one_process_exchange_entries(channel_name: str) -> None:
    """Each thread builds its own end; copies run without the interpreter lock,
    so the reader's validated copy really races the writer here."""
    total = 20_000
    creator = quillmere.BytesReader(channel_name, entry_length=4096, entry_count=4)
    problems: list[str] = []
    done = threading.Event()

    block = numpy.arange(512, dtype=numpy.uint64)  # entry s holds block + 1000 s

    def write() -> None:
        writer = quillmere.BytesWriter(channel_name)
        for seq in range(1, total + 1):
            writer.write((block + seq * 1000).tobytes())
        done.set()

    def read() -> None:
        reader = quillmere.BytesReader(channel_name)
        previous = 0
        while previous < total:
            got = reader.read()
            if got is None:
                if done.is_set() and reader.writer_entry_seq == previous:
                    break
                continue
            seq, payload = got
            values = numpy.frombuffer(payload, numpy.uint64)
            if seq <= previous or not numpy.array_equal(values, block + seq * 1000):
                problems.append(f"entry {seq} after {previous}")
            previous = seq
        if previous != total:
            problems.append(f"stopped at {previous}")

    threads = [threading.Thread(target=read) for _ in range(2)] + [threading.Thread(target=write)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=300)
        assert not thread.is_alive()
    assert problems == []
    assert creator.writer_entry_seq == total
