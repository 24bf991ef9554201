"""The one timing check the waiting tests make: a timeout is honoured within 50 ms."""

from __future__ import annotations

import time
from collections.abc import Callable

SLACK = 0.05


def assert_times_out(call: Callable[[], bool], timeout: float, attempts: int = 3) -> None:
    """`call()` gives False after `timeout` seconds: never early, and at most SLACK late in
    one of `attempts` tries (a loaded machine may deschedule the process during any one)."""
    lateness = []
    for _ in range(attempts):
        started = time.monotonic()
        assert call() is False
        took = time.monotonic() - started
        assert took >= timeout - 0.001, f"returned {timeout - took:.4f} s early"
        lateness.append(took - timeout)
        if lateness[-1] <= SLACK:
            return
    raise AssertionError(f"late by {min(lateness):.3f} s at best, allowed {SLACK} s")
