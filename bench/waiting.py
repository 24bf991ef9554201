"""A waiting quillmere reader against the blocking peers, all in one run.

    python bench/waiting.py [--quick] [--plot] [--base-site DIR] [--json out.json]
                            [--rounds N] [--rates 1000,10000] [--only A,B] [--paced-only]

- paced: a writer at 1 kHz and 10 kHz sends 64-byte entries stamped with CLOCK_MONOTONIC; a
  reader process blocks for each one (quillmere_tools.follow, the natural read() and
  wait(reader) loop, Pipe.recv_bytes, Queue.get,
  pyzmq recv, faster-fifo get, an iceoryx2 Listener wait followed by a receive). Reported:
  wake-up latency p50/p99 and the reader's CPU time as a share of one core.
- flat-out: a writer process writes as fast as it can; a reader counts what it gets per
  second with follow() and with a busy-polling read() loop, side by side.
- writer cost: ns per 64-byte write() with nobody waiting, this build against the build in
  --base-site (a `pip install --target` of the commit to compare with), with one waiter, and
  with a follow() iterator that took one entry and is kept without being called.
- against Pipe: each quillmere reader's CPU and p50 over the Pipe reader's in the same round,
  the median of those ratios (targets: CPU at most 1.5x, p50 at most 1x).

Backends take turns within every round, so drift of the machine reaches all of them alike.
Prints medians and ratios; --plot writes bench/waiting.png.
"""

from __future__ import annotations

import argparse
import ctypes
import json
import multiprocessing
import os
import pathlib
import random
import statistics
import struct
import subprocess
import sys
import time

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import backends  # noqa: E402
import common  # noqa: E402

SIZE = 64
CAPACITY = 4096
STAMP = struct.Struct("<q")
END = b""  # the backends' end-of-stream message (quillmere ends on a timeout instead)


# --------------------------------------------------------------------------- paced readers


class Peer:
    """One of the suite's blocking backends: its reader's recv() blocks in the kernel."""

    def __init__(self, backend_name, label=None):
        self.backend = backends.BY_NAME[backend_name]
        self.name = label or backend_name

    def available(self):
        return self.backend.available()

    def create(self):
        return self.backend.create(SIZE, CAPACITY, 1)

    def destroy(self, conf):
        self.backend.destroy(conf)

    def writer(self, conf):
        return self.backend.writer(conf)

    def stamps(self, conf, count, deadline):
        reader = self.backend.reader(conf, 0)
        yield None
        try:
            for _ in range(count):
                got = reader.recv(deadline)
                if got is None or len(got) == 0:
                    return
                yield bytes(got)
        finally:
            reader.close()


class QuillmereFollow(Peer):
    """quillmere_tools.follow over a quillmere channel, default spin window."""

    name = "quillmere follow()"

    def __init__(self):
        super().__init__("quillmere", self.name)

    def stamps(self, conf, count, deadline):
        import quillmere
        import quillmere_tools

        reader = quillmere.BytesReader(conf["name"])
        yield None  # ready
        for _, payload in quillmere_tools.follow(reader, timeout=max(0.1, deadline - common.now())):
            yield payload
            count -= 1
            if count == 0:
                return


class QuillmereNaturalLoop(Peer):
    """The loop a new user writes: read(), and wait(reader) when it returns None."""

    name = "quillmere read()+wait()"

    def __init__(self):
        super().__init__("quillmere", self.name)

    def stamps(self, conf, count, deadline):
        import quillmere
        import quillmere_tools

        reader = quillmere.BytesReader(conf["name"])
        yield None  # ready
        read, wait = reader.read, quillmere_tools.wait
        while count > 0:
            got = read()
            if got is None:
                if not wait(reader, max(0.1, deadline - common.now())):
                    return
                continue
            yield got[1]
            count -= 1


class IoxListener:
    """iceoryx2 publish-subscribe plus an event service: the writer notifies after each
    sample, the reader blocks in Listener.timed_wait and then takes the sample."""

    name = "iceoryx2 Listener"

    def available(self):
        return backends.BY_NAME["iceoryx2"].available()

    def create(self):
        conf = backends.BY_NAME["iceoryx2"].create(SIZE, CAPACITY, 1)
        conf["event"] = conf["service"] + "_bell"
        return conf

    def destroy(self, conf):
        pass

    def _event(self, port, conf):
        import iceoryx2 as iox

        return port.node.service_builder(iox.ServiceName.new(conf["event"])).event().open_or_create()

    def writer(self, conf):
        port = backends._IoxPort(conf)
        pub = port.service.publisher_builder().initial_max_slice_len(SIZE).create()
        notifier = self._event(port, conf).notifier_builder().create()
        send = backends._iox_sender(pub, SIZE)

        def send_and_notify(data):
            send(data)
            notifier.notify()

        return backends._Sender(send_and_notify, close=port.close, keep=(pub, notifier))

    def stamps(self, conf, count, deadline):
        import iceoryx2 as iox

        port = backends._IoxPort(conf)
        sub = port.service.subscriber_builder().create()
        listener = self._event(port, conf).listener_builder().create()
        yield None
        step = iox.Duration.from_millis(100)
        while count > 0 and common.now() < deadline:
            listener.timed_wait(step)
            while (sample := sub.receive()) is not None:
                data = ctypes.string_at(sample.payload_ptr, SIZE)
                sample.delete()
                yield data
                count -= 1


PACED = [
    QuillmereFollow(),
    QuillmereNaturalLoop(),
    Peer("multiprocessing.Pipe"),
    Peer("multiprocessing.Queue"),
    Peer("pyzmq ipc://", "pyzmq recv"),
    Peer("faster-fifo"),
    IoxListener(),
]


def paced_reader(kind_index, conf, count, seconds, results):
    """Child: receive up to `count` stamped entries; report latencies and CPU share."""
    kind = PACED[kind_index]
    deadline = common.now() + seconds + 5
    latencies = []
    stream = kind.stamps(conf, count, deadline)
    next(stream)
    results.put("ready")
    cpu0 = wall0 = None
    for payload in stream:
        arrived = time.monotonic_ns()
        if cpu0 is None:
            cpu0, wall0 = time.process_time(), time.monotonic()
        latencies.append(arrived - STAMP.unpack_from(payload)[0])
    cpu = time.process_time() - cpu0 if cpu0 is not None else 0.0
    wall = time.monotonic() - wall0 if wall0 is not None else 1.0
    results.put({"latencies_ns": latencies, "cpu_share": cpu / wall if wall > 0 else 0.0})


def paced_round(ctx, kind_index, rate, seconds):
    kind = PACED[kind_index]
    conf = kind.create()
    results = ctx.Queue()
    count = int(rate * seconds)
    child = ctx.Process(target=paced_reader, args=(kind_index, conf, count, seconds, results))
    child.start()
    try:
        writer = kind.writer(conf)
        assert results.get(timeout=30) == "ready"
        time.sleep(0.05)  # the reader is in its first wait
        pad = bytes(SIZE - STAMP.size)
        period = 1.0 / rate
        due = time.monotonic()
        for _ in range(count):
            due += period
            left = due - time.monotonic()
            if left > 0:
                time.sleep(left)
            writer.send(STAMP.pack(time.monotonic_ns()) + pad)
        writer.finish()
        got = results.get(timeout=seconds + 30)
        writer.close()
        return got
    finally:
        child.join(timeout=30)
        if child.is_alive():
            child.kill()
        kind.destroy(conf)


# --------------------------------------------------------------------------- flat-out


def flat_writer(name, seconds, ready):
    import quillmere

    writer = quillmere.BytesWriter(name)
    data = bytes(SIZE)
    ready.put("ready")
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        for _ in range(1000):
            writer.write(data)


def flat_round(ctx, how, seconds):
    """Entries per second a reader gets from a flat-out writer, by follow() or busy polling."""
    import numpy
    import quillmere
    import quillmere_tools

    name = common.unique_name("flat")
    reader = quillmere.BytesReader(name, entry_length=SIZE, entry_count=CAPACITY)
    out = numpy.empty(SIZE, numpy.uint8)
    ready = ctx.Queue()
    child = ctx.Process(target=flat_writer, args=(name, seconds + 0.5, ready))
    child.start()
    try:
        ready.get(timeout=30)
        time.sleep(0.1)
        got = 0
        end = time.monotonic() + seconds
        if how == "follow":
            for _ in quillmere_tools.follow(reader, out=out, timeout=1):
                got += 1
                if got % 256 == 0 and time.monotonic() >= end:
                    break
        else:
            read = reader.read
            while True:
                if read(out=out) is not None:
                    got += 1
                    if got % 256 == 0 and time.monotonic() >= end:
                        break
        return got / (seconds + (time.monotonic() - end))
    finally:
        child.join(timeout=30)
        del reader
        quillmere.unlink(name)


# --------------------------------------------------------------------------- writer cost

COST_CHILD = """
import sys, time, timeit
import quillmere
name, writes, repeats = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
w = quillmere.BytesWriter(name, entry_length=64, entry_count=4096)
data = bytes(64)
if len(sys.argv) > 4:  # wait until the waiter process is registered
    import quillmere_tools
    while quillmere_tools.trailer_state(name).waiters == 0:
        time.sleep(0.001)
best = min(timeit.repeat("w.write(data)", globals=globals(), number=writes, repeat=repeats))
print(best / writes * 1e9)
"""

WAITER_CHILD = """
import sys, quillmere, quillmere_tools
name, how = sys.argv[1], sys.argv[2]
while True:
    try:
        bell = quillmere_tools.Doorbell(name)
        break
    except FileNotFoundError:
        pass
if how == "sleeper":
    bell.wait(2**63)  # never satisfied: asleep again after every wake-up, the worst case
elif how == "parked":  # takes one entry, then keeps the iterator without calling it
    entries = quillmere_tools.follow(quillmere.BytesReader(name))
    next(entries)
    import time
    time.sleep(3600)
else:
    for _ in quillmere_tools.follow(quillmere.BytesReader(name)):  # a reader keeping up
        pass
"""


def write_cost(python_path, waiter_kind, writes, repeats):
    name = common.unique_name("cost")
    env = dict(os.environ)
    if python_path:
        env["PYTHONPATH"] = python_path
    waiter = None
    if waiter_kind:
        waiter = subprocess.Popen([sys.executable, "-c", WAITER_CHILD, name, waiter_kind])
    try:
        args = [sys.executable, "-c", COST_CHILD, name, str(writes), str(repeats)]
        if waiter_kind:
            args.append("wait")
        out = subprocess.run(args, env=env, capture_output=True, text=True, timeout=300, check=True)
        return float(out.stdout.strip())
    finally:
        if waiter is not None:
            waiter.kill()
            waiter.wait()
        import quillmere

        quillmere.unlink(name)


# --------------------------------------------------------------------------- run


def pct(values, q):
    return common.percentile(sorted(values), q)


def against_pipe(kinds, by_round):
    """Each quillmere reader's CPU and p50 over the Pipe reader's in the same round; the
    median of those ratios over the rounds (targets: CPU <= 1.5x, p50 <= 1x)."""
    pipe = next((i for i in kinds if PACED[i].name == "multiprocessing.Pipe"), None)
    if pipe is None:
        return {}
    ratios = {}
    print(f"  against the Pipe reader, median of per-round ratios ({len(by_round[pipe])} rounds):")
    for i in kinds:
        if i == pipe or not PACED[i].name.startswith("quillmere"):
            continue
        shared = [r for r in by_round[i] if r in by_round[pipe]]
        if not shared:
            continue
        cpu = statistics.median(by_round[i][r][1] / by_round[pipe][r][1] for r in shared)
        p50 = statistics.median(by_round[i][r][0] / by_round[pipe][r][0] for r in shared)
        ratios[PACED[i].name] = {"cpu_ratio": cpu, "p50_ratio": p50, "rounds": len(shared)}
        verdict = "met" if cpu <= 1.5 and p50 <= 1.0 else "MISSED"
        print(f"    {PACED[i].name:24} CPU x{cpu:.2f}  p50 x{p50:.2f}  ({verdict}: CPU <= 1.5x, p50 <= 1x)")
    return ratios


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--plot", action="store_true")
    parser.add_argument("--json")
    parser.add_argument("--base-site", help="site directory of the build to compare write() with")
    parser.add_argument("--only", help="comma-separated paced readers to run (default: all)")
    parser.add_argument("--paced-only", action="store_true", help="skip flat-out and writer cost")
    parser.add_argument("--cost-only", action="store_true", help="only the writer-cost A/B")
    parser.add_argument("--rounds", type=int, help="alternating rounds (default 5, --quick 2)")
    parser.add_argument("--rates", default="1000,10000", help="paced rates in Hz (default: %(default)s)")
    args = parser.parse_args()
    rounds = args.rounds or (2 if args.quick else 5)
    seconds = 0.5 if args.quick else 1.5
    ctx = multiprocessing.get_context("spawn")
    report = {"paced": {}, "flat": {}, "cost": {}}

    wanted = set(args.only.split(",")) if args.only else {kind.name for kind in PACED}
    kinds = [i for i, kind in enumerate(PACED) if kind.name in wanted and kind.available() is None]
    for kind in PACED:
        if kind.name in wanted and kind.available() is not None:
            print(f"skipped {kind.name}: {kind.available()}")
    for rate in () if args.cost_only else [int(r) for r in args.rates.split(",")]:
        samples = {i: [] for i in kinds}
        cpu = {i: [] for i in kinds}
        by_round = {i: {} for i in kinds}  # round -> (p50 ns, CPU share)
        for round_index in range(rounds):
            order = kinds[:]
            random.shuffle(order)
            for i in order:
                try:
                    got = paced_round(ctx, i, rate, seconds)
                except Exception as exc:  # a peer that fails is reported, not fatal
                    print(f"{PACED[i].name} at {rate} Hz failed: {exc!r}")
                    continue
                samples[i] += got["latencies_ns"]
                cpu[i].append(got["cpu_share"])
                if got["latencies_ns"]:
                    by_round[i][round_index] = (pct(got["latencies_ns"], 0.5), got["cpu_share"])
        print(f"\npaced writer, {rate} Hz, {SIZE} B: wake-up latency and reader CPU")
        print(f"  {'reader':24} {'p50 us':>8} {'p99 us':>8} {'CPU %':>7} {'received':>9}")
        rows = {}
        for i in kinds:
            if not samples[i]:
                continue
            row = {
                "p50_us": pct(samples[i], 0.5) / 1e3,
                "p99_us": pct(samples[i], 0.99) / 1e3,
                "cpu_percent": 100 * statistics.median(cpu[i]),
                "received": len(samples[i]),
            }
            rows[PACED[i].name] = row
            print(f"  {PACED[i].name:24} {row['p50_us']:8.1f} {row['p99_us']:8.1f} "
                  f"{row['cpu_percent']:7.2f} {row['received']:9d}")
        report["paced"][str(rate)] = rows
        ours = rows.get(QuillmereFollow.name)
        peers = [r["p50_us"] for n, r in rows.items() if not n.startswith("quillmere")]
        if ours and peers:
            print(f"  quillmere p50 / best peer p50: {ours['p50_us'] / min(peers):.2f}")
        report["against_pipe"] = report.get("against_pipe", {})
        report["against_pipe"][str(rate)] = against_pipe(kinds, by_round)

    if args.paced_only:
        return
    flat = {"follow": [], "busy poll": []}
    for _ in range(0 if args.cost_only else rounds + 2):
        for how in random.sample(list(flat), 2):
            flat[how].append(flat_round(ctx, how, seconds))
    if not args.cost_only:
        medians = {how: statistics.median(v) for how, v in flat.items()}
        report["flat"] = medians
        print("\nflat-out writer: entries per second delivered to one reader (median)")
        for how, rate in medians.items():
            print(f"  {how:10} {rate / 1e6:7.3f} M/s")
        print(f"  follow / busy poll: {medians['follow'] / medians['busy poll']:.3f}")

    variants = {"this build": ("", None), "follow() reader": ("", "follow"),
                "sleeping waiter": ("", "sleeper"), "parked follow()": ("", "parked")}
    if args.base_site:
        variants["base build"] = (args.base_site, None)
    cost = {v: [] for v in variants}
    writes, repeats = (100_000, 5) if args.quick else (200_000, 7)
    for _ in range(rounds + 2 + (6 if args.cost_only else 0)):
        for v in random.sample(list(variants), len(variants)):
            path, waiter = variants[v]
            cost[v].append(write_cost(path, waiter, writes, repeats))
    report["cost"] = {v: statistics.median(c) for v, c in cost.items()}
    print("\nwrite() of 64 B, ns per call (median of rounds, best of repeats in each)")
    for v, ns in report["cost"].items():
        print(f"  {v:16} {ns:7.1f} ns")
    print(f"  parked follow() / nobody waiting: "
          f"{report['cost']['parked follow()'] / report['cost']['this build']:.3f}")
    if "base build" in report["cost"]:
        print(f"  this build / base build: {report['cost']['this build'] / report['cost']['base build']:.3f}")

    if args.json:
        pathlib.Path(args.json).write_text(json.dumps(report, indent=2))
    if args.plot and report["paced"]:
        plot(report, HERE / "waiting.png")


def plot(report, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    rates = list(report["paced"])
    fig, axes = plt.subplots(1, 2, figsize=(11, 4.2))
    names = list(report["paced"][rates[0]])
    width = 0.8 / len(rates)
    for k, rate in enumerate(rates):
        rows = report["paced"][rate]
        xs = [i + k * width for i in range(len(names))]
        p50 = [rows[n]["p50_us"] if n in rows else 0 for n in names]
        p99 = [rows[n]["p99_us"] if n in rows else 0 for n in names]
        cpu = [rows[n]["cpu_percent"] if n in rows else 0 for n in names]
        axes[0].bar(xs, p50, width, label=f"p50 at {int(rate) // 1000} kHz")
        axes[0].scatter(xs, p99, marker="_", s=200, color="black",
                        label="p99" if k == 0 else None, zorder=3)
        axes[1].bar(xs, cpu, width, label=f"{int(rate) // 1000} kHz")
    for ax in axes:
        ax.set_xticks([i + width * (len(rates) - 1) / 2 for i in range(len(names))])
        ax.set_xticklabels(names, rotation=25, ha="right", fontsize=8)
        ax.legend(fontsize=8)
    axes[0].set_yscale("log")
    axes[0].set_ylabel("wake-up latency, us (log)")
    axes[0].set_title("paced writer, 64 B entries")
    axes[1].set_ylabel("reader CPU, % of one core")
    axes[1].set_title("waiting reader's CPU")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    print(f"\nwrote {path}")


if __name__ == "__main__":
    main()
