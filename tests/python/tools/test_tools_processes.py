"""The doorbell between real processes: no lost wake-up, Ctrl-C, crashed waiters and writers,
segments without a trailer and trailers full of hostile bytes."""

from __future__ import annotations

import os
import signal
import struct
import time

import pytest

import quillmere
import quillmere_tools
from qm_support import HEADER_SIZE, MAGIC, shm_path
from quillmere_tools import Doorbell, wait
from tools_timing import assert_times_out

TRAILER_WAITERS = 64  # byte offsets inside the trailer
TRAILER_PIDS = 128


def trailer_offset(entry_length: int, entry_count: int) -> int:
    ring = HEADER_SIZE + entry_count * (entry_length + 8)
    return (ring + 63) // 64 * 64


def poke(name: str, offset: int, data: bytes) -> None:
    with open(shm_path(name), "r+b") as segment:
        segment.seek(offset)
        segment.write(data)


def waiters(name: str) -> int:
    return quillmere_tools.trailer_state(name).waiters


def until(condition: object, timeout: float = 30.0) -> None:
    """Polls `condition()` (a coarse guard against a broken build, not a timing)."""
    deadline = time.monotonic() + timeout
    while not condition():  # type: ignore[operator]
        assert time.monotonic() < deadline, "condition not reached"
        time.sleep(0.001)


PONG = """
import quillmere_tools
ping, pong, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
reader = quillmere.BytesReader(ping)
writer = quillmere.BytesWriter(pong)
print("ready", flush=True)
for k in range(1, rounds + 1):
    assert quillmere_tools.wait(reader, spin=0)   # no timeout: a lost wake-up would hang
    seq, _ = reader.read()
    assert seq == k, (seq, k)
    writer.write(seq.to_bytes(8, "little"))
print("done", flush=True)
"""


@pytest.mark.slow
def test_no_lost_wake_up_in_100k_cycles(make_channel_name, spawn) -> None:
    ping, pong = make_channel_name(), make_channel_name()
    rounds = 100_000
    writer = quillmere.BytesWriter(ping, entry_length=8, entry_count=4)
    reader = quillmere.BytesReader(pong, entry_length=8, entry_count=4)
    child = spawn(PONG, ping, pong, str(rounds))
    child.expect("ready")
    for k in range(1, rounds + 1):
        writer.write(bytes(8))
        assert wait(reader, spin=0)  # no timeout either; the child's line timeout guards
        assert reader.read()[0] == k
    # The whole run is bounded: a cycle that hangs fails here instead of wedging the suite.
    child.expect("done", timeout=300)
    assert child.wait() == 0
    assert waiters(ping) == waiters(pong) == 0


SLEEPER = """
import signal, quillmere_tools
reader = quillmere.BytesReader(sys.argv[1])
print("waiting", flush=True)
try:
    quillmere_tools.{call}
    print("returned", flush=True)
except KeyboardInterrupt:
    print("interrupted", flush=True)
"""


@pytest.mark.parametrize("call", ["wait(reader)", "Doorbell(sys.argv[1]).wait(0)"])
def test_ctrl_c_interrupts_a_wait(channel_name: str, spawn, call: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    child = spawn(SLEEPER.replace("{call}", call), channel_name)
    child.expect("waiting")
    until(lambda: waiters(channel_name) == 1)
    os.kill(child.pid, signal.SIGINT)
    child.expect("interrupted", timeout=5)
    assert child.wait() == 0
    assert waiters(channel_name) == 0
    del writer


def test_a_waiter_killed_while_waiting_leaves_a_working_writer(channel_name: str, spawn) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    child = spawn(SLEEPER.replace("{call}", "wait(reader)"), channel_name)
    child.expect("waiting")
    until(lambda: waiters(channel_name) == 1)
    child.kill()
    assert waiters(channel_name) == 1  # its registration outlives it ...
    for i in range(2048):
        writer.write(i.to_bytes(8, "little"))
    assert writer.last_entry_seq == 2048
    assert waiters(channel_name) == 0  # ... until the writer finds nobody asleep and reaps it
    reader = quillmere.BytesReader(channel_name)
    assert wait(reader, 0) is True


WRITER = """
name = sys.argv[1]
writer = quillmere.BytesWriter(name)
writer.write(bytes(8))
print("wrote", flush=True)
time.sleep(3600)
"""


def test_a_writer_killed_while_readers_wait_lets_them_time_out(channel_name: str, spawn) -> None:
    reader = quillmere.BytesReader(channel_name, entry_length=8, entry_count=4)
    child = spawn(WRITER, channel_name)
    child.expect("wrote")
    assert reader.read() is not None
    with Doorbell(channel_name) as bell:
        child.kill()
        assert_times_out(lambda: wait(reader, 0.2), 0.2)
        assert_times_out(lambda: bell.wait(1, 0.2), 0.2)


def make_exact_segment(name: str, entry_length: int, entry_count: int) -> None:
    """A channel as another implementation makes it: exactly the ring, no trailer."""
    size = HEADER_SIZE + entry_count * (entry_length + 8)
    fd = os.open(shm_path(name), os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
    try:
        os.ftruncate(fd, size)
        header = struct.pack("<8Q", entry_length, entry_count, 0, os.getpid(), 0, 0, 0, 0)
        os.pwrite(fd, header, 8)
        os.pwrite(fd, struct.pack("<Q", MAGIC), 0)
    finally:
        os.close(fd)


def test_a_segment_without_a_trailer_is_waited_on_by_polling(channel_name: str, spawn) -> None:
    make_exact_segment(channel_name, 8, 4)
    assert quillmere_tools.trailer_state(channel_name).state == "absent"
    reader = quillmere.BytesReader(channel_name)
    assert_times_out(lambda: wait(reader, 0.1), 0.1)
    child = spawn(WRITER, channel_name)
    assert wait(reader, 30) is True
    child.expect("wrote")
    assert reader.read() == (1, bytes(8))
    assert os.stat(shm_path(channel_name)).st_size == HEADER_SIZE + 4 * 16  # nobody grew it


def test_a_hostile_trailer_neither_hangs_waits_nor_stops_the_writer(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    reader = quillmere.BytesReader(channel_name)
    at = trailer_offset(8, 4)
    poke(channel_name, at + TRAILER_WAITERS, b"\xff" * 8)
    poke(channel_name, at + TRAILER_PIDS, struct.pack("<4Q", 2**64 - 1, 2**32 - 1, 2**31, 1))
    assert_times_out(lambda: wait(reader, 0.1), 0.1)
    for _ in range(2048):
        writer.write(bytes(8))
    assert wait(reader, 0) is True
    # Any other magic word makes the trailer count as absent: waits poll, writes go on.
    poke(channel_name, at, b"garbage!")
    assert quillmere_tools.trailer_state(channel_name).state == "foreign"
    later = quillmere.BytesReader(channel_name)
    assert wait(later, 0) is True
