"""Zero-copy handles against the copying calls, per call, for entries from 64 B to 1 MiB.

Read side: `try_acquire` + `payload` + `release` against `read(out=...)`; both re-read the
oldest entry (`from_entry_seq=0`), so they do the same search and differ only in how the
bytes reach Python.

Write side: producing a frame and publishing it. The copying path computes the frame into a
scratch array and `write`s it (one more pass over the bytes); the zero-copy path computes it
straight into the slot through `numpy.asarray(handle.payload)` and commits.

Each figure is the median over several runs of a `time.perf_counter_ns` loop.
Run: `python bench/zero_copy_bench.py` (after installing the module).
"""

from __future__ import annotations

import os
import statistics
import time

import numpy

import quillmere

RUNS = 11
SIZES = [
    (64, "64 B", 40000),
    (4 << 10, "4 KiB", 40000),
    (16 << 10, "16 KiB", 20000),
    (64 << 10, "64 KiB", 5000),
    (1 << 20, "1 MiB", 400),
]


def per_call_ns(paths, iterations: int) -> list[float]:
    """For each path, the median over RUNS of the mean cost of one call, in nanoseconds.

    The paths are timed in turns within each run, so that load from elsewhere on the machine
    falls on all of them alike.
    """
    for fn in paths:
        fn()  # warm up: first-touch page faults, lazy type creation
    samples: list[list[float]] = [[] for _ in paths]
    for _ in range(RUNS):
        for fn, times in zip(paths, samples):
            start = time.perf_counter_ns()
            for _ in range(iterations):
                fn()
            times.append((time.perf_counter_ns() - start) / iterations)
    return [statistics.median(times) for times in samples]


def read_paths(name: str, elements: int):
    writer = quillmere.Float64Writer(name, entry_length=elements, entry_count=4)
    for k in range(4):
        writer.write(numpy.full(elements, float(k)))
    copying = quillmere.Float64Reader(name)
    zero_copy = quillmere.Float64Reader(name, enable_zero_copy=True)
    out = numpy.empty(elements)

    def read_copy():
        copying.read(out=out, from_entry_seq=0)

    def read_zero_copy():
        handle = zero_copy.try_acquire(from_entry_seq=0)
        handle.payload.release()
        handle.release()

    return writer, (copying, zero_copy), read_copy, read_zero_copy


def write_paths(writer, elements: int):
    ramp = numpy.arange(elements, dtype=numpy.float64)
    scratch = numpy.empty(elements)

    def write_copy():
        numpy.multiply(ramp, 3.0, out=scratch)
        writer.write(scratch)

    def write_zero_copy():
        handle = writer.try_acquire()
        frame = numpy.asarray(handle.payload)
        numpy.multiply(ramp, 3.0, out=frame)
        del frame
        handle.commit()

    return write_copy, write_zero_copy


def main() -> None:
    rows = []
    for size, label, iterations in SIZES:
        name = f"/quillmere-zc-bench-{os.getpid()}-{size}"
        try:
            writer, readers, read_copy, read_zero_copy = read_paths(name, size // 8)
            write_copy, write_zero_copy = write_paths(writer, size // 8)
            reads = per_call_ns([read_copy, read_zero_copy], iterations)
            writes = per_call_ns([write_copy, write_zero_copy], iterations)
            rows.append((label, *reads, *writes))
            del writer, readers
        finally:
            quillmere.unlink(name)

    print(f"median of {RUNS} runs, ns per call (ratio = copying / zero-copy)")
    print(
        f"{'entry':>6} | {'read(out=)':>11} {'acquire+payload+release':>24} {'ratio':>6} |"
        f" {'fill+write':>11} {'acquire+fill+commit':>20} {'ratio':>6}"
    )
    for label, rc, rz, wc, wz in rows:
        print(
            f"{label:>6} | {rc:>11.0f} {rz:>24.0f} {rc / rz:>6.2f} |"
            f" {wc:>11.0f} {wz:>20.0f} {wc / wz:>6.2f}"
        )


if __name__ == "__main__":
    main()
