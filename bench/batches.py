"""Batches (quillmere_tools.read_batch / write_batch) against single calls and the peers, in one run.

    python bench/batches.py [--quick] [--baseline SITE] [--json out.json]

Cross-process: 64 B entries streamed between two processes, the writer flat out, for every
peer of the suite that imports here (its own fastest copying path) and for quillmere read
by a plain `read()` loop, a `read(out=)` loop and `read_batch`, round by round in a
shuffled order. In-process, in child interpreters taking turns: `write` and `write_batch`
per entry, `read_batch` of 1 KiB entries against a memcpy (numpy.copyto) of the same bytes,
and, with `--baseline` (a directory holding another build's `quillmere` module, e.g. of
main), single `read(out=)` and `write` of that build and of this one side by side.
Medians over the rounds, ratios in the last columns.
"""

from __future__ import annotations

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import backends  # noqa: E402
import common  # noqa: E402
import xproc  # noqa: E402

STREAM_ROWS = 256  # rows per read_batch of the streaming reader
STREAM_CAPACITY = 256 * 1024  # entries per streaming channel, for every backend
WRITE_ROWS = 1024  # rows per write_batch, in-process
KIB_ROWS = 256  # 1 KiB rows per read_batch (256 KiB a batch)


# --------------------------------------------------------------------------- across processes


def _trial(bench, seconds, mode, *, rows=None, write_rows=None):
    """quillmere's stream64 channel: the writer flat out (`write_rows` per write_batch, or
    write()), the reader in `mode`; the same summary as the suite's streaming rows."""
    start = common.now() + xproc.START_DELAY_S
    write = {"task": "write", "size": 64, "start": start, "duration": seconds, "rate": None,
             "batch": write_rows, "ends": [("writer", "stream64")]}
    read = {"task": "read", "start": start, "duration": seconds, "grace": xproc.LOSSY_GRACE_S,
            "lossy": True, "mode": mode, "rows": rows, "work_ns": 0,
            "ends": [("reader", "stream64", 0)]}
    wrote, got = bench.session.run([write, read], timeout=seconds + xproc.START_DELAY_S + 30)
    return xproc._stream_summary(64, wrote, [got])


def streaming(rounds: int, seconds: float, capacity: int) -> dict:
    # Every backend's stream64 channel gets `capacity` entries (ring slots, queue bound,
    # high-water mark). On two shared cores the writer and the reader seldom run at once: a
    # ring the reader drains within one time slice would measure the scheduler, not the reader.
    xproc.STREAM_CAPACITY[64] = capacity
    qm = backends.BY_NAME["quillmere"]
    rows = {
        "quillmere read() loop": lambda b: _trial(b, seconds, "read"),
        "quillmere read(out=) loop": lambda b: _trial(b, seconds, "read_out"),
        "quillmere read_batch, write() writer": lambda b: _trial(b, seconds, "batch", rows=STREAM_ROWS),
        "quillmere read_batch, write_batch writer": lambda b: _trial(
            b, seconds, "batch", rows=STREAM_ROWS, write_rows=STREAM_ROWS),
    }
    peers = [b for b in backends.ALL if b is not qm and b.available() is None]
    benches = {}
    try:
        benches[qm.name] = xproc.Bench(qm).__enter__()
        for peer in peers:
            try:
                benches[peer.name] = xproc.Bench(peer).__enter__()
            except Exception as exc:
                print(f"  {peer.name}: skipped ({common.reason(exc)})", file=sys.stderr)
        for peer in peers:
            if peer.name in benches:
                rows[peer.name] = lambda b: xproc.stream(b.pair("stream64", 64), _Budget(seconds))
        owner = {label: (qm.name if label.startswith("quillmere") else label) for label in rows}
        samples: dict[str, list[dict]] = {label: [] for label in rows}
        for turn in range(rounds):
            for label in common.turn_order(list(rows), turn):
                try:
                    samples[label].append(rows[label](benches[owner[label]]))
                except Exception as exc:
                    print(f"  {label}: round {turn} failed ({common.reason(exc)})", file=sys.stderr)
    finally:
        for bench in benches.values():
            bench.__exit__(None, None, None)
    return {label: {key: statistics.median(got[key] for got in values)
                    for key in ("delivered_per_s", "written_per_s", "seen")}
            for label, values in samples.items() if values}


class _Budget:
    def __init__(self, seconds):
        self.stream_seconds = seconds


# --------------------------------------------------------------------------- in process

CHILD = r"""
import json, sys
sys.path.insert(0, sys.argv[1])
import numpy, quillmere, common
full = sys.argv[2] == "full"
repeats = int(sys.argv[3])
name = common.unique_name("batches")
w = quillmere.BytesWriter(name, entry_length=64, entry_count=4096)
r = quillmere.BytesReader(name)
ns = {"w": w, "r": r, "data": bytes(64), "out": numpy.empty(64, numpy.uint8)}
ns["fill"] = lambda: [w.write(ns["data"]) for _ in range(2048)]
got = {}
try:
    got["write_ns"] = common.per_call_ns("w.write(data)", ns, number=2048, repeats=repeats)
    got["read_ns"] = common.per_call_ns("r.read(out=out)", ns, setup="fill()", number=2048,
                                        repeats=repeats)
    if full:
        from quillmere_tools import read_batch, write_batch
        ns.update(read_batch=read_batch, write_batch=write_batch,
                  block=numpy.zeros((%(write_rows)d, 64), numpy.uint8),
                  rows=numpy.empty((%(write_rows)d, 64), numpy.uint8))
        got["write_batch_ns"] = common.per_call_ns(
            "write_batch(w, block)", ns, number=1, repeats=repeats * 8) / %(write_rows)d
        got["read_batch_ns"] = common.per_call_ns(
            "read_batch(r, rows)", ns, setup="write_batch(w, block)", number=1,
            repeats=repeats * 8) / %(write_rows)d
        big = name + "-1k"
        w1 = quillmere.BytesWriter(big, entry_length=1024, entry_count=2 * %(kib_rows)d)
        r1 = quillmere.BytesReader(big)
        src = numpy.ones((%(kib_rows)d, 1024), numpy.uint8)
        dst = numpy.empty_like(src)
        ns.update(w1=w1, r1=r1, src=src, dst=dst, copyto=numpy.copyto)
        try:
            t = common.per_call_ns("read_batch(r1, dst)", ns, setup="write_batch(w1, src)",
                                   number=1, repeats=repeats * 8)
            got["read_batch_1k_gb_s"] = src.nbytes / t
            got["memcpy_gb_s"] = src.nbytes / common.per_call_ns(
                "copyto(dst, src)", ns, number=1, repeats=repeats * 8)
        finally:
            del w1, r1
            quillmere.unlink(big)
finally:
    del w, r
    ns.clear()
    quillmere.unlink(name)
print(json.dumps(got))
"""


def _child(site: str | None, full: bool, repeats: int) -> dict:
    env = dict(os.environ)
    if site:
        env["PYTHONPATH"] = site + os.pathsep + env.get("PYTHONPATH", "")
    code = CHILD % {"write_rows": WRITE_ROWS, "kib_rows": KIB_ROWS}
    done = subprocess.run([sys.executable, "-c", code, str(HERE), "full" if full else "single",
                           str(repeats)], env=env, capture_output=True, text=True, timeout=300,
                          check=True)
    return json.loads(done.stdout)


def in_process(rounds: int, repeats: int, baseline: str | None) -> dict:
    """Child interpreters taking turns: this build (all rows), the baseline (single calls)."""
    runs: dict[str, list[dict]] = {"this": [], "baseline": []}
    for turn in range(rounds):
        for who in common.turn_order(["this", "baseline"] if baseline else ["this"], turn):
            runs[who].append(_child(baseline if who == "baseline" else None, who == "this", repeats))
    return {who: {key: statistics.median(run[key] for run in got) for key in got[0]}
            for who, got in runs.items() if got}


# --------------------------------------------------------------------------- report


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--baseline", help="directory holding another build's quillmere module")
    parser.add_argument("--json", help="write the numbers here too")
    parser.add_argument("--capacity", type=int, default=STREAM_CAPACITY,
                        help=f"entries per streaming channel (default {STREAM_CAPACITY})")
    args = parser.parse_args()
    rounds, seconds, repeats = (3, 0.3, 10) if args.quick else (5, 0.5, 30)
    print(f"load average before: {os.getloadavg()[0]:.2f}, {os.cpu_count()} cores")
    stream = streaming(rounds, seconds, args.capacity)
    inproc = in_process(rounds, repeats, args.baseline)
    print(f"\n64 B streamed between two processes through {args.capacity} entries, "
          f"entries/s (median of {rounds} rounds)")
    delivered = {label: got["delivered_per_s"] for label, got in stream.items()}
    peers = {k: v for k, v in delivered.items() if not k.startswith("quillmere")}
    best_peer = max(peers, key=peers.get) if peers else None
    plain = delivered.get("quillmere read() loop")
    print(f"  {'':<42} {'delivered':>10}   {'written':>10}   {'seen':>5}")
    for label, rate in sorted(delivered.items(), key=lambda kv: -kv[1]):
        ratios = []
        if best_peer:
            ratios.append(f"{rate / peers[best_peer]:5.2f}x best peer")
        if plain:
            ratios.append(f"{rate / plain:5.2f}x read() loop")
        got = stream[label]
        print(f"  {label:<42} {rate / 1e6:6.2f} M/s   {got['written_per_s'] / 1e6:6.2f} M/s   "
              f"{got['seen']:5.0%}   " + "   ".join(ratios))
    this = inproc["this"]
    print(f"\nin process (median of {rounds} child runs)")
    print(f"  write() of 64 B          {this['write_ns']:7.1f} ns/entry")
    print(f"  write_batch of 64 B      {this['write_batch_ns']:7.1f} ns/entry   "
          f"{this['write_batch_ns'] / this['write_ns']:.3f} of write()")
    print(f"  read(out=) of 64 B       {this['read_ns']:7.1f} ns/entry")
    print(f"  read_batch of 64 B       {this['read_batch_ns']:7.1f} ns/entry   "
          f"{this['read_batch_ns'] / this['read_ns']:.3f} of read(out=)")
    print(f"  read_batch of 1 KiB      {this['read_batch_1k_gb_s']:7.2f} GB/s       "
          f"memcpy {this['memcpy_gb_s']:.2f} GB/s: "
          f"{this['read_batch_1k_gb_s'] / this['memcpy_gb_s']:.0%}")
    if "baseline" in inproc:
        base = inproc["baseline"]
        print("\nsingle calls, this build against the baseline build (ns/call)")
        for key, label in (("write_ns", "write()"), ("read_ns", "read(out=)")):
            print(f"  {label:<12} baseline {base[key]:6.1f}   this {this[key]:6.1f}   "
                  f"this/baseline {this[key] / base[key]:.3f}")
    if args.json:
        pathlib.Path(args.json).write_text(json.dumps({"stream": stream, "inproc": inproc}, indent=2))


if __name__ == "__main__":
    main()
