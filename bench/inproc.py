"""Workloads (a) and (b): the in-process cost of one write, read, read-into and zero-copy read."""

from __future__ import annotations

import sys
import time

import common

OPS = ("write", "read", "read_into", "zero_copy")
OP_LABELS = {
    "write": "write",
    "read": "read()",
    "read_into": "read(out=...)",
    "zero_copy": "try_acquire+release",
}
# Calls per timed batch: small enough for a lone process to buffer a batch in
# any queue, large enough to swamp the timer.
# A ring of 1 MiB entries gets 2 * batch = 4 slots: an image-frame channel keeps few entries,
# and 4 MiB stays in the last-level cache where 16 MiB would not (every backend alike).
BATCH = {64: 256, 4 * common.KIB: 64, common.MIB: 2}


TURNS = 5  # each backend's batches of a row come in this many blocks, the backends taking turns
MIN_BLOCK = 5  # batches
SETTLE_S = 0.02  # pause after each block: background threads of the backend just timed go idle


def measure_all(backends, budget: common.Budget) -> dict:
    """{backend: {op: {size: ns per call}}}; ops a backend lacks are left out.

    Every (size, op) row is timed for all backends at once, taking turns a block of
    batches at a time, so that drift of the machine during the run cannot favour
    whichever backend went first.
    Every backend gets a fresh channel per row, so what one row leaves in a queue cannot
    fill the buffer that the next row relies on.
    """
    results: dict = {b.name: {op: {} for op in OPS} for b in backends}
    repeats = max(15, budget.inproc_repeats)
    for size in common.SIZES:
        for op in OPS:
            timers, closers = {}, []
            try:
                for backend in backends:
                    made = backend.inproc(size, BATCH[size])
                    if made is None:
                        continue
                    ns, ops, close = made
                    closers.append(close)
                    if op in ops:
                        try:
                            timers[backend.name] = _timer(op, ops[op], ns, BATCH[size])
                        except Exception as exc:  # one broken backend must not sink the row
                            print(f"  {backend.name}: {op} {size} B left out: {exc}", file=sys.stderr)
                with common.gc_paused():
                    for timer, _ in timers.values():
                        timer.warm_up()
                    turns = max(1, min(TURNS, repeats // MIN_BLOCK))
                    for turn in range(turns):
                        for name in common.turn_order(list(timers), turn):
                            timer = timers[name][0]
                            timer.warm_up(2)  # a lap of its ring back in the cache after the others' turns
                            for _ in range(-(-repeats // turns)):
                                timer.batch()
                            # zmq's I/O thread and the Queue's feeder finish what the calls left
                            # them now, not during the next backend's turn.
                            if len(timers) > 1:
                                time.sleep(SETTLE_S)
                    for name, (timer, calls) in timers.items():
                        results[name][op][str(size)] = timer.per_call_ns() / calls
            finally:
                for close in closers:
                    close()
    return results


def _timer(op, conf, ns, batch):
    """(timer, calls per statement) for `conf` = (statement, setup[, check[, calls]])."""
    stmt, setup, *rest = conf
    check = rest[0] if rest else None
    calls = rest[1] if len(rest) > 1 else 1
    if op != "write":
        _check_delivers(check or stmt, setup, ns)
    return common.BatchTimer(stmt, ns, setup=setup, number=batch // calls), calls


def _check_delivers(stmt: str, setup: str, ns: dict) -> None:
    """A read statement that returns None would time an empty poll, not a read.

    An op may name its own check expression (third element) when its timed
    statement returns None anyway, like `try_acquire().release()`.
    """
    exec(setup, ns)
    if eval(stmt, ns) is None:
        raise RuntimeError(f"{stmt!r} returned None right after {setup!r}")
