"""`write` 64 B and `read` 64 B of two builds of the module side by side: for example the
g++-built x86-64 wheel against the Zig-built (glibc 2.17, libc++) one.

Both are a module named quillmere, so each is unpacked into a directory of its own and timed
in child processes with that directory on the path. Rounds alternate which build goes first;
each child times batches of calls and reports its medians; the result is the median over the
rounds per build and the median of the per-round ratios (second build / first).

    python bench/toolchain_ab.py A.whl B.whl [--rounds 15]
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import zipfile
from pathlib import Path

# Times one op in one process: ns per call, the median of its batches. The ring holds a whole
# batch, so every timed read returns an entry the untimed writes before it put there.
CHILD = r"""
import json, os, sys, time, uuid
import quillmere

BATCH, BATCHES, SIZE = 4096, 25, 64
name = f"/qm-bench-ab-{os.getpid()}-{uuid.uuid4().hex[:8]}"
payload = bytes(range(SIZE))
try:
    writer = quillmere.BytesWriter(name, entry_length=SIZE, entry_count=BATCH)
    reader = quillmere.BytesReader(name, entry_length=SIZE, entry_count=BATCH)
    write, read, clock = writer.write, reader.read, time.perf_counter_ns
    writes, reads = [], []
    for _ in range(BATCHES):
        start = clock()
        for _ in range(BATCH):
            write(payload)
        writes.append((clock() - start) / BATCH)
        start = clock()
        for _ in range(BATCH):
            got = read()
        reads.append((clock() - start) / BATCH)
        assert got is not None and got[1] == payload, got
    writes.sort()
    reads.sort()
    print(json.dumps({"file": quillmere.__file__, "write": writes[BATCHES // 2],
                      "read": reads[BATCHES // 2]}))
finally:
    quillmere.unlink(name)
"""


def unpack(wheel: Path, into: Path) -> Path:
    site = into / wheel.name
    if site.exists():  # the same wheel twice: an A/A run, which shows the noise
        site = into / f"again-{wheel.name}"
    with zipfile.ZipFile(wheel) as archive:
        archive.extractall(site)
    return site


def measure(site: Path) -> dict:
    env = dict(os.environ, PYTHONPATH=str(site))
    done = subprocess.run([sys.executable, "-c", CHILD], env=env, capture_output=True, text=True,
                          timeout=300, check=True)
    result = json.loads(done.stdout)
    assert result["file"].startswith(str(site)), result["file"]
    return result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("first", type=Path)
    parser.add_argument("second", type=Path)
    parser.add_argument("--rounds", type=int, default=15)
    args = parser.parse_args()
    wheels = (args.first, args.second)
    with tempfile.TemporaryDirectory(prefix="qm-bench-ab-") as tmp:
        sites = [unpack(wheel, Path(tmp)) for wheel in wheels]
        runs: list[list[dict]] = [[], []]
        for turn in range(args.rounds):
            order = (0, 1) if turn % 2 == 0 else (1, 0)
            for which in order:
                runs[which].append(measure(sites[which]))
    print(f"{args.rounds} rounds, alternating which build goes first; ns per call, medians")
    print(f"{'op':6} {'first':>8} {'second':>8} {'second/first':>13}")
    for op in ("write", "read"):
        firsts = [run[op] for run in runs[0]]
        seconds = [run[op] for run in runs[1]]
        ratio = statistics.median(b / a for a, b in zip(firsts, seconds))
        print(f"{op:6} {statistics.median(firsts):8.1f} {statistics.median(seconds):8.1f} "
              f"{ratio:13.3f}")
    for label, wheel in zip(("first", "second"), wheels):
        print(f"{label}: {wheel.name}")


if __name__ == "__main__":
    main()
