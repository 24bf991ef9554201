"""Shared pieces of the benchmark suite: run budgets, timing, naming, percentiles."""

from __future__ import annotations

import dataclasses
import gc
import itertools
import os
import random
import signal
import socket
import statistics
import subprocess
import time
import timeit
from contextlib import ExitStack

KIB = 1024
MIB = 1024 * 1024
SIZES = (64, 4 * KIB, MIB)

_counter = itertools.count()


@dataclasses.dataclass(frozen=True)
class Budget:
    """How long each part of a run may take; `--quick` shrinks every number."""

    inproc_repeats: int  # timed batches per in-process row
    rounds: int  # cross-process workloads: rounds, each running every backend once
    latency_round_trips: int  # per backend, over all rounds
    latency_seconds: float  # hard cap per backend over all rounds, whatever the round-trip count
    stream_seconds: float  # one streaming / fan-out window (one per round)
    paced_trial_seconds: float
    paced_steps: int  # bisection steps of the paced-writer search
    lapped_seconds: float
    floor_round_trips: int  # per ping-pong floor measurement

    @staticmethod
    def for_mode(quick: bool) -> "Budget":
        if quick:
            return Budget(15, 3, 3000, 0.6, 0.2, 0.12, 4, 0.3, 50_000)
        return Budget(60, 5, 20_000, 3.0, 0.4, 0.25, 7, 1.0, 200_000)


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


class BatchTimer:
    """Times batches of `number` runs of `stmt`; `setup` runs untimed before every batch.

    Batches of several timers can be interleaved, so that slow drift of the machine
    (frequency, neighbours, where the virtual CPUs sit) hits every timer alike.
    """

    def __init__(self, stmt: str, ns: dict, *, setup: str = "pass", number: int):
        self._timer = timeit.Timer(stmt, setup=setup, globals=ns)
        self._empty = timeit.Timer("pass", globals=ns)  # no setup: it may expect the statement to run
        self.number = number
        self.batches: list[float] = []

    def warm_up(self, batches: int = 3) -> None:
        for _ in range(batches):  # first-touch page faults of every slot, caches
            self._timer.timeit(self.number)

    def batch(self) -> None:
        self.batches += self._timer.repeat(repeat=1, number=self.number)

    def per_call_ns(self) -> float:
        """Median batch minus the cost of the timing loop itself, per statement."""
        loop = min(self._empty.repeat(repeat=max(3, len(self.batches) // 4), number=self.number))
        return max(0.0, (statistics.median(self.batches) - loop) / self.number * 1e9)


def gc_paused():
    """Context manager: garbage collection off while timing."""
    return _GcPaused()


class _GcPaused:
    def __enter__(self):
        self._was_enabled = gc.isenabled()
        gc.disable()

    def __exit__(self, *exc):
        if self._was_enabled:
            gc.enable()
        return False


def per_call_ns(stmt: str, ns: dict, *, setup: str = "pass", number: int, repeats: int) -> float:
    """Median cost in ns of one `stmt`, timed in `repeats` batches of `number` calls."""
    timer = BatchTimer(stmt, ns, setup=setup, number=number)
    with gc_paused():
        timer.warm_up()
        for _ in range(repeats):
            timer.batch()
        return timer.per_call_ns()


def turn_order(items: list, turn: int) -> list:
    """The order of one round of an interleaved measurement: shuffled anew each round (and the
    same in every run), so that no backend always goes first or always follows the same one."""
    return random.Random(turn).sample(items, len(items))


def reason(exc: Exception) -> str:
    """The last line of an exception's message: what a skipped row reports."""
    detail = str(exc).strip().splitlines()
    return detail[-1] if detail else type(exc).__name__


def free_port() -> int:
    """A loopback TCP port that is free right now."""
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def start_stopped(stack: ExitStack, argv: list[str],
                  stdout: int = subprocess.DEVNULL) -> subprocess.Popen[str]:
    """Starts `argv`; when `stack` closes it is stopped (SIGTERM, killed after 10 s) if running."""
    proc = subprocess.Popen(argv, stdout=stdout, stderr=subprocess.DEVNULL,
                            stdin=subprocess.DEVNULL, text=True)

    def stop() -> None:
        if proc.poll() is None:
            proc.send_signal(signal.SIGTERM)  # a bridge end removes the names it made
            try:
                proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()

    stack.callback(stop)
    return proc
