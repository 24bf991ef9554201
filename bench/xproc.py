"""Workloads (c) to (f): latency, streaming, fan-out and the paced writer, across processes."""

from __future__ import annotations

import math
import statistics

import common
from procs import Session

LATENCY_CAPACITY = 64
STREAM_CAPACITY = {64: 1024, common.MIB: 16}
START_DELAY_S = 0.3  # every worker is ready; give them this long to reach the common start
LOSSY_GRACE_S = 0.02
QUEUE_GRACE_S = 3.0  # a queue's reader drains its backlog and waits for the end marker
FANOUT_READERS = 4
PACED_SEEN = 0.99
PACED_LATE_SHARE = 0.05  # a paced writer that needs 5 % longer than its window did not keep the rate


class _Channels:
    """Channels made for one measurement, removed whatever happens."""

    def __init__(self, backend):
        self.backend, self.specs = backend, []

    def make(self, size, capacity, readers=1):
        self.specs.append(self.backend.create(size, capacity, readers))
        return self.specs[-1]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for spec in self.specs:
            self.backend.destroy(spec)
        return False


def latency(backend, budget: common.Budget) -> dict:
    """(c) one-way latency of 64 B, as ping-pong round trip / 2 over two channels."""
    with _Channels(backend) as channels:
        there, back = channels.make(64, LATENCY_CAPACITY), channels.make(64, LATENCY_CAPACITY)
        plan = [[("writer", there), ("reader", back, 0)], [("reader", there, 0), ("writer", back)]]
        with Session(backend, plan) as session:
            deadline = common.now() + budget.latency_seconds + 10
            ping = {
                "task": "ping",
                "round_trips": budget.latency_round_trips,
                "warmup": budget.latency_round_trips // 10,
                "seconds": budget.latency_seconds,
                "deadline": deadline,
            }
            samples, _ = session.run([ping, {"task": "echo", "deadline": deadline}], timeout=budget.latency_seconds + 15)
    samples.sort()
    if not samples:
        return {"skipped": "no round trip completed"}
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


def stream(backend, budget: common.Budget, size: int, readers: int = 1) -> dict:
    """(d)/(e) one writer flat out, `readers` copying readers, one window."""
    duration = budget.stream_seconds
    with _Channels(backend) as channels:
        spec = channels.make(size, STREAM_CAPACITY.get(size, 256), readers)
        plan = [[("writer", spec)]] + [[("reader", spec, i)] for i in range(readers)]
        with Session(backend, plan) as session:
            start = common.now() + START_DELAY_S
            commands = [_write_command(size, start, duration)] + [_read_command(backend, start, duration)] * readers
            wrote, *got = session.run(commands, timeout=duration + QUEUE_GRACE_S + 20)
    return _stream_summary(size, wrote, got)


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


def paced(backend, budget: common.Budget, ceiling: float) -> dict:
    """(f) the highest paced write rate at which a copying reader still sees >= 99 % of the entries.

    Bisection over log(rate) between 1e3/s and `ceiling` (the flat-out write rate
    from the streaming run); a trial passes when the reader received at least
    99 % of the entries the schedule called for, whether they were lost (a ring)
    or never written in time (a queue whose writer could not keep up).
    """
    duration = budget.paced_trial_seconds
    with _Channels(backend) as channels:
        spec = channels.make(64, STREAM_CAPACITY[64])
        with Session(backend, [[("writer", spec)], [("reader", spec, 0)]]) as session:

            def trial(rate):
                start = common.now() + 0.05
                commands = [_write_command(64, start, duration, rate), _read_command(backend, start, duration)]
                wrote, got = session.run(commands, timeout=duration + QUEUE_GRACE_S + 20)
                on_time = wrote["elapsed"] <= duration * (1 + PACED_LATE_SHARE)
                return got["received"] / (rate * duration), on_time

            return _bisect_rate(trial, 1e3, max(ceiling, 2e3), budget.paced_steps)


def _bisect_rate(trial, low, high, steps) -> dict:
    """A rate passes when the reader saw >= 99 % of the schedule and the writer kept to it."""
    seen_low, on_time = trial(low)
    if seen_low < PACED_SEEN or not on_time:
        return {"max_rate_per_s": 0.0, "seen_at_max": seen_low, "note": f"fails even at {low:.0f}/s"}
    best = {"max_rate_per_s": low, "seen_at_max": seen_low}
    for _ in range(steps):
        rate = math.sqrt(low * high)
        seen, on_time = trial(rate)
        if seen >= PACED_SEEN and on_time:
            low, best = rate, {"max_rate_per_s": rate, "seen_at_max": seen}
        else:
            high = rate
    best["bracket_high_per_s"] = high
    return best


def lapped(backend, budget: common.Budget, work_ns: int = 20_000) -> dict:
    """(f) a reader doing `work_ns` of work per entry against a writer running flat out.

    "in order" reads with `read()`: once lapped it gets the oldest entry still in
    the ring, so every entry it handles is about one ring behind. "newest" uses
    `read(from_entry_seq=writer_entry_seq - 1)`, the skip-to-newest idiom.
    """
    duration = budget.lapped_seconds
    result = {}
    with _Channels(backend) as channels:
        spec = channels.make(64, STREAM_CAPACITY[64])
        with Session(backend, [[("writer", spec)], [("reader", spec, 0)]]) as session:
            for mode, label in (("lapped", "in_order"), ("newest", "skip_to_newest")):
                start = common.now() + 0.05
                commands = [_write_command(64, start, duration), _read_command(backend, start, duration, mode, work_ns)]
                wrote, got = session.run(commands, timeout=duration + 20)
                lags = sorted(got["lags"]) or [0]
                result[label] = {
                    "handled_per_s": got["received"] / duration,
                    "seen": got["received"] / max(wrote["written"], 1),
                    "lag_p50_entries": common.percentile(lags, 0.5),
                    "lag_max_entries": lags[-1],
                    "gaps": got["gaps"],
                }
    result["work_ns"] = work_ns
    result["ring_entries"] = STREAM_CAPACITY[64]
    return result
