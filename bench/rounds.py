"""Cross-process workloads of every backend, interleaved round by round.

The machine changes under a run: its two virtual CPUs share one physical core for a
while (a cache line crosses in about 70 ns) and sit on two for another (about 240 ns),
and neighbours come and go. Measured one backend after the other, whichever ran in a
good phase would win. So each workload runs in rounds, every backend once per round in
a shuffled order, and a result is the median of its rounds (latency: the percentiles of
all its round trips). The ping-pong floor is measured right before quillmere's latency
in every round, and the ratio of the two is taken round by round.
"""

from __future__ import annotations

import statistics

import common
import floors
import procs
import xproc
from report import QM


def latency(benches: dict, budget: common.Budget) -> tuple[dict, dict]:
    """({backend: latency summary}, ping-pong floor summary)."""
    samples: dict = {name: [] for name in benches}
    failures: dict = {}
    floor_runs, ratios = [], []
    for turn in range(budget.rounds):
        names = common.turn_order(list(benches), turn)
        if QM not in names:
            floor_runs.append(floors.pingpong_floor(budget))
        for name in names:
            floor = floors.pingpong_floor(budget) if name == QM else None
            try:
                got = xproc.latency_samples(benches[name], budget)
            except Exception as exc:  # one broken backend must not sink the others
                failures[name] = f"failed: {common.reason(exc)}"
                continue
            samples[name] += got
            if floor is not None:
                floor_runs.append(floor)
                if got and "p50_ns" in floor:
                    ratios.append(xproc.latency_summary(got)["p50_ns"] / floor["p50_ns"])
    summaries = {name: xproc.latency_summary(s) if s else {"skipped": failures.get(name, "no round trip")}
                 for name, s in samples.items()}
    if ratios:
        summaries[QM]["floor_ratio_p50"] = statistics.median(ratios)
        summaries[QM]["floor_ratios"] = ratios
    return summaries, _floor_summary(floor_runs)


def _floor_summary(runs: list[dict]) -> dict:
    good = [run for run in runs if "p50_ns" in run]
    if not good:
        return runs[-1] if runs else {"skipped": "not measured"}
    summary = _median_fields(good)
    summary["p50_ns_rounds"] = [run["p50_ns"] for run in good]
    return summary


def stream(benches: dict, budget: common.Budget, key: str, size: int, readers: int = 1) -> dict:
    """{backend: median of its rounds' streaming summaries} for the channel `key`."""
    per: dict = {name: [] for name in benches}
    failures: dict = {}
    for turn in range(budget.rounds):
        for name in common.turn_order(list(benches), turn):
            try:
                per[name].append(xproc.stream(benches[name].pair(key, size, readers), budget))
            except Exception as exc:
                failures[name] = f"failed: {common.reason(exc)}"
    return {name: _median_fields(runs) if runs else {"skipped": failures.get(name, "not run")}
            for name, runs in per.items()}


def plain(bench, budget: common.Budget) -> dict:
    """{size: {how: median summary}} of quillmere's bare reader loops, the three side by side in
    every round (shuffled), each with the median of its per-round shares of the zero-copy
    reader's delivered rate."""
    out: dict = {}
    for size in xproc.PLAIN_CHANNELS:
        pair = bench.plain_pair(size)
        per: dict = {how: [] for how in procs.PLAIN_READS}
        shares: dict = {how: [] for how in procs.PLAIN_READS}
        for turn in range(budget.rounds):
            got = {how: xproc.plain(pair, budget, how) for how in common.turn_order(list(per), turn)}
            for how, summary in got.items():
                per[how].append(summary)
                shares[how].append(summary["delivered_per_s"] / max(got["zero_copy"]["delivered_per_s"], 1e-9))
        out[str(size)] = {how: dict(_median_fields(runs), share_of_zero_copy=statistics.median(shares[how]),
                                    ring_entries=pair.capacity)
                          for how, runs in per.items()}
    return out


def _median_fields(runs: list[dict]) -> dict:
    """Field by field median of several summaries of the same shape."""
    return {key: statistics.median(run[key] for run in runs) if isinstance(value, (int, float)) else value
            for key, value in runs[0].items()}
