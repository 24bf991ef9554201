"""Turn one run's results into the printed tables and the target check."""

from __future__ import annotations

import math

import common
import floors
import inproc

QM = "quillmere"
SIZE_LABEL = {64: "64 B", 4 * common.KIB: "4 KiB", common.MIB: "1 MiB"}

# Targets: in-process op at 64 B -> highest allowed multiple of the no-op C call.
INPROC_TARGETS = {"write": 3.0, "read": 5.0, "read_into": 4.0, "zero_copy": 6.0}
LATENCY_FLOOR_MULTIPLE = 3.0
LATENCY_PIPE_ADVANTAGE = 3.0
MEMCPY_SHARE = 0.80


def _num(value, digits=0) -> str:
    if value is None or (isinstance(value, float) and math.isnan(value)):
        return "-"
    if abs(value) >= 1e6:
        return f"{value / 1e6:.{max(digits, 2)}f}M"
    if abs(value) >= 1e4:
        return f"{value / 1e3:.{max(digits, 1)}f}k"
    return f"{value:,.{digits}f}"


def _table(header, rows) -> str:
    widths = [max(len(str(c)) for c in col) for col in zip(header, *rows)]
    line = lambda cells: "  ".join(str(c).rjust(w) if i else str(c).ljust(w) for i, (c, w) in enumerate(zip(cells, widths)))
    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def machine_line(r) -> str:
    m = r["machine"]
    return (f"{m['cpu']}, {m['cores']} cores, Python {m['python']}, numpy {m['numpy']}; "
            f"load average {m['load_before']:.1f} before, {m['load_after']:.1f} after the run")


def floors_section(r) -> str:
    f = r["floors"]
    pp = f["pingpong"]
    pp_text = pp.get("skipped") or (f"p50 {pp['p50_ns']:.0f} ns, p99 {pp['p99_ns']:.0f} ns, "
                                    f"p99.9 {pp['p999_ns']:.0f} ns one-way (medians of the rounds; p50 by round: "
                                    + ", ".join(f"{v:.0f}" for v in pp.get("p50_ns_rounds", [])) + ")")
    return "\n".join([
        "Floors",
        f"  no-op C method call b.__len__()        {f['noop_ns']:.1f} ns",
        f"  memcpy 1 MiB (numpy.copyto, {floors.MIB_RING_SLOTS} dsts)    {f['memcpy_gbps']:.2f} GB/s",
        f"  C++ cache-line ping-pong               {pp_text}",
    ])


def inproc_section(r) -> str:
    noop = r["floors"]["noop_ns"]
    qm = r["inproc"].get(QM, {})
    out = ["(a)(b) In-process cost of one call, ns (median; quillmere: x no-op C call; others: x quillmere)"]
    for op in inproc.OPS:
        rows = []
        for backend, ops in r["inproc"].items():
            cells = []
            for size in common.SIZES:
                value = ops.get(op, {}).get(str(size))
                if value is None:
                    cells.append("-")
                    continue
                base = noop if backend == QM else qm.get(op, {}).get(str(size))
                ratio = f" ({value / base:.1f}x)" if base else ""
                cells.append(f"{_num(value)}{ratio}")
            if any(c != "-" for c in cells):
                rows.append([backend] + cells)
        out += ["", f"  {inproc.OP_LABELS[op]}", _indent(_table(["backend"] + [SIZE_LABEL[s] for s in common.SIZES], rows))]
    out += ["", "  multiprocessing.Queue.put only queues a reference for a feeder thread that pickles and sends it;",
            "  its write is timed until the feeder has taken the batch. '-': the backend has no such call, or a",
            "  lone process cannot buffer a batch."]
    return "\n".join(out)


def latency_section(r) -> str:
    floor = r["floors"]["pingpong"].get("p50_ns")
    qm = r["latency"].get(QM, {}).get("p50_ns")
    rows = []
    for backend, lat in r["latency"].items():
        if "skipped" in lat:
            rows.append([backend, lat["skipped"], "", "", "", ""])
            continue
        vs = "1.0x" if backend == QM else (f"{lat['p50_ns'] / qm:.1f}x" if qm else "-")
        rows.append([backend, _num(lat["p50_ns"]), _num(lat["p99_ns"]), _num(lat["p999_ns"]),
                     f"{_floor_ratio(lat, floor):.1f}x" if floor else "-", vs])
    head = ["backend", "p50 ns", "p99 ns", "p99.9 ns", "p50 x floor", "p50 x quillmere"]
    text = "(c) One-way latency, 64 B, ping-pong round trip / 2\n" + _indent(_table(head, rows))
    ratios = r["latency"].get(QM, {}).get("floor_ratios")
    if ratios:
        text += ("\n  quillmere x floor: median of the rounds, each against the floor measured right before it: "
                 + ", ".join(f"{v:.1f}x" for v in ratios))
    return text


def _floor_ratio(lat: dict, floor: float) -> float:
    """quillmere: the median of its per-round ratios; others: p50 over the median floor."""
    return lat.get("floor_ratio_p50") or lat["p50_ns"] / floor


def stream_section(r, key, title) -> str:
    rows = []
    for backend, by_size in r[key].items():
        for size, s in by_size.items():
            if "skipped" in s:
                rows.append([backend, SIZE_LABEL[int(size)], s["skipped"], "", "", "", ""])
                continue
            qm = r[key].get(QM, {}).get(size, {}).get("delivered_per_s")
            vs = f"{qm / s['delivered_per_s']:.1f}x" if qm and s["delivered_per_s"] else "-"
            rows.append([backend, SIZE_LABEL[int(size)], _num(s["written_per_s"]), _num(s["delivered_per_s"]),
                         f"{s['gb_per_s']:.3f}", f"{100 * s['seen']:.1f}%", vs])
    head = ["backend", "size", "written/s", "delivered/s per reader", "GB/s per reader", "seen", "quillmere / it"]
    return title + "\n" + _indent(_table(head, rows))


def paced_section(r) -> str:
    rows = []
    for backend, p in r["paced"].items():
        if "skipped" in p:
            rows.append([backend, p["skipped"], ""])
            continue
        rows.append([backend, _num(p["max_rate_per_s"]), f"{100 * p['seen_at_max']:.1f}%"])
    text = ["(f) Paced writer: highest rate at which a copying reader in another process sees >= 99% of the entries",
            _indent(_table(["backend", "max rate/s", "seen at it"], rows))]
    for backend, lap in r["lapped"].items():
        if "skipped" in lap:
            continue
        text.append(f"\n  Slow reader ({lap['work_ns'] / 1000:.0f} us of work per entry) vs. a flat-out writer, "
                    f"{backend}, ring of {lap['ring_entries']} entries:")
        rows = [[label.replace("_", " "), _num(v["handled_per_s"]), f"{100 * v['seen']:.2f}%",
                 _num(v["lag_p50_entries"]), _num(v["lag_max_entries"]), _num(v["gaps"])]
                for label, v in lap.items() if isinstance(v, dict)]
        text.append(_indent(_table(["reads", "handled/s", "seen", "lag p50 (entries)", "lag max", "gaps"], rows), 4))
    return "\n".join(text)


PLAIN_LABEL = {"zero_copy": "try_acquire() + release()", "read": "read()", "read_out": "read(out=)"}
PLAIN_SHARE = 0.5  # target: a bare copying loop delivers at least this share of the zero-copy reader's rate


def plain_section(r) -> str:
    plain = r.get("plain", {})
    if not plain:
        return ""
    if "skipped" in plain:
        return f"(g) Bare reader loops, quillmere: {plain['skipped']}"
    rows = [[SIZE_LABEL[int(size)], _num(s["ring_entries"]), PLAIN_LABEL[how], _num(s["written_per_s"]),
             _num(s["delivered_per_s"]),
             f"{100 * s['seen']:.1f}%", f"{100 * s['share_of_zero_copy']:.0f}%"]
            for size, by_how in plain.items() for how, s in by_how.items()]
    head = ["size", "slots", "reader loop", "written/s", "delivered/s", "seen", "of zero-copy (median of rounds)"]
    return ("(g) Bare reader loops, quillmere: a flat-out writer process, one reader process calling the same\n"
            "    method over and over, without the catch-up idiom (the zero-copy reader never touches the payload)\n"
            + _indent(_table(head, rows)))


def plain_targets(r) -> list[dict]:
    plain = r.get("plain", {})
    if not plain or "skipped" in plain:
        return []
    out = []
    for size, by_how in plain.items():
        for how in ("read", "read_out"):
            share = by_how[how]["share_of_zero_copy"]
            out.append(_target(f"bare {PLAIN_LABEL[how]} loop {SIZE_LABEL[int(size)]} >= {PLAIN_SHARE:.0%} of the "
                               f"zero-copy reader's delivered rate", share >= PLAIN_SHARE,
                               f"{share:.0%} ({_num(by_how[how]['delivered_per_s'])} vs "
                               f"{_num(by_how['zero_copy']['delivered_per_s'])} per s)"))
    return out


def _indent(text, by=2) -> str:
    return "\n".join(" " * by + line for line in text.splitlines())


# --------------------------------------------------------------------------- targets


def targets(r) -> list[dict]:
    """Every target with the measured value and whether it is met."""
    out = []
    noop = r["floors"]["noop_ns"]
    qm_in = r["inproc"].get(QM)
    if qm_in:
        for op, limit in INPROC_TARGETS.items():
            value = qm_in.get(op, {}).get("64")
            if value is not None:
                out.append(_target(f"{inproc.OP_LABELS[op]} 64 B <= {limit:g}x no-op C call", value / noop <= limit,
                                   f"{value:.0f} ns = {value / noop:.2f}x of {noop:.0f} ns"))
        write_mib = qm_in.get("write", {}).get(str(common.MIB))
        if write_mib:
            gbps = common.MIB / write_mib
            share = gbps / r["floors"]["memcpy_gbps"]
            out.append(_target(f"1 MiB write >= {MEMCPY_SHARE:.0%} of memcpy bandwidth", share >= MEMCPY_SHARE,
                               f"{gbps:.2f} GB/s = {share:.0%} of {r['floors']['memcpy_gbps']:.2f} GB/s"))
    out += _latency_targets(r)
    out += plain_targets(r)
    out.append(_ahead_target(r))
    return out


def _target(name, met, detail) -> dict:
    return {"target": name, "met": bool(met), "measured": detail}


def _latency_targets(r) -> list[dict]:
    qm = r["latency"].get(QM, {}).get("p50_ns")
    floor = r["floors"]["pingpong"].get("p50_ns")
    pipe = r["latency"].get("multiprocessing.Pipe", {}).get("p50_ns")
    out = []
    if qm and floor:
        ratio = _floor_ratio(r["latency"][QM], floor)
        out.append(_target(f"one-way p50 <= {LATENCY_FLOOR_MULTIPLE:g}x ping-pong floor", ratio <= LATENCY_FLOOR_MULTIPLE,
                           f"{qm:.0f} ns, {ratio:.2f}x the floor (median of per-round ratios; floor p50 {floor:.0f} ns)"))
    if qm and pipe:
        out.append(_target(f"one-way p50 >= {LATENCY_PIPE_ADVANTAGE:g}x lower than multiprocessing.Pipe",
                           pipe >= LATENCY_PIPE_ADVANTAGE * qm, f"Pipe {pipe:.0f} ns / quillmere {qm:.0f} ns = {pipe / qm:.1f}x"))
    return out


def comparisons(r):
    """(workload, backend, quillmere value, its value, quillmere ahead?) for every row both ran."""
    rows = []
    for op, by_backend in _pivot_inproc(r).items():
        for size, values in by_backend.items():
            rows += _compare(f"{inproc.OP_LABELS[op]} {SIZE_LABEL[int(size)]}", values, lower_is_better=True)
    rows += _compare("latency p50", {b: v.get("p50_ns") for b, v in r["latency"].items()}, lower_is_better=True)
    for key, label in (("stream", "streaming"), ("fanout", "fan-out")):
        sizes = {s for v in r[key].values() for s in v}
        for size in sorted(sizes, key=int):
            values = {b: v.get(size, {}).get("delivered_per_s") for b, v in r[key].items()}
            rows += _compare(f"{label} {SIZE_LABEL[int(size)]} delivered/s", values, lower_is_better=False)
    rows += _compare("paced max rate", {b: v.get("max_rate_per_s") for b, v in r["paced"].items()}, lower_is_better=False)
    return rows


def _pivot_inproc(r):
    pivot: dict = {}
    for backend, ops in r["inproc"].items():
        for op, by_size in ops.items():
            for size, value in by_size.items():
                pivot.setdefault(op, {}).setdefault(size, {})[backend] = value
    return pivot


def _compare(workload, values, *, lower_is_better):
    qm = values.get(QM)
    if qm is None:
        return []
    out = []
    for backend, value in values.items():
        if backend == QM or value is None:
            continue
        ahead = qm < value if lower_is_better else qm > value
        out.append((workload, backend, qm, value, ahead))
    return out


def _gap(quillmere, other) -> str:
    """The difference as a share of the larger value: a few percent is a tie within noise."""
    return f"{100 * abs(quillmere - other) / max(abs(quillmere), abs(other), 1e-12):.0f}% apart"


def _ahead_target(r) -> dict:
    rows = comparisons(r)
    behind = [f"{w} vs {b} ({_num(q)} vs {_num(v)}, {_gap(q, v)})" for w, b, q, v, ahead in rows if not ahead]
    detail = f"ahead in {len(rows) - len(behind)} of {len(rows)} comparisons"
    if behind:
        detail += "; behind: " + "; ".join(behind)
    return _target("every quillmere row ahead of every alternative", not behind and rows, detail)


def targets_section(r) -> str:
    lines = ["Targets (all measured in this run)"]
    for t in r["targets"]:
        lines.append(f"  [{'met' if t['met'] else 'MISSED'}] {t['target']}: {t['measured']}")
    return "\n".join(lines)


def render(r) -> str:
    parts = [f"quillmere benchmark ({'quick' if r['quick'] else 'default'} run) on {machine_line(r)}"]
    for backend, reason in r["skipped"].items():
        parts.append(f"  skipped {backend}: {reason}")
    parts += [floors_section(r), inproc_section(r), latency_section(r),
              stream_section(r, "stream", "(d) Streaming, one writer process -> one reader process (rings drop, queues push back)"),
              stream_section(r, "fanout", f"(e) Fan-out, one writer -> 4 reader processes, 64 B "
                                          f"(this machine has {r['machine']['cores']} cores: 5 busy processes share them)"),
              paced_section(r), plain_section(r), targets_section(r)]
    return "\n\n".join(part for part in parts if part)
