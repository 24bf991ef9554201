"""Waiting under asyncio: entries from three channels while the event loop stays responsive."""

from __future__ import annotations

import asyncio
import time

import pytest

import quillmere
from quillmere_tools import Doorbell, afollow
from tools_timing import assert_times_out

PACED_WRITER = """
names, count = sys.argv[1:4], int(sys.argv[4])
writers = [quillmere.BytesWriter(name) for name in names]
print("ready", flush=True)
sys.stdin.readline()
for k in range(1, count + 1):
    if k == count // 2 + 1:
        time.sleep(0.5)                   # every reader waits through this pause
    for index, writer in enumerate(writers):
        if k % (index + 1) == 0:          # three different paces
            writer.write(k.to_bytes(8, "little"))
    time.sleep(0.002)
print("done", flush=True)
"""


def test_three_channels_awaited_while_a_1ms_ticker_keeps_ticking(make_channel_name, spawn) -> None:
    names = [make_channel_name() for _ in range(3)]
    readers = [quillmere.BytesReader(name, entry_length=8, entry_count=64) for name in names]
    count = 300
    child = spawn(PACED_WRITER, *names, str(count))
    child.expect("ready")

    async def collect(reader: quillmere.BytesReader) -> list[tuple[float, int]]:
        return [
            (time.monotonic(), int.from_bytes(payload, "little"))
            async for _, payload in afollow(reader, timeout=2)
        ]

    async def main() -> tuple[list[list[tuple[float, int]]], list[float]]:
        ticks: list[float] = []
        stop = asyncio.Event()

        async def ticker() -> None:
            while not stop.is_set():
                ticks.append(time.monotonic())
                await asyncio.sleep(0.001)

        ticking = asyncio.create_task(ticker())
        child.send("go")
        got = await asyncio.gather(*(collect(reader) for reader in readers))
        stop.set()
        await ticking
        return got, ticks

    got, ticks = asyncio.run(main())
    child.expect("done")
    for index, arrivals in enumerate(got):
        assert [k for _, k in arrivals] == [k for k in range(1, count + 1) if k % (index + 1) == 0]
    # While all three readers waited through the writer's pause, the ticker kept ticking: a
    # wait that blocked the loop would leave at most a tick or two per 0.25 s wait step there.
    times = dict((k, at) for at, k in got[0])
    paused_from, paused_until = times[count // 2], times[count // 2 + 1]
    assert paused_until - paused_from >= 0.4
    assert sum(paused_from < tick < paused_until for tick in ticks) >= 50


def test_wait_async_answers_and_times_out(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)

    async def main() -> bool:
        with Doorbell(channel_name) as bell:
            await asyncio.to_thread(
                assert_times_out, lambda: asyncio.run(bell.wait_async(0, 0.3)), 0.3
            )
            asyncio.get_running_loop().call_later(0.05, writer.write, bytes(8))
            return await bell.wait_async(0, 30)

    assert asyncio.run(main()) is True


def test_cancelling_wait_async_leaves_the_loop_usable(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)

    async def main() -> bool:
        with Doorbell(channel_name) as bell:
            task = asyncio.create_task(bell.wait_async(0))
            await asyncio.sleep(0.05)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            writer.write(bytes(8))
            return await bell.wait_async(0, 30)

    assert asyncio.run(main()) is True


def test_afollow_on_a_deferred_reader_waits_for_the_channel(channel_name: str) -> None:
    reader = quillmere.BytesReader(channel_name, delayed_connect=True)

    async def main() -> list[int]:
        async def create_later() -> quillmere.BytesWriter:
            await asyncio.sleep(0.05)
            writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
            writer.write(bytes(8))
            return writer

        making = asyncio.create_task(create_later())
        got = [seq async for seq, _ in afollow(reader, timeout=0.5)]
        await making
        return got

    assert asyncio.run(main()) == [1]
