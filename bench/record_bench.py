"""Recording and replaying channels: what `quillmere record` keeps up with, what it costs, and
how faithfully `quillmere replay` reproduces the timing.

1. Target load: two writer processes at once, 64 B entries at 50 kHz and 921,600 B frames
   (uint8 480x640x3) at 200 Hz, for --seconds; one `quillmere record` process records both.
   Reported per compression: entries lost per channel, the recorder's CPU (utime + stime
   over the writing window, in % of one core) and the file size.
2. Highest loss-free rate per entry size, one channel at a time: the rate doubles from a
   start until the recorder loses an entry; the last rate without loss is reported, next to
   the rate the writer really reached.
3. Replay timing: a recording (64 B at 1 kHz and frames at 200 Hz, 5 s) replayed by
   `quillmere replay` at rate 1.0 into new names, --replays times; per run, the inter-entry
   timing error against the recording and the lateness (p50/p99, as replay measures them when
   each write returns); the medians over the runs.
4. Round trip: the same recording replayed while a second recorder records the new names.
   Reported: replay's own measure as above, the inter-entry timing error between the two
   recordings (p50/p99 of |gap2 - gap1|, which adds both recorders' wake-up jitter), and
   whether every payload matches.

    python bench/record_bench.py [--seconds 20] [--probe-seconds 4] [--replays 5] [--quick]

Writers pace themselves on a schedule (in bursts when late) and write random payloads, which
no compressor shrinks: the recorder's worst case. Rings: 8192 entries of 64 B (164 ms at
50 kHz), 32 frames (160 ms at 200 Hz).
"""

from __future__ import annotations

import argparse
import json
import os
import signal
import statistics
import subprocess
import sys
import tempfile
import time
import uuid
from contextlib import ExitStack

import numpy

import quillmere
from quillmere_tools import trailer_state
from quillmere_tools.recording import open_recording

FRAME = 480 * 640 * 3
RINGS = {64: 8192, FRAME: 32}
TICKS = os.sysconf("SC_CLK_TCK")

WRITER = r"""
import json, os, sys, time
import quillmere
name, size, count, rate, seconds = sys.argv[1], *map(float, sys.argv[2:6])
size, count = int(size), int(count)
writer = quillmere.BytesWriter(name, entry_length=size, entry_count=count)
payloads = [os.urandom(size) for _ in range(4)]
print("ready", flush=True)
sys.stdin.readline()
total, written, start = int(rate * seconds), 0, time.monotonic()
while written < total:
    due = min(total, int((time.monotonic() - start) * rate) + 1)
    while written < due:
        writer.write(payloads[written & 3])
        written += 1
    time.sleep(0.0002)
print(json.dumps({"written": written, "seconds": time.monotonic() - start}), flush=True)
sys.stdin.readline()
"""


def command(*args: str) -> list[str]:
    return [sys.executable, "-m", "quillmere_tools", *args]


def cpu_seconds(pid: int) -> float:
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS


def eventually(condition, what: str, limit: float = 60.0) -> None:
    deadline = time.monotonic() + limit
    while not condition():
        if time.monotonic() > deadline:
            raise RuntimeError(f"never happened: {what}")
        time.sleep(0.01)


def waiting(name: str) -> bool:
    try:
        return trailer_state(name).waiters > 0
    except FileNotFoundError:
        return False


def record_run(loads: list[tuple[int, float]], seconds: float, path: str,
               compression: str = "zstd") -> dict:
    """Writers for `loads` (entry size, rate) recorded by one recorder process for
    `seconds`; the recorder's summary, its CPU share and what the writers wrote."""
    names = [f"/qmbench-rec-{size}-{uuid.uuid4().hex[:8]}" for size, _ in loads]
    with ExitStack() as stack:
        writers = []
        for name, (size, rate) in zip(names, loads):
            writer = subprocess.Popen(
                [sys.executable, "-c", WRITER, name, str(size), str(RINGS[size]), str(rate),
                 str(seconds)], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
            stack.callback(writer.kill)
            stack.callback(quillmere.unlink, name)
            assert writer.stdout.readline().strip() == "ready"
            writers.append(writer)
        recorder = subprocess.Popen(
            command("record", *names, "-o", path, "--json", "--compression", compression),
            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        stack.callback(recorder.kill)
        for name in names:
            eventually(lambda: waiting(name), "the recorder follows " + name)
        cpu_before, began = cpu_seconds(recorder.pid), time.monotonic()
        for writer in writers:
            writer.stdin.write("go\n")
            writer.stdin.flush()
        wrote = [json.loads(writer.stdout.readline()) for writer in writers]
        time.sleep(0.3)  # the recorder reads what is left
        cpu = (cpu_seconds(recorder.pid) - cpu_before) / (time.monotonic() - began)
        recorder.send_signal(signal.SIGINT)
        out, err = recorder.communicate(timeout=120)
        if recorder.returncode != 0:
            raise RuntimeError(f"recorder failed: {err}")
        for writer in writers:
            writer.stdin.write("done\n")
            writer.stdin.flush()
            writer.wait(60)
    summary = json.loads(out)
    channels = [summary["channels"][name] for name in names]
    return {"channels": channels, "wrote": wrote, "cpu": cpu,
            "file_bytes": sum(os.path.getsize(f) for f in summary["files"]), "names": names}


def label(size: int) -> str:
    return "64 B" if size == 64 else "921,600 B frames"


def target_load(seconds: float, directory: str) -> None:
    print(f"1. 64 B at 50 kHz and 921,600 B frames at 200 Hz together, {seconds:g} s")
    print(f"   {'compression':<12}{'lost 64 B':>10}{'lost frames':>13}{'recorder CPU':>14}"
          f"{'file MB':>10}{'MB/s in':>9}")
    for compression in ("zstd", "lz4", "none"):
        run = record_run([(64, 50_000), (FRAME, 200)], seconds,
                         os.path.join(directory, f"target-{compression}.mcap"), compression)
        lost = [c["lost"] + (w["written"] - c["entries"] - c["lost"])
                for c, w in zip(run["channels"], run["wrote"])]
        rate = sum(c["bytes"] for c in run["channels"]) / seconds / 1e6
        print(f"   {compression:<12}{lost[0]:>10}{lost[1]:>13}{run['cpu'] * 100:>13.0f}%"
              f"{run['file_bytes'] / 1e6:>10.0f}{rate:>9.0f}", flush=True)


def loss_free(size: int, start: float, seconds: float, directory: str) -> None:
    best, rate, reached = None, start, None
    while True:
        run = record_run([(size, rate)], seconds, os.path.join(directory, "probe.mcap"))
        channel, wrote = run["channels"][0], run["wrote"][0]
        lost = wrote["written"] - channel["entries"]
        achieved = wrote["written"] / wrote["seconds"]
        print(f"   {label(size):<18} offered {rate:>9.0f}/s  writer reached {achieved:>9.0f}/s"
              f"  lost {lost:>7}  recorder CPU {run['cpu'] * 100:4.0f}%", flush=True)
        if lost or achieved < 0.9 * rate:
            break
        best, reached = rate, achieved
        rate *= 2
    print(f"   => highest loss-free rate for {label(size)}: "
          f"{'none' if best is None else f'{best:.0f}/s (writer reached {reached:.0f}/s)'}")


def replay_into(path: str, maps: list[str]) -> dict:
    """`quillmere replay` at rate 1.0 with `maps`; its --json summary."""
    replayed = subprocess.run(command("replay", path, *maps, "--json"), text=True,
                              capture_output=True, timeout=120)
    if replayed.returncode:
        raise RuntimeError(replayed.stderr)
    return json.loads(replayed.stdout)


def replay_measure(played: dict) -> str:
    error, lateness = played["timing_error_us"], played["lateness_us"]
    return (f"inter-entry timing error p50 {error['p50']:.1f} us, p99 {error['p99']:.1f} us; "
            f"lateness p50 {lateness['p50']:.1f} us, p99 {lateness['p99']:.1f} us")


def replay_timing(first: str, names: list[str], replays: int) -> None:
    print(f"3. Replay at rate 1.0 of 64 B at 1 kHz and frames at 200 Hz for 5 s, {replays} runs")
    runs = []
    for run in range(replays):
        maps = [arg for old in names for arg in ("--map", f"{old}={old}-replay{run}")]
        runs.append(replay_into(first, maps))
        print(f"   run {run + 1}: {replay_measure(runs[-1])}", flush=True)
    median = {key: {q: statistics.median(r[key][q] for r in runs) for q in ("p50", "p99")}
              for key in ("timing_error_us", "lateness_us")}
    print(f"   => median of the runs: {replay_measure(median)}")


def round_trip(first: str, names: list[str]) -> None:
    print("4. Round trip: that recording replayed at rate 1.0 into new names while recorded "
          "again")
    new = [name + "-again" for name in names]
    again = os.path.join(os.path.dirname(first), "again.mcap")
    makers = [quillmere.BytesReader(name, entry_length=size, entry_count=RINGS[size])
              for name, size in zip(new, (64, FRAME))]
    try:
        recorder = subprocess.Popen(command("record", *new, "-o", again, "--json"),
                                    stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        for name in new:
            eventually(lambda: waiting(name), "the recorder follows " + name)
        played = replay_into(first, [arg for old, name in zip(names, new)
                                     for arg in ("--map", f"{old}={name}")])
        time.sleep(0.3)
        recorder.send_signal(signal.SIGINT)
        recorder.communicate(timeout=60)
    finally:
        del makers
        for name in new:
            quillmere.unlink(name)
    print(f"   replay, as it measures itself: {replay_measure(played)}")
    with open_recording(first) as one, open_recording(again) as two:
        a, b = list(one), list(two)
    for old, name, size in zip(names, new, (64, FRAME)):
        x = [e for e in a if e.channel == old]
        # The k-th entry replayed is entry_seq k of the new channel: entries the second
        # recorder lost are left out of the comparison, and counted.
        y = {e.entry_seq: e for e in b if e.channel == name}
        pairs = [(x[k - 1], e) for k, e in sorted(y.items()) if k <= len(x)]
        same = all(numpy.asarray(p.payload).tobytes() == numpy.asarray(q.payload).tobytes()
                   for p, q in pairs)
        gaps = [abs((q2.time_ns - q1.time_ns) - (p2.time_ns - p1.time_ns))
                for (p1, q1), (p2, q2) in zip(pairs, pairs[1:])
                if q2.entry_seq == q1.entry_seq + 1]
        print(f"   {label(size):<18} entries {len(x)} -> {len(y)} "
              f"({len(x) - len(pairs)} lost by the second recorder), payloads "
              f"{'all equal' if same else 'DIFFER'}, inter-entry timing error p50 "
              f"{statistics.median(gaps) / 1e3:.1f} us, p99 "
              f"{numpy.percentile(gaps, 99) / 1e3:.1f} us")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=20.0)
    parser.add_argument("--probe-seconds", type=float, default=4.0)
    parser.add_argument("--replays", type=int, default=5)
    parser.add_argument("--only-replay", action="store_true", help="parts 3 and 4 alone")
    parser.add_argument("--quick", action="store_true", help="2 s target run, 1 s probes")
    args = parser.parse_args()
    if args.quick:
        args.seconds, args.probe_seconds = 2.0, 1.0
    with tempfile.TemporaryDirectory(prefix="qm-record-bench-") as directory:
        if not args.only_replay:
            target_load(args.seconds, directory)
            print("2. Highest loss-free rate, one channel at a time, zstd, "
                  f"{args.probe_seconds:g} s per probe")
            loss_free(64, 25_000, args.probe_seconds, directory)
            loss_free(FRAME, 100, args.probe_seconds, directory)
        first = os.path.join(directory, "first.mcap")
        names = record_run([(64, 1000), (FRAME, 200)], 5.0, first)["names"]
        replay_timing(first, names, args.replays)
        round_trip(first, names)


if __name__ == "__main__":
    main()
