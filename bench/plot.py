"""One PNG of a run: in-process cost, latency and throughput per backend, with the floors."""

from __future__ import annotations

import pathlib

import report

COLORS = {"quillmere": "#d1495b"}
OTHER = "#8d99ae"


def write(r: dict, path: pathlib.Path) -> pathlib.Path:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(2, 2, figsize=(13, 9))
    _inproc(axes[0][0], r)
    _latency(axes[0][1], r)
    _throughput(axes[1][0], r, "64", "entries/s delivered", 1.0, "Streaming 64 B, writer -> reader process")
    _throughput(axes[1][1], r, str(1024 * 1024), "GB/s delivered", 1024 * 1024 / 1e9,
                "Streaming 1 MiB, writer -> reader process", floor=r["floors"]["memcpy_gbps"])
    m = r["machine"]
    fig.suptitle(f"quillmere vs. alternatives on {m['cpu']}, {m['cores']} cores, Python {m['python']} "
                 f"(load avg {m['load_before']:.1f})", fontsize=13)
    fig.tight_layout(rect=(0, 0, 1, 0.96))
    fig.savefig(path, dpi=90)
    plt.close(fig)
    return path


def _bars(ax, labels, values, *, log=True, fmt=report._num):
    colors = [COLORS.get(label, OTHER) for label in labels]
    bars = ax.barh(labels, values, color=colors)
    ax.invert_yaxis()
    if log and values:  # a workload that failed as a whole leaves an empty panel
        ax.set_xscale("log")
    for bar, value in zip(bars, values):
        ax.text(bar.get_width(), bar.get_y() + bar.get_height() / 2, f" {fmt(value)}", va="center", fontsize=8)
    if values:  # room on the right for the value labels and the legend
        ax.set_xlim(right=max(values) * (4 if log else 1.35))
    return bars


def _floor_line(ax, x, label):
    ax.axvline(x, color="black", linestyle="--", linewidth=1, label=label)
    ax.legend(loc="best", fontsize=8, framealpha=0.9)


def _inproc(ax, r):
    labels, values = [], []
    for backend, ops in r["inproc"].items():
        for op, label in (("write", "write"), ("read", "read()")):
            value = ops.get(op, {}).get("64")
            if value:
                labels.append(f"{backend} {label}")
                values.append(value)
    colors = [COLORS["quillmere"] if lab.startswith("quillmere") else OTHER for lab in labels]
    ax.barh(labels, values, color=colors)
    ax.invert_yaxis()
    ax.set_xscale("log")
    for y, value in enumerate(values):
        ax.text(value, y, f" {report._num(value)}", va="center", fontsize=8)
    _floor_line(ax, r["floors"]["noop_ns"], "no-op C call")
    ax.set_xlabel("ns per call (log)")
    ax.set_title("In-process cost of one 64 B write / read")


def _latency(ax, r):
    rows = [(b, v) for b, v in r["latency"].items() if "p50_ns" in v]
    labels = [b for b, _ in rows]
    _bars(ax, labels, [v["p50_ns"] for _, v in rows])
    ax.scatter([v["p99_ns"] for _, v in rows], range(len(rows)), marker="|", s=200, color="black", label="p99", zorder=3)
    floor = r["floors"]["pingpong"].get("p50_ns")
    if floor:
        _floor_line(ax, floor, "C++ ping-pong floor")
        ax.set_xlim(left=floor / 1.5)
    ax.legend(loc="best", fontsize=8, framealpha=0.9)
    ax.set_xlabel("one-way ns, p50 bar, p99 tick (log)")
    ax.set_title("Cross-process latency, 64 B ping-pong / 2")


def _throughput(ax, r, size, unit, scale, title, floor=None):
    rows = [(b, v[size]) for b, v in r["stream"].items() if "delivered_per_s" in v.get(size, {})]
    labels = [f"{b} ({100 * v['seen']:.0f}% seen)" for b, v in rows]
    fmt = (lambda v: f"{v:.2f}") if floor else report._num
    bars = _bars(ax, labels, [v["delivered_per_s"] * scale for _, v in rows], log=floor is None, fmt=fmt)
    for bar, (backend, _) in zip(bars, rows):
        bar.set_color(COLORS.get(backend, OTHER))
    written = [v["written_per_s"] * scale for _, v in rows]
    ax.scatter(written, range(len(rows)), marker="|", s=200, color="black", label="written", zorder=3)
    if written:
        ax.set_xlim(right=max(ax.get_xlim()[1], max(written) * (1.35 if floor else 4)))
    ax.legend(loc="best" if floor else "lower right", fontsize=8, framealpha=0.9)
    if floor:
        _floor_line(ax, floor, "memcpy floor")
    ax.set_xlabel(unit + ", bar; written, tick" + ("" if floor else " (log)"))
    ax.set_title(title)
