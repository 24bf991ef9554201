"""Where the time of an in-process call goes: instruction counts per function under callgrind.

    python bench/profile.py [--op write|read|read_into|zero_copy|noop ...] [--size 64]

Each statement runs in a loop of N1 and then of N2 calls under
`valgrind --tool=callgrind`, after the same set-up; subtracting the two
profiles function by function leaves exactly what one call costs (interpreter, argument parsing, the ring,
memcpy, allocation), without start-up and import. Instruction counts do not
depend on what else the machine is doing, unlike the timings of run.py
(`perf stat` cannot read cycle counters on this kind of machine).

The installed module is stripped; if an unstripped build of it is found under
build/, that one is put first on the path so that its functions have names.
"""

from __future__ import annotations

import argparse
import collections
import os
import pathlib
import re
import shutil
import subprocess
import sys
import tempfile

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
N1, N2 = 1_000, 6_000

SETUP = """
import os, numpy, quillmere
name = "/qmbench-profile-%d" % os.getpid()
size = {size}
w = quillmere.BytesWriter(name, entry_length=size, entry_count=2 * {most})
r = quillmere.BytesReader(name)
z = quillmere.BytesReader(name, enable_zero_copy=True)
data = bytes(size)
out = numpy.empty(size, numpy.uint8)
b = b"x" * 64
if {fill}:  # the same set-up for both loop lengths, so that it cancels out
    for _ in range({most}):
        w.write(data)
"""
STATEMENTS = {
    "noop": ("b.__len__()", False),
    "write": ("w.write(data)", False),
    "read": ("r.read()", True),
    "read_into": ("r.read(out=out)", True),
    "zero_copy": ("z.try_acquire().release()", True),
}
LOOP = """
def loop(w, r, z, data, out, b):  # locals, as in timeit: no dictionary look-ups per call
    for _ in range({n}):
        {stmt}
import gc
gc.disable()  # as in the timed runs: collections would be charged to whichever call triggers them
loop(w, r, z, data, out, b)
quillmere.unlink(name)
"""
LINE = re.compile(r"^\s*([\d,]+)\s+\(\s*[\d.]+%\)\s+(\S.*)$")


def unstripped_module_dir() -> pathlib.Path | None:
    candidates = sorted(ROOT.glob("build/*/quillmere/src/python/quillmere*.so"), key=lambda p: p.stat().st_mtime)
    return candidates[-1].parent if candidates else None


def profile_counts(op: str, size: int, n: int, module_dir) -> dict[str, int]:
    stmt, fill = STATEMENTS[op]
    code = SETUP.format(size=size, most=N2, fill=fill) + LOOP.format(n=n, stmt=stmt)
    # Idle BLAS threads would count as per-call work, and a random hash seed makes the dictionary
    # probes of start-up differ between the two runs, which would not cancel out.
    env = dict(os.environ, OPENBLAS_NUM_THREADS="1", PYTHONHASHSEED="0")
    if module_dir is not None:
        env["PYTHONPATH"] = os.pathsep.join(filter(None, [str(module_dir), env.get("PYTHONPATH")]))
    with tempfile.TemporaryDirectory() as tmp:
        out = pathlib.Path(tmp) / "callgrind.out"
        run = subprocess.run(["valgrind", "--tool=callgrind", f"--callgrind-out-file={out}", sys.executable, "-c", code],
                             capture_output=True, text=True, env=env, timeout=900)
        if run.returncode != 0:
            raise RuntimeError(f"valgrind run failed:\n{run.stderr[-2000:]}")
        text = subprocess.run(["callgrind_annotate", "--threshold=100", str(out)], check=True, capture_output=True,
                              text=True).stdout
    counts: dict[str, int] = collections.Counter()
    for line in text.splitlines():
        match = LINE.match(line)
        if match and "PROGRAM TOTALS" not in line:
            counts[_function(match.group(2))] += int(match.group(1).replace(",", ""))
    return counts


def _function(location: str) -> str:
    """'file:function [object]' -> 'function (object)', template and parameter lists elided."""
    obj = re.search(r"\[[^\]]*?([^/\]]+)\]$", location)
    name = location[: obj.start()].strip() if obj else location
    name = name.split(":", 1)[-1] if re.match(r"^[^:]*\.[a-zA-Z]+:", name) or name.startswith("???:") else name
    entry = re.search(r"::(\w+)>::call\(", name)  # the binding's per-method entry point template
    short = f"{_elide(name)}  [{entry.group(1)}]" if entry else _elide(name)
    return short + (f" ({obj.group(1)})" if obj else "")


def _elide(name: str) -> str:
    """Drop what is inside <...> and (...), so that C++ names stay one readable line."""
    out, depth = [], 0
    for ch in name:
        if ch in "<(":
            if depth == 0:
                out.append(ch)
            depth += 1
        elif ch in ">)" and depth:
            depth -= 1
            if depth == 0:
                out.append(ch)
        elif depth == 0:
            out.append(ch)
    return "".join(out)


def per_call(op: str, size: int, module_dir) -> tuple[float, list[tuple[str, float]]]:
    small = profile_counts(op, size, N1, module_dir)
    large = profile_counts(op, size, N2, module_dir)
    diff = {fn: (large.get(fn, 0) - small.get(fn, 0)) / (N2 - N1) for fn in set(small) | set(large)}
    rows = sorted(((fn, v) for fn, v in diff.items() if v > 0.5), key=lambda kv: -kv[1])
    return sum(v for _, v in rows), rows


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="callgrind instruction profile of one in-process call")
    parser.add_argument("--op", action="append", choices=sorted(STATEMENTS), help="default: all")
    parser.add_argument("--size", type=int, default=64)
    parser.add_argument("--top", type=int, default=12)
    args = parser.parse_args(argv)
    if shutil.which("valgrind") is None or shutil.which("callgrind_annotate") is None:
        print("valgrind is not installed (Debian package 'valgrind')", file=sys.stderr)
        return 1
    module_dir = unstripped_module_dir()
    ops = args.op or ["noop", "write", "read", "read_into", "zero_copy"]
    noop_total = per_call("noop", args.size, module_dir)[0] if "noop" not in ops else None
    for op in ops:
        total, rows = per_call(op, args.size, module_dir)
        if op == "noop":
            noop_total = total
        ratio = f", {total / noop_total:.1f}x the no-op C call" if noop_total and op != "noop" else ""
        print(f"\n{STATEMENTS[op][0]}  ({args.size} B): {total:,.0f} instructions per call{ratio}")
        for fn, value in rows[: args.top]:
            print(f"  {value:8.0f}  {100 * value / total:5.1f}%  {fn}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
