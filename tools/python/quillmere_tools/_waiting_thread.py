"""Asynchronous waits, slept on by native threads instead of the event loop.

Each `WaitShard` is served by one daemon thread that sleeps on all its pending doorbells at
once (futex_waitv) and completes each wait's future through its event loop's
`call_soon_threadsafe`; a wake-up on one channel therefore never queues behind quiet waits
on others. A cancelled wait leaves its doorbell at once. Kernels before Linux 5.16 lack
futex_waitv: there each wait sleeps on a pool thread in steps instead.

A fork child starts with no shards and no pool: the parent's threads do not exist there.
"""

from __future__ import annotations

import asyncio
import concurrent.futures
import os
import threading

from quillmere_tools import _native

# Waits one shard holds. A shard takes up to 127 (futex_waitv takes 128 words, one is the
# shard's own), but every call queues and unqueues each word in the kernel, so a shard that
# wakes for one channel wakes sooner with fewer quiet ones beside it: with 200 quiet waits,
# shards of 31 gave a p50 of 130 us against 150 us for shards of 127 (bench/async_waits.py).
_SHARD_CAPACITY = 31
# Without futex_waitv, a wait sleeps on a pool thread in steps of at most this many seconds, so
# a cancelled task leaves behind a waiting thread for no longer than one step.
_POOL_STEP = 0.25

_Pending = tuple[asyncio.AbstractEventLoop, "asyncio.Future[bool]"]


class _Shard:
    """A native WaitShard and the thread that serves it."""

    def __init__(self, lock: threading.Lock) -> None:
        self.native = _native.WaitShard()
        self.pending: dict[int, _Pending] = {}
        self._lock = lock
        threading.Thread(target=self._serve, name="quillmere-wait", daemon=True).start()

    def _serve(self) -> None:
        while (ended := self.native.collect()) is not None:
            for wait_id, ready in ended:
                with self._lock:
                    pending = self.pending.pop(wait_id, None)
                if pending is None:
                    continue  # cancelled meanwhile
                loop, future = pending
                try:
                    loop.call_soon_threadsafe(_settle, future, ready)
                except RuntimeError:
                    pass  # its loop is closed: nobody awaits it any more


def _settle(future: asyncio.Future[bool], ready: bool) -> None:
    if not future.done():
        future.set_result(ready)


class _Waits:
    """This process's shards (or pool, without futex_waitv)."""

    def __init__(self) -> None:
        self.lock = threading.Lock()
        self.shards: list[_Shard] = []
        self.pool: concurrent.futures.ThreadPoolExecutor | None = None

    def add(
        self, bell: _native.Doorbell, after: int, timeout: float, loop: asyncio.AbstractEventLoop
    ) -> tuple[_Shard, int, asyncio.Future[bool]]:
        future: asyncio.Future[bool] = loop.create_future()
        with self.lock:
            shard = next((s for s in self.shards if len(s.pending) < _SHARD_CAPACITY), None)
            if shard is None:
                shard = _Shard(self.lock)
                self.shards.append(shard)
            wait_id = shard.native.add(bell, after, timeout)
            shard.pending[wait_id] = (loop, future)
        return shard, wait_id, future

    def cancel(self, shard: _Shard, wait_id: int) -> None:
        with self.lock:
            shard.pending.pop(wait_id, None)
        shard.native.cancel(wait_id)

    def threads(self) -> concurrent.futures.ThreadPoolExecutor:
        with self.lock:
            if self.pool is None:
                self.pool = concurrent.futures.ThreadPoolExecutor(
                    max_workers=64, thread_name_prefix="quillmere-wait"
                )
            return self.pool


_SHARDED = _native.futex_waitv_supported()
_waits = _Waits()
# A fork child's copies of the parent's shards are never used or freed there: their threads
# are gone, and a lock may have been held at the fork.
_left_in_parents: list[_Waits] = []


def _forget_in_child() -> None:
    global _waits
    _left_in_parents.append(_waits)
    _waits = _Waits()


os.register_at_fork(after_in_child=_forget_in_child)


async def wait_async(bell: _native.Doorbell, after: int, timeout: float) -> bool:
    """Waits without blocking the running loop until the channel of `bell` has an entry above
    `after`; False once `timeout` seconds passed (< 0: never)."""
    loop = asyncio.get_running_loop()
    if not _SHARDED:
        return await _wait_on_pool(bell, after, timeout, loop)
    waits = _waits
    shard, wait_id, future = waits.add(bell, after, timeout, loop)
    try:
        return await future
    finally:
        if not future.done() or future.cancelled():
            waits.cancel(shard, wait_id)


async def _wait_on_pool(
    bell: _native.Doorbell, after: int, timeout: float, loop: asyncio.AbstractEventLoop
) -> bool:
    deadline = None if timeout < 0 else loop.time() + timeout
    while True:
        left = _POOL_STEP if deadline is None else max(0.0, deadline - loop.time())
        step = min(_POOL_STEP, left)
        if await loop.run_in_executor(_waits.threads(), bell.wait, after, step, 0.0):
            return True
        if deadline is not None and loop.time() >= deadline:
            return False
