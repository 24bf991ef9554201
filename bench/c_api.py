"""The C API, side by side in one run: its costs against what it wraps, and one-way latency
between C and Python ends.

    PYTHONPATH=build/plain/site python bench/c_api.py [--rounds N] [--entries N]

Builds bench/c_api_bench.cpp into build/bench on first use (CMake, Ninja). Prints:
  - a C writer's 64 B write against the core ring writer's own write, and a C reader's copy of
    a 1 MiB entry against memcpy from the same slot (medians of 21 interleaved rounds, ratio);
  - the median one-way latency (writer's stamp to the reader seeing the entry) of a C writer to
    a spinning C reader, a C writer to a spinning Python reader, and Python to Python, each
    pair taking its turn in every round; the figure is the median of the round medians.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
from pathlib import Path

import quillmere

ROOT = Path(__file__).resolve().parents[1]
BUILD = ROOT / "build" / "bench"
BINARY = BUILD / "bench" / "c_api_bench"

PY_WRITER = """
import sys, time, quillmere
name, count = sys.argv[1], int(sys.argv[2])
w = quillmere.BytesWriter(name, entry_length=64, entry_count=1024)
print("ready", flush=True)
sys.stdin.readline()
pad = bytes(56)
for _ in range(count):
    until = time.monotonic_ns() + 50_000
    while time.monotonic_ns() < until:
        pass
    w.write(time.monotonic_ns().to_bytes(8, "little") + pad)
print("done", flush=True)
sys.stdin.read()
"""

PY_READER = """
import sys, time, statistics, numpy, quillmere
name, count = sys.argv[1], int(sys.argv[2])
r = quillmere.BytesReader(name)
out = numpy.empty(64, numpy.uint8)
print("ready", flush=True)
latencies = []
while len(latencies) < count:
    if r.read(out=out) is not None:
        now = time.monotonic_ns()
        latencies.append(now - int.from_bytes(out[:8].tobytes(), "little"))
print(int(statistics.median(latencies)), flush=True)
"""


def build() -> None:
    if BINARY.exists():
        return
    subprocess.run(["cmake", "-S", str(ROOT), "-B", str(BUILD), "-G", "Ninja",
                    "-DQUILLMERE_BUILD_BENCH=ON", "-DQUILLMERE_BUILD_PYTHON=OFF"],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", str(BUILD), "--target", "c_api_bench"], check=True)


def end(kind: str, role: str, name: str, count: int) -> subprocess.Popen[str]:
    if kind == "C":
        argv = [str(BINARY), "stamp-writer" if role == "writer" else "spin-reader"]
    else:
        argv = [sys.executable, "-c", PY_WRITER if role == "writer" else PY_READER]
    return subprocess.Popen([*argv, name, str(count)], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, text=True)


def one_way(writer_kind: str, reader_kind: str, name: str, count: int) -> int:
    """Median one-way latency in ns of one run of `count` entries."""
    writer = end(writer_kind, "writer", name, count)
    reader = None
    try:
        assert writer.stdout is not None and writer.stdin is not None
        assert writer.stdout.readline().strip() == "ready"
        reader = end(reader_kind, "reader", name, count)
        assert reader.stdout is not None
        assert reader.stdout.readline().strip() == "ready"
        writer.stdin.write("go\n")
        writer.stdin.flush()
        median = int(reader.stdout.readline())
        writer.stdin.close()
        return median
    finally:
        for process in (reader, writer):
            if process is not None:
                process.wait(timeout=120)
        quillmere.unlink(name)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--entries", type=int, default=5000)
    args = parser.parse_args()
    build()
    print(f"== costs ({os.cpu_count()} cores) ==", flush=True)
    subprocess.run([str(BINARY), "costs"], check=True)
    pairs = [("C", "C"), ("C", "Python"), ("Python", "Python")]
    rounds: dict[tuple[str, str], list[int]] = {pair: [] for pair in pairs}
    for round_number in range(args.rounds):
        for pair in pairs:
            name = f"/qm-bench-oneway-{os.getpid()}-{round_number}"
            rounds[pair].append(one_way(*pair, name, args.entries))
    print(f"== one-way latency, 64 B entries 50 us apart, median of {args.rounds} round medians ==")
    base = statistics.median(rounds[("Python", "Python")])
    for (writer, reader), values in rounds.items():
        median = statistics.median(values)
        print(f"{writer:>6} writer -> {reader:<6} spinning reader  {median / 1000:6.2f} us"
              f"   ({median / base:.2f}x Python -> Python)")


if __name__ == "__main__":
    main()
