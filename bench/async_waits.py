"""One channel's asyncio wake-up while many other waits are pending, all in one run.

    python bench/async_waits.py [--rounds N] [--quiet 0,200] [--rate HZ] [--seconds S]
                                [--base-site DIR]

A writer process publishes 64-byte entries stamped with CLOCK_MONOTONIC on one busy channel
at --rate; a reader process awaits each one with Doorbell.wait_async while --quiet other
waits are pending on channels that never get an entry. Reported per setting: wake-up
latency p50 and p99 (the median over rounds of each round's value), and the ratio to the
setting without quiet waits. Settings (and with --base-site, builds) alternate in every
round. Target: p99 under 1 ms with 200 quiet waits, whatever the count.
"""

from __future__ import annotations

import argparse
import os
import pathlib
import random
import statistics
import struct
import subprocess
import sys

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import common  # noqa: E402

STAMP = struct.Struct("<q")

READER = """
import asyncio, struct, sys, time
import quillmere
from quillmere_tools import Doorbell
busy, quiet_count, count = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
quiet_names = [f"{busy}-q{k}" for k in range(quiet_count)]
quiet = [quillmere.BytesWriter(name, entry_length=64, entry_count=4) for name in quiet_names]
reader = quillmere.BytesReader(busy, entry_length=64, entry_count=4096)

async def main():
    bells = [Doorbell(name) for name in quiet_names]
    pending = [asyncio.ensure_future(bell.wait_async(0)) for bell in bells]
    await asyncio.sleep(0.1)
    latencies = []
    with Doorbell(busy) as bell:
        print("ready", flush=True)
        seen = 0
        while len(latencies) < count:
            if not await bell.wait_async(seen, 5):
                break
            arrived = time.monotonic_ns()
            got = reader.read()
            while got is not None:
                seen = got[0]
                latencies.append(arrived - struct.unpack_from("<q", got[1])[0])
                got = reader.read()
    for task in pending:
        task.cancel()
    await asyncio.gather(*pending, return_exceptions=True)
    print(" ".join(map(str, latencies)), flush=True)

try:
    asyncio.run(main())
finally:
    for name in quiet_names:
        quillmere.unlink(name)
"""

WRITER = """
import struct, sys, time
import quillmere
busy, rate, count = sys.argv[1], float(sys.argv[2]), int(sys.argv[3])
writer = quillmere.BytesWriter(busy, entry_length=64, entry_count=4096)
sys.stdin.readline()
pad = bytes(56)
due = time.monotonic()
for _ in range(count):
    due += 1 / rate
    left = due - time.monotonic()
    if left > 0:
        time.sleep(left)
    writer.write(struct.pack("<q", time.monotonic_ns()) + pad)
sys.stdin.readline()
"""


def one_round(site: str, quiet: int, rate: float, seconds: float) -> list[int]:
    env = dict(os.environ)
    if site:
        env["PYTHONPATH"] = site
    name = common.unique_name("async")
    count = int(rate * seconds)
    writer = subprocess.Popen([sys.executable, "-c", WRITER, name, str(rate), str(count)],
                              env=env, stdin=subprocess.PIPE, text=True)
    try:
        reader = subprocess.Popen([sys.executable, "-c", READER, name, str(quiet), str(count)],
                                  env=env, stdout=subprocess.PIPE, text=True)
        assert reader.stdout is not None and writer.stdin is not None
        assert reader.stdout.readline().strip() == "ready"
        writer.stdin.write("go\n")
        writer.stdin.flush()
        latencies = [int(x) for x in reader.stdout.readline().split()]
        reader.wait(timeout=60)
        return latencies
    finally:
        if writer.stdin is not None:
            writer.stdin.close()
        writer.wait(timeout=60)
        import quillmere

        quillmere.unlink(name)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--quiet", default="0,200", help="quiet waits per setting")
    parser.add_argument("--rate", type=float, default=200.0)
    parser.add_argument("--seconds", type=float, default=2.0)
    parser.add_argument("--base-site", help="site directory of a build to compare with")
    args = parser.parse_args()
    builds = {"this build": ""}
    if args.base_site:
        builds["base build"] = args.base_site
    settings = [(b, int(q)) for b in builds for q in args.quiet.split(",")]
    p50: dict[tuple[str, int], list[float]] = {s: [] for s in settings}
    p99: dict[tuple[str, int], list[float]] = {s: [] for s in settings}
    for _ in range(args.rounds):
        for build, quiet in random.sample(settings, len(settings)):
            got = sorted(one_round(builds[build], quiet, args.rate, args.seconds))
            p50[(build, quiet)].append(common.percentile(got, 0.5) / 1e3)
            p99[(build, quiet)].append(common.percentile(got, 0.99) / 1e3)
    print(f"\nasyncio wake-up of one channel at {args.rate:g} Hz while other waits are pending "
          f"(median of {args.rounds} rounds)")
    print(f"  {'build':12} {'quiet waits':>11} {'p50 us':>8} {'p99 us':>8} {'p99 / no quiet':>15}")
    for build, quiet in settings:
        m50, m99 = statistics.median(p50[(build, quiet)]), statistics.median(p99[(build, quiet)])
        alone = statistics.median(p99[(build, settings[0][1])])
        print(f"  {build:12} {quiet:11d} {m50:8.1f} {m99:8.1f} {m99 / alone:15.2f}")


if __name__ == "__main__":
    main()
