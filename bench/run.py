"""Benchmark quillmere against multiprocessing, pyzmq, faster-fifo, iceoryx2 and a hand-rolled ring.

    python bench/run.py [--quick] [--plot] [--json out.json] [--backends NAME,...]

Runs every workload for every backend that imports, in one process tree on
one machine, prints medians and ratios, and optionally writes JSON and a PNG
(to bench/results/). Backends take turns within every workload (in-process rows
a block of batches at a time, cross-process ones round by round), so drift of the
machine during the run reaches all of them alike. The default run takes two to
three minutes, `--quick` about one.
"""

from __future__ import annotations

import argparse
import contextlib
import json
import os
import pathlib
import platform
import sys
import time
import traceback

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import backends  # noqa: E402
import common  # noqa: E402
import floors  # noqa: E402
import inproc  # noqa: E402
import report  # noqa: E402
import rounds  # noqa: E402
import xproc  # noqa: E402
from report import QM  # noqa: E402

RESULTS = HERE / "results"


def machine() -> dict:
    import numpy

    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo") as f:
            cpu = next((line.split(":", 1)[1].strip() for line in f if line.startswith("model name")), cpu)
    except OSError:
        pass
    return {"cpu": cpu, "cores": os.cpu_count(), "python": platform.python_version(), "numpy": numpy.__version__,
            "kernel": platform.release(), "load_before": os.getloadavg()[0]}


def _guarded(label, fn, *args):
    """Run one measurement; a failure becomes a 'skipped' entry instead of ending the run."""
    started = time.monotonic()
    try:
        result = fn(*args)
    except Exception as exc:  # one broken backend must not sink the whole comparison
        result = {"skipped": f"failed: {common.reason(exc)}"}
        if os.environ.get("QMBENCH_DEBUG"):
            traceback.print_exc()
    print(f"  {label}: {time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)
    return result


def run(quick: bool, names: list[str] | None) -> dict:
    budget = common.Budget.for_mode(quick)
    r = {"quick": quick, "machine": machine(), "skipped": {}, "inproc": {}, "latency": {}, "stream": {},
         "fanout": {}, "paced": {}, "lapped": {}, "plain": {}}
    chosen = []
    for backend in backends.ALL:
        if names and backend.name not in names:
            continue
        reason = backend.available()
        if reason:
            r["skipped"][backend.name] = reason
        else:
            chosen.append(backend)
    print("floors", file=sys.stderr, flush=True)
    r["floors"] = {"noop_ns": floors.noop_call_ns(budget), "memcpy_gbps": floors.memcpy_gbps(budget)}
    print("in-process rows, every backend in turn", file=sys.stderr, flush=True)
    r["inproc"] = _guarded("in-process", inproc.measure_all, chosen, budget)
    if "skipped" in r["inproc"]:
        r["inproc"] = {}
    # The in-process floors again, right after the rows they are compared with; noise only
    # ever makes a floor look worse, so the stricter of the two readings stands.
    r["floors"]["noop_ns"] = min(r["floors"]["noop_ns"], floors.noop_call_ns(budget))
    r["floors"]["memcpy_gbps"] = max(r["floors"]["memcpy_gbps"], floors.memcpy_gbps(budget))
    with contextlib.ExitStack() as stack:
        benches = {}
        for backend in chosen:
            print(f"starting the worker processes of {backend.name}", file=sys.stderr, flush=True)
            try:
                benches[backend.name] = stack.enter_context(xproc.Bench(backend))
            except Exception as exc:  # its worker processes did not start
                failed = {"skipped": f"failed to start: {common.reason(exc)}"}
                r["latency"][backend.name] = r["paced"][backend.name] = failed
                r["stream"][backend.name] = r["fanout"][backend.name] = {"64": failed}
        _cross_process(benches, budget, r)
    r["machine"]["load_after"] = os.getloadavg()[0]
    r["targets"] = report.targets(r)
    return r


def _cross_process(benches, budget, r) -> None:
    print("cross-process rows, every backend in turn", file=sys.stderr, flush=True)
    latency = _guarded("latency", rounds.latency, benches, budget)
    if isinstance(latency, dict):  # failed as a whole
        r["floors"]["pingpong"] = latency
    else:
        r["latency"].update(latency[0])
        r["floors"]["pingpong"] = latency[1]
    for key, size, label in (("stream64", 64, "stream 64 B"), ("stream1m", common.MIB, "stream 1 MiB")):
        by_backend = _per_backend(benches, _guarded(label, rounds.stream, benches, budget, key, size))
        for name, summary in by_backend.items():
            r["stream"].setdefault(name, {})[str(size)] = summary
    fanout = _guarded("fan-out", rounds.stream, benches, budget, "fanout", 64, xproc.FANOUT_READERS)
    for name, summary in _per_backend(benches, fanout).items():
        r["fanout"][name] = {"64": summary}
    if QM in benches:
        r["plain"] = _guarded("bare reader loops", rounds.plain, benches[QM], budget)
    # The paced-writer search adapts each trial to the last one, so it runs backend by backend.
    for name, bench in benches.items():
        flat = r["stream"].get(name, {}).get("64", {})
        ceiling = 1.2 * max(flat.get("written_per_s", 0.0), flat.get("delivered_per_s", 0.0), 1e4)
        pair = bench.pair("stream64", 64)
        r["paced"][name] = _guarded(f"paced, {name}", xproc.paced, pair, budget, ceiling)
        if bench.backend.skip_to_newest:
            r["lapped"][name] = _guarded(f"lapped reader, {name}", xproc.lapped, pair, budget)


def _per_backend(benches, result: dict) -> dict:
    """A workload's {backend: summary}; a workload that failed as a whole fails every backend."""
    return {name: result for name in benches} if "skipped" in result else result


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="shorter windows and fewer repeats (about a minute)")
    parser.add_argument("--plot", action="store_true", help="write a PNG of latency and throughput to bench/results/")
    parser.add_argument("--json", metavar="PATH", help="also write all results as JSON to PATH")
    parser.add_argument("--backends", metavar="NAMES", help="comma-separated subset, e.g. 'quillmere,pyzmq ipc://'")
    args = parser.parse_args(argv)
    names = [n.strip() for n in args.backends.split(",")] if args.backends else None
    started = time.monotonic()
    results = run(args.quick, names)
    results["seconds"] = time.monotonic() - started
    print(report.render(results))
    print(f"\n(run took {results['seconds']:.0f} s)")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(results, indent=1))
    if args.plot:
        import plot

        RESULTS.mkdir(exist_ok=True)
        path = plot.write(results, RESULTS / "performance.png")
        print(f"plot written to {path.relative_to(HERE.parent)}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
