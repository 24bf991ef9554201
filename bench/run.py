"""Benchmark quillmere against multiprocessing, pyzmq, faster-fifo, iceoryx2 and a hand-rolled ring.

    python bench/run.py [--quick] [--plot] [--json out.json] [--backends NAME,...]

Runs every workload for every backend that imports, in one process tree on
one machine, prints medians and ratios, and optionally writes JSON and a PNG
(to bench/results/). The default run takes a few minutes, `--quick` about one.
"""

from __future__ import annotations

import argparse
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
import xproc  # noqa: E402

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


def _reason(exc: Exception) -> str:
    detail = str(exc).strip().splitlines()
    return detail[-1] if detail else type(exc).__name__


def _guarded(label, fn, *args):
    """Run one measurement; a failure becomes a 'skipped' entry instead of ending the run."""
    started = time.monotonic()
    try:
        result = fn(*args)
    except Exception as exc:  # one broken backend must not sink the whole comparison
        result = {"skipped": f"failed: {_reason(exc)}"}
        if os.environ.get("QMBENCH_DEBUG"):
            traceback.print_exc()
    print(f"  {label}: {time.monotonic() - started:.1f} s", file=sys.stderr, flush=True)
    return result


def run(quick: bool, names: list[str] | None) -> dict:
    budget = common.Budget.for_mode(quick)
    r = {"quick": quick, "machine": machine(), "skipped": {}, "inproc": {}, "latency": {}, "stream": {},
         "fanout": {}, "paced": {}, "lapped": {}}
    print("floors", file=sys.stderr, flush=True)
    r["floors"] = {"noop_ns": floors.noop_call_ns(budget), "memcpy_gbps": floors.memcpy_gbps(budget),
                   "pingpong": floors.pingpong_floor(budget)}
    chosen = [b for b in backends.ALL if not names or b.name in names]
    for backend in chosen:
        reason = backend.available()
        if reason:
            r["skipped"][backend.name] = reason
            continue
        print(backend.name, file=sys.stderr, flush=True)
        _run_backend(backend, budget, r)
    r["machine"]["load_after"] = os.getloadavg()[0]
    r["targets"] = report.targets(r)
    return r


def _run_backend(backend, budget, r) -> None:
    name = backend.name
    measured = _guarded("in-process", inproc.measure, backend, budget)
    if "skipped" not in measured:
        r["inproc"][name] = {op: {str(s): v for s, v in by_size.items()} for op, by_size in measured.items()}
    if name == report.QM:
        # The floors again, right after the rows they are compared with; noise only ever makes a
        # floor look worse, so the stricter of the two readings stands.
        r["floors"]["noop_ns"] = min(r["floors"]["noop_ns"], floors.noop_call_ns(budget))
        r["floors"]["memcpy_gbps"] = max(r["floors"]["memcpy_gbps"], floors.memcpy_gbps(budget))
    try:
        with xproc.Bench(backend) as bench:
            _cross_process(bench, budget, r)
    except Exception as exc:  # the worker processes did not start
        failed = {"skipped": f"failed to start: {_reason(exc)}"}
        r["latency"].setdefault(name, failed)
        r["stream"].setdefault(name, {"64": failed})
        r["fanout"].setdefault(name, {"64": failed})
        r["paced"].setdefault(name, failed)


def _cross_process(bench, budget, r) -> None:
    name = bench.backend.name
    r["latency"][name] = _guarded("latency", xproc.latency, bench, budget)
    stream = r["stream"][name] = {}
    pair = bench.pair("stream64", 64)
    flat = stream["64"] = _guarded("stream 64 B", xproc.stream, pair, budget)
    ceiling = 1.2 * max(flat.get("written_per_s", 0.0), flat.get("delivered_per_s", 0.0), 1e4)
    r["paced"][name] = _guarded("paced", xproc.paced, pair, budget, ceiling)
    if bench.backend.skip_to_newest:
        r["lapped"][name] = _guarded("lapped reader", xproc.lapped, pair, budget)
    stream[str(common.MIB)] = _guarded("stream 1 MiB", xproc.stream, bench.pair("stream1m", common.MIB), budget)
    fanout = bench.pair("fanout", 64, xproc.FANOUT_READERS)
    r["fanout"][name] = {"64": _guarded("fan-out", xproc.stream, fanout, budget)}


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
