"""Entries across hosts: a quillmere bridge pair against plain Zenoh pub/sub, on loopback.

Plain: a Python process puts on a Zenoh key, another one takes it off (`recv`).
Bridge: a writer process writes a channel, `quillmere bridge publish` puts it on a key,
`quillmere bridge subscribe` writes it into a far channel, a reader process follows that one
(waiting on its doorbell). Both pairs use the same loopback TCP link and drop congestion
control, take turns within every round, and are measured at their final receiver:
- rate: entries delivered per second, the source sending on a schedule (in bursts when
  late) rather than in a loop as fast as it goes, so that it costs what producing its load
  costs. Each pair is offered more than it can carry (OFFERED_HZ); the bridge is also
  offered exactly what plain Zenoh delivered in the same round, which shows whether it
  carries that load. (A saturating source spins a core of its own; the bridge has four
  processes to run on what is left, plain Zenoh one.)
- latency: the source is paced; each payload carries its CLOCK_MONOTONIC send time, and the
  receiver reports p50/p99 of (arrival - send).

    python bench/bridge_bench.py [--rounds 3] [--quick]

Every process gets explicit tcp/127.0.0.1 endpoints with scouting and gossip off, and every
one stops by itself (bounded) or is stopped at the end of its trial.
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import subprocess
import sys
import time
import uuid
from collections.abc import Iterator
from contextlib import ExitStack, contextmanager

from common import free_port, start_stopped

KIB, MIB = 1024, 1024 * 1024
SIZES = {64: "64 B", MIB: "1 MiB"}
PACE_HZ = {64: 1000, MIB: 100}
OFFERED_HZ = {64: 1_000_000, MIB: 8000}
SLOTS = {64: 65536, MIB: 32}
FIRST_ENTRY_TIMEOUT = 30.0  # a pair connects in well under a second
SOURCE_LIFETIME = 120.0  # a source stops by itself even if nobody stops it


def loopback(port: int) -> str:
    return f"tcp/127.0.0.1:{port}"


def zenoh_session(listen: str | None = None, connect: str | None = None) -> object:
    import zenoh

    config = zenoh.Config()
    config.insert_json5("scouting/multicast/enabled", "false")
    config.insert_json5("scouting/gossip/enabled", "false")
    config.insert_json5("listen/endpoints", json.dumps([listen] if listen else []))
    config.insert_json5("connect/endpoints", json.dumps([connect] if connect else []))
    assert json.loads(config.get_json("scouting/multicast/enabled")) is False
    return zenoh.open(config)


# --- the two ends of each pair, run as `bridge_bench.py source|sink ...` -------------------

def source(kind: str, size: int, hz: float, where: str) -> None:
    """Sends `hz` entries a second until stopped; late entries go out at once, in a burst."""
    body = bytes(size - 8)
    if kind == "plain":
        import zenoh

        session = zenoh_session(connect=where)
        put = session.declare_publisher(  # type: ignore[attr-defined]
            "bench/plain", congestion_control=zenoh.CongestionControl.DROP).put
    else:
        import quillmere

        put = quillmere.BytesWriter(where, entry_length=size, entry_count=SLOTS[size]).write
    start = time.monotonic()
    sent = 0
    while (now := time.monotonic()) < start + SOURCE_LIFETIME:
        due = int((now - start) * hz) - sent
        if due <= 0:
            time.sleep((sent + 1) / hz - (now - start))
            continue
        for _ in range(due):
            put(time.monotonic_ns().to_bytes(8, "little") + body)
        sent += due


def arrivals(kind: str, where: str) -> Iterator[bytes]:
    """The first 8 bytes (the send time) of every entry as it arrives."""
    if kind == "plain":
        session = zenoh_session(listen=where)
        subscriber = session.declare_subscriber("bench/plain")  # type: ignore[attr-defined]
        while True:  # a user gets the payload's bytes: to_bytes() is part of receiving
            yield subscriber.recv().payload.to_bytes()[:8]
    import numpy
    import quillmere
    from quillmere_tools import follow
    from quillmere_tools._segments import Channel

    deadline = time.monotonic() + FIRST_ENTRY_TIMEOUT
    while True:  # the far channel is made by the first entry's arrival
        try:
            Channel(where).close()
            break
        except (OSError, ValueError):
            if time.monotonic() > deadline:
                return
            time.sleep(0.01)
    reader = quillmere.BytesReader(where, delayed_connect=False)
    out = numpy.empty(reader.entry_length, numpy.uint8)  # one copy a read, none allocated
    for _, payload in follow(reader, out=out, timeout=FIRST_ENTRY_TIMEOUT):
        yield payload[:8].tobytes()


def sink(kind: str, where: str, warmup: float, seconds: float) -> None:
    """Counts the entries arriving in a window that opens `warmup` seconds after the first
    one, and their latencies; prints one JSON line."""
    latencies: list[int] = []
    start = end = None
    for payload in arrivals(kind, where):
        now = time.monotonic_ns()
        if start is None:
            start = now + int(warmup * 1e9)
            end = start + int(seconds * 1e9)
        if now >= end:  # type: ignore[operator]
            break
        if now >= start:
            latencies.append(now - int.from_bytes(payload[:8], "little"))
    latencies.sort()
    print(json.dumps({"rate": len(latencies) / seconds,
                      "p50_us": latencies[len(latencies) // 2] / 1e3 if latencies else None,
                      "p99_us": latencies[int(len(latencies) * 0.99)] / 1e3 if latencies
                      else None}))


# --- orchestration ---------------------------------------------------------------------------

def spawn(stack: ExitStack, *args: str) -> subprocess.Popen[str]:
    return start_stopped(stack, list(args), stdout=subprocess.PIPE)


def me(*args: str) -> list[str]:
    return [sys.executable, os.path.abspath(__file__), *args]


def trial(kind: str, size: int, hz: float, warmup: float, seconds: float) -> dict[str, float]:
    import quillmere

    port = free_port()
    tag = uuid.uuid4().hex[:8]
    near, far = f"/qmbench-near-{tag}", f"/qmbench-far-{tag}"
    bridge = [sys.executable, "-m", "quillmere_tools", "bridge"]
    with ExitStack() as stack:
        stack.callback(quillmere.unlink, near)
        stack.callback(quillmere.unlink, far)
        if kind == "plain":
            receiver = spawn(stack, *me("sink", kind, loopback(port), str(warmup), str(seconds)))
            spawn(stack, *me("source", kind, str(size), str(hz), loopback(port)))
        else:
            receiver = spawn(stack, *me("sink", kind, far, str(warmup), str(seconds)))
            spawn(stack, *bridge, "subscribe", f"bench/{tag}", "--into", far,
                  "--listen", loopback(port))
            spawn(stack, *bridge, "publish", near, "--key", f"bench/{tag}",
                  "--connect", loopback(port))
            spawn(stack, *me("source", kind, str(size), str(hz), near))
        out, _ = receiver.communicate(timeout=FIRST_ENTRY_TIMEOUT + warmup + seconds + 30)
        return dict(json.loads(out))


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--quick", action="store_true", help="short windows (a smoke run)")
    args = parser.parse_args()
    warmup, seconds = (0.2, 0.5) if args.quick else (0.5, 2.0)
    results: dict[tuple[str, int, str], list[dict[str, float]]] = {}
    for round_number in range(args.rounds):
        for size in SIZES:
            def run(kind: str, mode: str, hz: float, window: float) -> dict[str, float]:
                results.setdefault((kind, size, mode), []).append(
                    trial(kind, size, hz, warmup, window))
                print(f"round {round_number + 1} {SIZES[size]:>5} {mode:7} {kind:6} "
                      f"{results[(kind, size, mode)][-1]}", file=sys.stderr, flush=True)
                return results[(kind, size, mode)][-1]

            # Alternate who goes first, so neither always runs on a warmer machine.
            kinds = ("plain", "bridge") if round_number % 2 == 0 else ("bridge", "plain")
            for kind in kinds:
                run(kind, "rate", OFFERED_HZ[size], seconds)
            run("bridge", "matched", results[("plain", size, "rate")][-1]["rate"], seconds)
            for kind in kinds:
                run(kind, "latency", PACE_HZ[size], seconds * 1.5)
    report(results, args.rounds)


def median(runs: list[dict[str, float]], key: str) -> float:
    return statistics.median(run[key] for run in runs if run[key] is not None)


def report(results: dict[tuple[str, int, str], list[dict[str, float]]], rounds: int) -> None:
    print(f"\nMedians of {rounds} rounds; latency paced "
          f"({', '.join(f'{SIZES[s]} at {PACE_HZ[s]} Hz' for s in SIZES)}).\n")
    print("| entry | pair | delivered/s, saturated | at plain Zenoh's rate | p50 µs | p99 µs |")
    print("|---|---|---:|---:|---:|---:|")
    for size in SIZES:
        for kind in ("plain", "bridge"):
            rate = median(results[(kind, size, "rate")], "rate")
            matched = "" if kind == "plain" else \
                f"{median(results[('bridge', size, 'matched')], 'rate'):,.0f}"
            lat = results[(kind, size, "latency")]
            print(f"| {SIZES[size]} | {'plain Zenoh' if kind == 'plain' else 'bridge pair'} | "
                  f"{rate:,.0f} | {matched} | {median(lat, 'p50_us'):,.0f} | "
                  f"{median(lat, 'p99_us'):,.0f} |")
    print("\n| entry | bridge / plain, saturated | at plain's rate | bridge p50 vs plain |")
    print("|---|---:|---:|---:|")
    for size in SIZES:
        plain = median(results[("plain", size, "rate")], "rate")
        saturated = median(results[("bridge", size, "rate")], "rate") / plain
        matched = median(results[("bridge", size, "matched")], "rate") / plain
        p50 = median(results[("bridge", size, "latency")], "p50_us") / \
            median(results[("plain", size, "latency")], "p50_us") - 1
        print(f"| {SIZES[size]} | {saturated:.0%} | {matched:.0%} | {p50:+.0%} |")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "source":
        source(sys.argv[2], int(sys.argv[3]), float(sys.argv[4]), sys.argv[5])
    elif len(sys.argv) > 1 and sys.argv[1] == "sink":
        sink(sys.argv[2], sys.argv[3], float(sys.argv[4]), float(sys.argv[5]))
    else:
        main()
