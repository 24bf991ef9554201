"""What a bridge publisher following a channel costs that channel's writer.

The publisher reads through a read-only mapping and takes no role, but while it sleeps on the
channel's doorbell it is counted in the trailer, and every write in that time makes a wake
call. This times the writer's `write` of 64 B entries in this process, call by call, with
nobody following the channel ("alone") and with a `quillmere bridge publish` process
following it ("publisher"; a `quillmere bridge subscribe` process takes its entries on
loopback). Paced at 1 kHz the publisher sleeps before every entry, so every write wakes it;
flat out it is mostly awake and the writer rarely makes the call.

    python bench/bridge_writer_cost.py [--rounds 5] [--quick]

Both setups take turns within every round (alternating which goes first); reported are the
medians over rounds of each round's median and p99 per write, and the median over rounds of
the ratio publisher / alone.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time
import uuid
from contextlib import ExitStack

import quillmere
from common import free_port, start_stopped

LENGTH, SLOTS = 64, 1024
READY_TIMEOUT = 30.0  # a bridge pair forwards within a second or two


def spawn(stack: ExitStack, *args: str) -> None:
    start_stopped(stack, [sys.executable, "-m", "quillmere_tools", "bridge", *args])


def start_bridge(stack: ExitStack, writer: quillmere.BytesWriter, near: str, far: str) -> None:
    """A publisher on `near` and a subscriber into `far`, returned once entries flow."""
    port, key = free_port(), f"bench/{uuid.uuid4().hex[:8]}"
    stack.callback(quillmere.unlink, far)
    spawn(stack, "subscribe", key, "--into", far, "--listen", f"tcp/127.0.0.1:{port}")
    spawn(stack, "publish", near, "--key", key, "--connect", f"tcp/127.0.0.1:{port}")
    reader = quillmere.BytesReader(far)
    deadline = time.monotonic() + READY_TIMEOUT
    while reader.read() is None:
        if time.monotonic() > deadline:
            raise RuntimeError("the bridge pair forwarded nothing")
        writer.write(bytes(LENGTH))
        time.sleep(0.002)


def timed_writes(writer: quillmere.BytesWriter, count: int, hz: float | None) -> list[int]:
    """ns of each of `count` writes, one every 1/hz seconds (None: back to back)."""
    write, clock, payload = writer.write, time.perf_counter_ns, bytes(LENGTH)
    samples = [0] * count
    start = time.monotonic()
    for i in range(count):
        if hz is not None:
            delay = start + i / hz - time.monotonic()
            if delay > 0:
                time.sleep(delay)
        before = clock()
        write(payload)
        samples[i] = clock() - before
    return samples


def trial(setup: str, count: int, hz: float | None) -> tuple[float, float]:
    """(median, p99) ns per write."""
    tag = uuid.uuid4().hex[:8]
    near, far = f"/qmbench-cost-near-{tag}", f"/qmbench-cost-far-{tag}"
    with ExitStack() as stack:
        writer = quillmere.BytesWriter(near, entry_length=LENGTH, entry_count=SLOTS)
        stack.callback(quillmere.unlink, near)
        if setup == "publisher":
            start_bridge(stack, writer, near, far)
        samples = sorted(timed_writes(writer, count, hz))
        del writer
    return statistics.median(samples), samples[int(len(samples) * 0.99)]


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quick", action="store_true", help="short trials (a smoke run)")
    args = parser.parse_args()
    loads = {"1 kHz": (500 if args.quick else 3000, 1000.0),
             "flat out": (20_000 if args.quick else 300_000, None)}
    setups = ["alone", "publisher"]
    results: dict[tuple[str, str], list[tuple[float, float]]] = {}
    for round_number in range(args.rounds):
        for load, (count, hz) in loads.items():
            order = setups if round_number % 2 == 0 else setups[::-1]
            for setup in order:
                results.setdefault((load, setup), []).append(trial(setup, count, hz))
        print(f"round {round_number + 1}/{args.rounds} done", file=sys.stderr, flush=True)
    print(f"64 B writes, ns per write: medians over {args.rounds} rounds "
          f"(load average {os.getloadavg()[0]:.1f})")
    print(f"{'load':<10}{'alone p50':>11}{'publisher p50':>15}{'ratio':>7}"
          f"{'alone p99':>11}{'publisher p99':>15}{'ratio':>7}")
    for load in loads:
        alone = results[(load, "alone")]
        publisher = results[(load, "publisher")]
        cells = []
        for at in (0, 1):  # p50, p99
            mine = [statistics.median(r[at] for r in rs) for rs in (alone, publisher)]
            ratio = statistics.median(p[at] / a[at] for a, p in zip(alone, publisher))
            cells.append(f"{mine[0]:>11.0f}{mine[1]:>15.0f}{ratio:>7.2f}")
        print(f"{load:<10}{''.join(cells)}")


if __name__ == "__main__":
    main()
