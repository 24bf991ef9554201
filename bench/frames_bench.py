"""Typed frames against the raw byte channel and the memcpy floor: 640x480x3 uint8 frames.

Per call, in one process (median of RUNS runs, the paths timed in turns within each run):
  - write: `FrameWriter.write(img)` against `BytesWriter.write(img.tobytes())`, and against
    the memcpy floor: `numpy.copyto` of the frame into 8 frame-sized buffers in rotation (the
    ring's footprint) in shared memory, and the same in private memory for reference (NumPy
    backs large private arrays with huge pages, which shared memory does not get);
  - read: `FrameReader.read(out=)` against `BytesReader.read(out=)` of a uint8 array, both
    re-reading the oldest entry into one array, and the floors for that footprint: copying
    one frame-sized buffer of shared (or private) memory into one array.
Between two processes: a writer process writes as fast as it may while this process reads
with `out=` for WINDOW seconds and acknowledges each frame on a second channel; the writer
stays at most AHEAD frames ahead, so nothing is lost and the delivered rate is the pipeline's
(the slower of writing and reading a frame, plus the hand-over). ROUNDS rounds, each running
the typed and the raw path once in a shuffled order; medians over the rounds.

Run: `python bench/frames_bench.py [--quick]` (after `pip install .`).
"""

from __future__ import annotations

import os
import random
import statistics
import subprocess
import sys
import time
from collections.abc import Callable

from multiprocessing import shared_memory

import numpy

import quillmere
from quillmere_tools.frames import FrameReader, FrameWriter

SHAPE = (480, 640, 3)
NBYTES = 480 * 640 * 3
SLOTS = 8
QUICK = "--quick" in sys.argv
RUNS = 5 if QUICK else 11
CALLS = 100 if QUICK else 300
ROUNDS = 3 if QUICK else 5
WINDOW = 0.5 if QUICK else 1.5
AHEAD = SLOTS // 2  # frames the writer may be ahead of the reader in the two-process runs


def image(seed: int) -> numpy.ndarray:
    return numpy.random.default_rng(seed).integers(0, 256, SHAPE, dtype=numpy.uint8)


def per_call_us(paths: list[Callable[[], object]]) -> list[float]:
    for path in paths:
        path()  # warm up: first-touch page faults
    samples: list[list[float]] = [[] for _ in paths]
    for _ in range(RUNS):
        for path, times in zip(paths, samples):
            start = time.perf_counter()
            for _ in range(CALLS):
                path()
            times.append((time.perf_counter() - start) / CALLS * 1e6)
    return [statistics.median(times) for times in samples]


def write_floor(slots: numpy.ndarray) -> Callable[[], None]:
    img, turn = image(0), [0]

    def copy() -> None:
        turn[0] = (turn[0] + 1) % SLOTS
        numpy.copyto(slots[turn[0]].reshape(SHAPE), img)

    return copy


def read_floor(slots: numpy.ndarray) -> Callable[[], None]:
    out = numpy.empty(SHAPE, numpy.uint8)
    return lambda: numpy.copyto(out, slots[0].reshape(SHAPE))


def floor_paths(
    shared: shared_memory.SharedMemory, floor: Callable[[numpy.ndarray], Callable[[], None]]
) -> list[Callable[[], None]]:
    """The floor over the ring's footprint of shared memory, then of private memory."""
    in_shm = numpy.ndarray((SLOTS, NBYTES), numpy.uint8, buffer=shared.buf)
    in_shm[...] = 1  # touch every page once
    return [floor(in_shm), floor(numpy.ones((SLOTS, NBYTES), numpy.uint8))]


def in_process() -> tuple[list[float], list[float]]:
    typed_name, raw_name = f"/qm-frames-bench-t{os.getpid()}", f"/qm-frames-bench-r{os.getpid()}"
    shared = shared_memory.SharedMemory(create=True, size=SLOTS * NBYTES)
    try:
        typed = FrameWriter(typed_name, dtype=numpy.uint8, shape=SHAPE, entry_count=SLOTS)
        raw = quillmere.BytesWriter(raw_name, entry_length=NBYTES, entry_count=SLOTS)
        img = image(1)
        writes = per_call_us([
            lambda: typed.write(img),
            lambda: raw.write(img.tobytes()),
            *floor_paths(shared, write_floor),
        ])
        typed_reader, raw_reader = FrameReader(typed_name), quillmere.BytesReader(raw_name)
        out, raw_out = numpy.empty(SHAPE, numpy.uint8), numpy.empty(NBYTES, numpy.uint8)
        reads = per_call_us([
            lambda: typed_reader.read(out=out, from_entry_seq=0),
            lambda: raw_reader.read(out=raw_out, from_entry_seq=0),
            *floor_paths(shared, read_floor),
        ])
        del typed, raw, typed_reader, raw_reader
        return writes, reads
    finally:
        quillmere.unlink(typed_name)
        quillmere.unlink(raw_name)
        shared.close()
        shared.unlink()


def run_writer(path: str, name: str, ack_name: str) -> None:
    """Child: write frames between the two instants given on stdin, at most AHEAD frames
    ahead of what the reader has acknowledged, so that no frame is lost."""
    img = image(2)
    writer: FrameWriter | quillmere.BytesWriter
    if path == "typed":
        writer = typed = FrameWriter(name, dtype=numpy.uint8, shape=SHAPE)
        write = lambda: typed.write(img)  # noqa: E731
    else:
        writer = raw = quillmere.BytesWriter(name)
        write = lambda: raw.write(img.tobytes())  # noqa: E731
    acks = quillmere.BytesReader(ack_name)
    print("ready", flush=True)
    start, end = map(float, sys.stdin.readline().split())
    acked = first = writer.last_entry_seq
    while time.monotonic() < start:
        pass
    while time.monotonic() < end:
        if writer.last_entry_seq - acked < AHEAD:
            write()
            continue
        while (ack := acks.read()) is not None:
            acked = int.from_bytes(ack[1], "little")
        if writer.last_entry_seq - acked >= AHEAD:
            os.sched_yield()  # the reader is behind: let it have the CPU on a busy machine
    print(writer.last_entry_seq - first, flush=True)


def delivered(path: str) -> float:
    """Frames per second the reader got in one window, the writer in another process."""
    name = f"/qm-frames-bench-x{os.getpid()}-{path}"
    ack_name = f"/qm-frames-bench-a{os.getpid()}-{path}"
    keeper = quillmere.BytesReader(name, entry_length=NBYTES, entry_count=SLOTS)
    acks = quillmere.BytesWriter(ack_name, entry_length=8, entry_count=4)
    child = subprocess.Popen([sys.executable, __file__, "writer", path, name, ack_name],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdin is not None and child.stdout is not None
        assert child.stdout.readline() == "ready\n"
        reader: FrameReader | quillmere.BytesReader
        if path == "typed":
            reader, out = FrameReader(name), numpy.empty(SHAPE, numpy.uint8)
        else:
            reader, out = quillmere.BytesReader(name), numpy.empty(NBYTES, numpy.uint8)
        start = time.monotonic() + 0.05
        end = start + WINDOW
        child.stdin.write(f"{start} {end}\n")
        child.stdin.flush()
        got = 0
        while time.monotonic() < end:
            entry = reader.read(out=out)
            if entry is None:
                os.sched_yield()  # nothing new: let the writer have the CPU
                continue
            acks.write(entry[0].to_bytes(8, "little"))
            got += time.monotonic() >= start
        written = int(child.stdout.readline())
        assert written - got <= AHEAD + 1, (written, got)  # nothing lost
        return got / WINDOW
    finally:
        child.kill()
        child.wait()
        del keeper, acks
        quillmere.unlink(name)
        quillmere.unlink(ack_name)


def main() -> None:
    writes, reads = in_process()
    rates: dict[str, list[float]] = {"typed": [], "raw": []}
    for _ in range(ROUNDS):
        for path in random.sample(list(rates), len(rates)):
            rates[path].append(delivered(path))
    print(f"640x480x3 uint8 frames ({NBYTES:,} B); per call: median of {RUNS} runs of {CALLS}")
    print(f"{'us per call':16} {'typed':>7} {'raw':>7} {'memcpy shm':>11} {'private':>8} "
          f"{'raw/typed':>10} {'shm floor/typed':>16}")
    for label, (typed, raw, shm, private) in (("write", writes), ("read(out=)", reads)):
        print(f"{label:16} {typed:7.1f} {raw:7.1f} {shm:11.1f} {private:8.1f} "
              f"{raw / typed:9.2f}x {shm / typed:15.0%}")
    print(f"two processes, writer at most {AHEAD} frames ahead of the reader (nothing lost), "
          f"{ROUNDS} rounds of {WINDOW} s, medians:")
    got = {path: statistics.median(samples) for path, samples in rates.items()}
    for path in rates:
        rate = got[path]
        print(f"  {path:6} delivered {rate:7.0f} frames/s ({rate * NBYTES / 1e9:5.2f} GB/s)")
    print(f"  typed / raw delivered {got['typed'] / got['raw']:.2f}x; one read copy alone "
          f"(the shared-memory floor) allows {1e6 / reads[2]:.0f} frames/s")

if __name__ == "__main__":
    if len(sys.argv) == 5 and sys.argv[1] == "writer":
        run_writer(*sys.argv[2:])
    else:
        main()
