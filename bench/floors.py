"""What no channel can beat on this machine: a no-op C call, memcpy, a cache-line ping-pong."""

from __future__ import annotations

import itertools
import json
import pathlib
import shutil
import subprocess

import numpy

import common
import inproc

MIB_RING_SLOTS = 2 * inproc.BATCH[common.MIB]  # what inproc gives a ring of 1 MiB entries

HERE = pathlib.Path(__file__).resolve().parent
PINGPONG_SOURCE = HERE / "pingpong.cpp"
PINGPONG_BINARY = HERE.parent / "build" / "bench" / "pingpong"


def noop_call_ns(budget: common.Budget) -> float:
    """One Python-level call of a C method that does nothing: `b.__len__()` on a bytes object."""
    ns = {"b": b"x" * 64}
    return common.per_call_ns("b.__len__()", ns, number=10_000, repeats=budget.inproc_repeats)


def memcpy_gbps(budget: common.Budget, size: int = common.MIB, rotate: int = MIB_RING_SLOTS) -> float:
    """`numpy.copyto` of `size` bytes into `rotate` destinations in turn.

    The rotation gives the copy the same memory footprint as the 1 MiB rings of
    the in-process rows, so it is the honest ceiling for their writes.
    """
    src = numpy.ones(size, numpy.uint8)
    destinations = itertools.cycle([numpy.zeros(size, numpy.uint8) for _ in range(rotate)])
    ns = {"copyto": numpy.copyto, "src": src, "dst": destinations}
    seconds = common.per_call_ns("copyto(next(dst), src)", ns, number=rotate * 2, repeats=budget.inproc_repeats) / 1e9
    return size / seconds / 1e9


def _pingpong_binary() -> pathlib.Path | None:
    if PINGPONG_BINARY.exists() and PINGPONG_BINARY.stat().st_mtime >= PINGPONG_SOURCE.stat().st_mtime:
        return PINGPONG_BINARY
    compiler = shutil.which("g++")
    if compiler is None:
        return None
    PINGPONG_BINARY.parent.mkdir(parents=True, exist_ok=True)
    command = [compiler, "-std=c++23", "-O2", "-Wall", "-Wextra", str(PINGPONG_SOURCE), "-o", str(PINGPONG_BINARY)]
    subprocess.run(command, check=True, capture_output=True, timeout=120)
    return PINGPONG_BINARY


def pingpong_floor(budget: common.Budget) -> dict:
    """One-way latency percentiles of the C++ cross-process cache-line ping-pong."""
    try:
        binary = _pingpong_binary()
    except (subprocess.SubprocessError, OSError) as exc:
        return {"skipped": f"cannot build the ping-pong floor: {exc}"}
    if binary is None:
        return {"skipped": "g++ not found: no ping-pong floor"}
    rounds = budget.floor_round_trips
    run = subprocess.run([str(binary), str(rounds), str(rounds // 10)], capture_output=True, text=True, timeout=60)
    if run.returncode != 0:
        return {"skipped": f"ping-pong floor failed: {run.stderr.strip()}"}
    return json.loads(run.stdout)
