"""The rules every waiting loop keeps: it survives interpreter exit, refuses re-entry, sleeps
while the newest entry is held, lets go of the doorbell between calls, and refuses a fork
child's copy of a reader."""

from __future__ import annotations

import os
import signal
import threading
import time

import pytest

import quillmere
import quillmere_tools
from quillmere_tools import follow, wait


def waiters(name: str) -> int:
    return quillmere_tools.trailer_state(name).waiters


@pytest.mark.parametrize(
    "sleeper",
    [
        "quillmere_tools.Doorbell(name).wait(0)",
        "quillmere_tools.wait(quillmere.BytesReader(name))",
        "next(quillmere_tools.follow(quillmere.BytesReader(name)))",
    ],
)
def test_exit_while_a_daemon_thread_waits(channel_name: str, run_python, sleeper: str) -> None:
    code = f"""
        import sys, threading, time
        import quillmere, quillmere_tools
        name = sys.argv[1]
        writer = quillmere.BytesWriter(name, entry_length=8, entry_count=4)
        threading.Thread(target=lambda: {sleeper}, daemon=True).start()
        time.sleep(0.3)
    """
    # CPython 3.11 frees no module globals while a daemon thread lives at exit (the writer's
    # name stays, as with a daemon thread in time.sleep); the process must still end cleanly.
    done = run_python(code, channel_name, check=False)
    assert done.returncode == 0, done.stderr


class TestOneCallAtATime:
    def test_a_signal_handler_cannot_reenter(self, channel_name: str) -> None:
        writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
        entries = follow(quillmere.BytesReader(channel_name), timeout=0.3)
        inner: list[BaseException] = []

        def handler(signum: int, frame: object) -> None:
            try:
                next(entries)
            except BaseException as error:  # noqa: BLE001 - whatever it is, it is the answer
                inner.append(error)
            writer.write(b"12345678")

        previous = signal.signal(signal.SIGALRM, handler)
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.05)
            assert next(entries)[0] == 1  # the outer call goes on, intact
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, previous)
        assert len(inner) == 1 and isinstance(inner[0], RuntimeError), inner
        assert "already in a next() call" in str(inner[0])
        assert list(entries) == []  # and ends at its timeout as before

    def test_another_thread_cannot_join_in(self, channel_name: str) -> None:
        quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
        entries = follow(quillmere.BytesReader(channel_name), timeout=0.5)
        errors: list[BaseException] = []

        def meddle() -> None:
            time.sleep(0.1)
            try:
                next(entries)
            except BaseException as error:  # noqa: BLE001
                errors.append(error)

        thread = threading.Thread(target=meddle)
        thread.start()
        assert list(entries) == []
        thread.join(30)
        assert len(errors) == 1 and "already in a next() call" in str(errors[0])


HOLDER = """
    import sys, quillmere
    name = sys.argv[1]
    writer = quillmere.BytesWriter(name, entry_length=8, entry_count=4)
    writer.write(b"1" * 8)
    writer.write(b"2" * 8)
    holder = quillmere.BytesReader(name, enable_zero_copy=True)
    held = holder.try_acquire(from_entry_seq=1)
    print(held.entry_seq, flush=True)
    sys.stdin.readline()
"""


@pytest.mark.parametrize("how", ["follow", "afollow"])
def test_a_held_newest_entry_does_not_wake_the_wait(channel_name: str, spawn, how: str) -> None:
    holder = spawn(HOLDER, channel_name)
    holder.expect("2")
    reader = quillmere.BytesReader(channel_name)
    assert reader.read()[0] == 1  # type: ignore[index]
    started = time.process_time()
    if how == "follow":
        got = list(follow(reader, timeout=0.3))
    else:
        import asyncio

        async def collect() -> list:
            return [entry async for entry in quillmere_tools.afollow(reader, timeout=0.3)]

        got = asyncio.run(collect())
    used = time.process_time() - started
    holder.send("")
    assert got == []
    assert used < 0.15, f"{used:.2f} s of CPU in a 0.3 s wait: it spun"


def test_a_follower_between_calls_leaves_the_doorbell(channel_name: str) -> None:
    ready, go, done = threading.Event(), threading.Event(), threading.Event()

    def write_later() -> None:
        writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
        ready.set()
        go.wait(30)
        time.sleep(0.05)  # the follower is asleep by now
        writer.write(b"12345678")
        done.wait(30)

    thread = threading.Thread(target=write_later)
    thread.start()
    try:
        ready.wait(30)
        entries = follow(quillmere.BytesReader(channel_name), timeout=5)
        go.set()
        assert next(entries)[0] == 1
        assert waiters(channel_name) == 0  # parked, and the writer pays nothing for it
    finally:
        go.set()
        done.set()
        thread.join(30)


def test_a_fork_child_cannot_wait_on_the_parents_reader(channel_name: str) -> None:
    reader = quillmere.BytesReader(
        channel_name, entry_length=8, entry_count=4, delayed_connect=True, enable_zero_copy=True
    )
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    writer.write(b"12345678")
    pid = os.fork()
    if pid == 0:
        try:
            wait(reader, 0)
            code = 1
        except RuntimeError as error:
            code = 0 if "cannot be used in a fork child" in str(error) else 2
        except BaseException:  # noqa: BLE001
            code = 3
        os._exit(code)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    assert reader.read()[0] == 1  # type: ignore[index]  # the role is still the parent's
