"""Workloads (a) and (b): the in-process cost of one write, read, read-into and zero-copy read."""

from __future__ import annotations

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
BATCH = {64: 256, 4 * common.KIB: 64, common.MIB: 8}


def measure(backend, budget: common.Budget) -> dict:
    """{op: {size: ns per call}} for one backend; ops it lacks are left out.

    Every (size, op) gets a fresh channel, so what one row leaves in a queue
    cannot fill the buffer that the next row relies on.
    """
    results: dict = {op: {} for op in OPS}
    for size in common.SIZES:
        batch = BATCH[size]
        repeats = max(15, budget.inproc_repeats)
        for op in OPS:
            made = backend.inproc(size, batch)
            if made is None:
                break
            ns, ops, close = made
            try:
                if op in ops:
                    results[op][size] = _time_op(op, ops[op], ns, batch, repeats)
            finally:
                close()
    return results


def _time_op(op, conf, ns, batch, repeats) -> float:
    stmt, setup, *check = conf
    if op != "write":
        _check_delivers(check[0] if check else stmt, setup, ns)
    return common.per_call_ns(stmt, ns, setup=setup, number=batch, repeats=repeats)


def _check_delivers(stmt: str, setup: str, ns: dict) -> None:
    """A read statement that returns None would time an empty poll, not a read.

    An op may name its own check expression (third element) when its timed
    statement returns None anyway, like `try_acquire().release()`.
    """
    exec(setup, ns)
    if eval(stmt, ns) is None:
        raise RuntimeError(f"{stmt!r} returned None right after {setup!r}")
