"""Asynchronous waits at scale and in odd places: many pending at once, cancelled, in a fork
child, and on a reader whose channel name was made again."""

from __future__ import annotations

import asyncio
import time

import quillmere
import quillmere_tools
from quillmere_tools import Doorbell, afollow


def test_two_hundred_quiet_waits_neither_block_a_busy_one_nor_outlive_cancelling(
    make_channel_name,
) -> None:
    quiet = [make_channel_name() for _ in range(200)]
    busy = make_channel_name()
    writers = [quillmere.BytesWriter(name, entry_length=8, entry_count=4) for name in quiet]
    busy_writer = quillmere.BytesWriter(busy, entry_length=8, entry_count=4)
    bells = [Doorbell(name) for name in quiet]

    async def scenario() -> list[bool]:
        pending = [asyncio.ensure_future(bell.wait_async(0)) for bell in bells]
        await asyncio.sleep(0.2)  # all of them asleep
        answers = []
        with Doorbell(busy) as bell:
            for k in range(3):
                waiting = asyncio.ensure_future(bell.wait_async(k, timeout=10))
                await asyncio.sleep(0.01)
                busy_writer.write(bytes(8))
                answers.append(await waiting)
        for task in pending:
            task.cancel()
        await asyncio.gather(*pending, return_exceptions=True)
        return answers

    try:
        assert asyncio.run(scenario()) == [True, True, True]
        # Cancelled means gone from the doorbells now, not after some step of a thread.
        still = [name for name in quiet if quillmere_tools.trailer_state(name).waiters]
        assert still == []
    finally:
        for bell in bells:
            bell.close()
        del writers


def test_wait_async_in_a_fork_child_of_a_process_that_used_it(channel_name: str, run_python) -> None:
    code = """
        import asyncio, os, sys
        import quillmere
        from quillmere_tools import Doorbell
        writer = quillmere.BytesWriter(sys.argv[1], entry_length=8, entry_count=4)
        bell = Doorbell(sys.argv[1])
        assert asyncio.run(bell.wait_async(0, 0.05)) is False  # the parent's waiting threads
        writer.write(bytes(8))
        pid = os.fork()
        if pid == 0:
            try:
                found = asyncio.run(asyncio.wait_for(bell.wait_async(0, 5), 3))
            except BaseException:
                os._exit(2)
            os._exit(0 if found else 1)
        _, status = os.waitpid(pid, 0)
        print(os.waitstatus_to_exitcode(status))
    """
    assert run_python(code, channel_name).stdout.split() == ["0"]


def test_afollow_stays_on_the_readers_segment_when_the_name_is_made_again(
    channel_name: str,
) -> None:
    first = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    first.write(bytes(8))
    reader = quillmere.BytesReader(channel_name)
    assert reader.read() is not None
    del first  # the owner goes, and with it the name
    again = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    for _ in range(3):
        again.write(bytes(8))

    async def follow_it() -> list:
        return [entry async for entry in afollow(reader, timeout=0.3)]

    started = time.process_time()
    got = asyncio.run(asyncio.wait_for(follow_it(), 10))
    used = time.process_time() - started
    assert got == []
    assert used < 0.15, f"{used:.2f} s of CPU in a 0.3 s wait: it spun"
