"""Workloads (c) to (f): latency, streaming, fan-out and the paced writer, across processes."""

from __future__ import annotations

import math
import statistics

import common
from procs import Session

LATENCY_CAPACITY = 64
LATENCY_WARMUP_S = 0.03  # ping-pong before the first sample of every round
# Entries per channel (ring slots, queue bound, high-water mark: the same for every backend).
# Two busy processes on two shared cores rarely run at the same time: a lossy ring must
# hold what the writer produces while the reader waits for a core, so 64 B rings get 16 Ki.
# 1 MiB entries get 4 slots, as in the in-process rows.
STREAM_CAPACITY = {64: 16384, common.MIB: 4}
# quillmere's bare reader loops (g) run on rings of their own, the geometry of the report that
# made a plain read() loop a workload: 4096 slots of 64 B, 16 of 1 MiB.
PLAIN_CAPACITY = {64: 4096, common.MIB: 16}
PLAIN_CHANNELS = {64: "plain64", common.MIB: "plain1m"}
START_DELAY_S = 0.2  # every worker is ready; give them this long to reach the common start
LOSSY_GRACE_S = 0.02
QUEUE_GRACE_S = 3.0  # a queue's reader drains its backlog and waits for the end marker
FANOUT_READERS = 4
PACED_SEEN = 0.99
PACED_LATE_SHARE = 0.05  # a paced writer that needs 5 % longer than its window did not keep the rate


class Bench:
    """Every channel of one backend's cross-process workloads, and one set of worker processes.

    Spawning interpreters is the slowest part of a run on two cores, so all the
    workloads of a backend share one writer worker and FANOUT_READERS reader
    workers (the first two double as pinger and echo), spawned once.
    """

    def __init__(self, backend):
        self.backend, self._confs = backend, {}

    def __enter__(self):
        try:
            self._make("there", 64, LATENCY_CAPACITY)
            self._make("back", 64, LATENCY_CAPACITY)
            self._make("stream64", 64, STREAM_CAPACITY[64])
            self._make("stream1m", common.MIB, STREAM_CAPACITY[common.MIB])
            self._make("fanout", 64, STREAM_CAPACITY[64], FANOUT_READERS)
            if self.backend.plain_loops:
                for size, key in PLAIN_CHANNELS.items():
                    self._make(key, size, PLAIN_CAPACITY[size])
            self.session = Session(self.backend, self._confs, 1 + FANOUT_READERS)
        except BaseException:
            self._destroy()
            raise
        return self

    def __exit__(self, *exc):
        self.session.close()
        self._destroy()
        return False

    def _make(self, key, size, capacity, readers=1):
        self._confs[key] = self.backend.create(size, capacity, readers)

    def _destroy(self):
        for conf in self._confs.values():
            self.backend.destroy(conf)
        self._confs = {}

    def pair(self, key: str, size: int, readers: int = 1) -> "Pair":
        return Pair(self, key, size, readers)

    def plain_pair(self, size: int) -> "Pair":
        return Pair(self, PLAIN_CHANNELS[size], size, 1, PLAIN_CAPACITY[size])


class Pair:
    """The writer worker and `readers` reader workers on one channel of a Bench."""

    def __init__(self, bench: Bench, key: str, size: int, readers: int, capacity: int | None = None):
        self.bench, self.key, self.size, self.readers = bench, key, size, readers
        self.backend = bench.backend
        self.capacity = capacity or STREAM_CAPACITY[size]

    def trial(self, duration, *, rate=None, mode="copy", work_ns=0, delay=0.05):
        """One window: (writer's answer, [each reader's answer])."""
        start = common.now() + delay
        write = dict(_write_command(self.size, start, duration, rate), ends=[("writer", self.key)])
        reads = [dict(_read_command(self.backend, start, duration, mode, work_ns), ends=[("reader", self.key, i)])
                 for i in range(self.readers)]
        wrote, *got = self.bench.session.run([write] + reads, timeout=duration + delay + QUEUE_GRACE_S + 20)
        return wrote, got


def latency_samples(bench: Bench, budget: common.Budget) -> list[int]:
    """(c) one round's share of the 64 B ping-pong over two channels: round trips in ns."""
    seconds = budget.latency_seconds / budget.rounds
    deadline = common.now() + LATENCY_WARMUP_S + seconds + 10
    round_trips = max(500, budget.latency_round_trips // budget.rounds)
    ping = {
        "task": "ping",
        "ends": [("writer", "there"), ("reader", "back", 0)],
        "round_trips": round_trips,
        "warmup_seconds": LATENCY_WARMUP_S,
        "seconds": seconds,
        "deadline": deadline,
    }
    echo = {"task": "echo", "ends": [("reader", "there", 0), ("writer", "back")], "deadline": deadline}
    samples, _ = bench.session.run([ping, echo], timeout=LATENCY_WARMUP_S + seconds + 15)
    return samples


def latency_summary(samples: list[int]) -> dict:
    """One-way percentiles: round trip / 2."""
    if not samples:
        return {"skipped": "no round trip completed"}
    samples = sorted(samples)
    return {
        "round_trips": len(samples),
        "p50_ns": common.percentile(samples, 0.50) / 2,
        "p99_ns": common.percentile(samples, 0.99) / 2,
        "p999_ns": common.percentile(samples, 0.999) / 2,
    }


def _read_command(backend, start, duration, mode="copy", work_ns=0):
    grace = LOSSY_GRACE_S if backend.lossy else QUEUE_GRACE_S
    return {"task": "read", "start": start, "duration": duration, "grace": grace, "lossy": backend.lossy,
            "mode": mode, "work_ns": work_ns}


def _write_command(size, start, duration, rate=None):
    return {"task": "write", "size": size, "start": start, "duration": duration, "rate": rate}


def stream(pair: Pair, budget: common.Budget) -> dict:
    """(d)/(e) the writer flat out, every reader copying, one window."""
    wrote, got = pair.trial(budget.stream_seconds, delay=START_DELAY_S)
    return _stream_summary(pair.size, wrote, got)


def _stream_summary(size, wrote, got) -> dict:
    """Rates per reader: a queue's reader took until its end marker, a ring's reader the window."""
    written_per_s = wrote["written"] / wrote["elapsed"]
    delivered = [r["received"] / (r["ended_after"] or wrote["elapsed"]) for r in got]
    seen = [r["received"] / wrote["written"] if wrote["written"] else 0.0 for r in got]
    return {
        "written_per_s": written_per_s,
        "delivered_per_s": statistics.mean(delivered),  # per reader
        "delivered_min_per_s": min(delivered),
        "gb_per_s": statistics.mean(delivered) * size / 1e9,
        "seen": statistics.mean(seen),
        "readers": len(got),
    }


def plain(pair: Pair, budget: common.Budget, how: str) -> dict:
    """(g) quillmere only: the writer flat out, one reader in a bare loop of `how` (one of
    procs.PLAIN_READS) that never steps ahead by itself when the writer laps it."""
    wrote, got = pair.trial(budget.stream_seconds, mode=how, delay=START_DELAY_S)
    return _stream_summary(pair.size, wrote, got)


def paced(pair: Pair, budget: common.Budget, ceiling: float) -> dict:
    """(f) the highest paced write rate at which a copying reader still sees >= 99 % of the entries.

    Bisection over log(rate) between 1e3/s and `ceiling` (above the flat-out write
    rate of the streaming window); a trial passes when the reader received at
    least 99 % of the entries the schedule called for, whether the rest were lost
    (a ring) or never written in time (a queue whose writer could not keep up).
    """
    duration = budget.paced_trial_seconds

    def trial(rate):
        wrote, (got,) = pair.trial(duration, rate=rate)
        on_time = wrote["elapsed"] <= duration * (1 + PACED_LATE_SHARE)
        return got["received"] / (rate * duration), on_time

    return _bisect_rate(trial, 1e3, max(ceiling, 2e3), budget.paced_steps)


def _bisect_rate(trial, low, high, steps) -> dict:
    """A rate passes when the reader saw >= 99 % of the schedule and the writer kept to it.

    A failed trial is run once more before the rate counts as too high: on two
    shared cores one descheduled moment can fail a window that the channel can carry.
    """

    def passes(rate):
        for _ in range(2):
            seen, on_time = trial(rate)
            if seen >= PACED_SEEN and on_time:
                return True, seen
        return False, seen

    ok, seen_low = passes(low)
    if not ok:
        return {"max_rate_per_s": 0.0, "seen_at_max": seen_low, "note": f"fails even at {low:.0f}/s"}
    best = {"max_rate_per_s": low, "seen_at_max": seen_low}
    for _ in range(steps):
        rate = math.sqrt(low * high)
        ok, seen = passes(rate)
        if ok:
            low, best = rate, {"max_rate_per_s": rate, "seen_at_max": seen}
        else:
            high = rate
    best["bracket_high_per_s"] = high
    return best


def lapped(pair: Pair, budget: common.Budget, work_ns: int = 20_000) -> dict:
    """(f) a reader doing `work_ns` of work per entry against a writer running flat out.

    "in order" reads with `read()`: once lapped it gets the oldest entry still in
    the ring, so every entry it handles is about one ring behind. "skip to newest"
    uses `read(from_entry_seq=writer_entry_seq - 1)` and handles the newest one.
    """
    duration = budget.lapped_seconds
    result = {"work_ns": work_ns, "ring_entries": pair.capacity}
    for mode, label in (("lapped", "in_order"), ("newest", "skip_to_newest")):
        wrote, (got,) = pair.trial(duration, mode=mode, work_ns=work_ns)
        lags = sorted(got["lags"]) or [0]
        result[label] = {
            "handled_per_s": got["received"] / duration,
            "seen": got["received"] / max(wrote["written"], 1),
            "lag_p50_entries": common.percentile(lags, 0.5),
            "lag_max_entries": lags[-1],
            "gaps": got["gaps"],
        }
    return result
