"""Shared pieces of the benchmark suite: run budgets, timing, naming, percentiles."""

from __future__ import annotations

import dataclasses
import gc
import itertools
import os
import statistics
import time
import timeit

KIB = 1024
MIB = 1024 * 1024
SIZES = (64, 4 * KIB, MIB)

_counter = itertools.count()


@dataclasses.dataclass(frozen=True)
class Budget:
    """How long each part of a run may take; `--quick` shrinks every number."""

    inproc_repeats: int  # timed batches per in-process row
    latency_round_trips: int
    latency_seconds: float  # hard cap per backend, whatever the round-trip count
    stream_seconds: float  # one streaming / fan-out window
    paced_trial_seconds: float
    paced_steps: int  # bisection steps of the paced-writer search
    lapped_seconds: float
    floor_round_trips: int

    @staticmethod
    def for_mode(quick: bool) -> "Budget":
        if quick:
            return Budget(15, 3000, 0.6, 0.3, 0.12, 4, 0.3, 50_000)
        return Budget(60, 20_000, 3.0, 1.0, 0.25, 7, 1.0, 200_000)


def unique_name(tag: str) -> str:
    """A channel / segment name no other run or test can be using."""
    return f"/qmbench-{tag}-{os.getpid()}-{next(_counter)}"


def now() -> float:
    """CLOCK_MONOTONIC: one clock for every process of the run, so deadlines can be shared."""
    return time.monotonic()


def percentile(sorted_values, fraction: float) -> float:
    if not sorted_values:
        return float("nan")
    index = int(fraction * (len(sorted_values) - 1))
    return float(sorted_values[index])


def per_call_ns(stmt: str, ns: dict, *, setup: str = "pass", number: int, repeats: int) -> float:
    """Median cost in ns of one `stmt`, timed in batches of `number` calls.

    `setup` runs untimed before every batch (to refill or drain a channel). The
    cost of the timing loop itself is measured the same way and subtracted, so
    the result is the statement alone; garbage collection is off while timing.
    """
    timer = timeit.Timer(stmt, setup=setup, globals=ns)
    empty = timeit.Timer("pass", globals=ns)  # no setup: it may expect the statement to run
    was_enabled = gc.isenabled()
    gc.disable()
    try:
        for _ in range(3):  # warm-up: first-touch page faults of every slot, caches
            timer.timeit(number)
        batches = timer.repeat(repeat=repeats, number=number)
        loop = min(empty.repeat(repeat=max(3, repeats // 4), number=number))
    finally:
        if was_enabled:
            gc.enable()
    return max(0.0, (statistics.median(batches) - loop) / number * 1e9)
