"""Helpers for the bridge tests: free loopback ports, bridge ends run as real `quillmere bridge`
processes, and a paced writer that runs until the far channel shows what a test waits for.

Every bridge process gets explicit tcp/127.0.0.1 endpoints and keeps multicast scouting and
gossip off (the bridge's default), so nothing leaves the loopback interface.
"""

from __future__ import annotations

import signal
import socket
import subprocess
import sys
import time
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from typing import Any

CLI = [sys.executable, "-m", "quillmere_tools", "bridge"]
STOP_TIMEOUT = 30.0
FLOW_TIMEOUT = 60.0  # generous: a bridge pair connects in well under a second


def free_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        return int(probe.getsockname()[1])


def loopback(port: int) -> str:
    return f"tcp/127.0.0.1:{port}"


class BridgeProcess:
    """One `quillmere bridge ...` process; killed at the end of its `with` block whatever
    happened."""

    def __init__(self, *args: str) -> None:
        self.args = args
        self.proc = subprocess.Popen([*CLI, *args], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)

    @property
    def pid(self) -> int:
        return self.proc.pid

    def stop(self, signum: int = signal.SIGTERM) -> tuple[int, str, str]:
        """Sends `signum` and returns (exit code, stdout, stderr)."""
        self.proc.send_signal(signum)
        return self.finish()

    def finish(self) -> tuple[int, str, str]:
        """Waits for the process to end by itself."""
        out, err = self.proc.communicate(timeout=STOP_TIMEOUT)
        return self.proc.returncode, out, err

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.communicate(timeout=STOP_TIMEOUT)

    def __enter__(self) -> BridgeProcess:
        return self

    def __exit__(self, *exc: object) -> None:
        self.kill()


def publisher(name: str, key: str, port: int, *extra: str) -> BridgeProcess:
    return BridgeProcess("publish", name, "--key", key, "--connect", loopback(port), *extra)


def subscriber(key: str, name: str, port: int, *extra: str) -> BridgeProcess:
    return BridgeProcess("subscribe", key, "--into", name, "--listen", loopback(port), *extra)


@contextmanager
def bridge_pair(near: str, far: str, key: str, *extra: str, subscriber_extra: tuple[str, ...] = ()
                ) -> Iterator[tuple[BridgeProcess, BridgeProcess]]:
    """A subscriber listening on a free loopback port and a publisher connecting to it; `extra`
    goes to both."""
    port = free_port()
    with subscriber(key, far, port, *extra, *subscriber_extra) as sub, \
            publisher(near, key, port, *extra) as pub:
        yield pub, sub


def pump(write: Callable[[int], None], read: Callable[[], Any],
         done: Callable[[list[Any]], bool], *, period: float = 0.002) -> list[Any]:
    """Writes entry number 1, 2, ... every `period` seconds, collecting what `read` returns
    (None for nothing new) until `done(collected)`. Bridges connect while this runs, so a
    test never has to guess how long that takes."""
    got: list[Any] = []
    number = 0
    deadline = time.monotonic() + FLOW_TIMEOUT
    while not done(got):
        if time.monotonic() > deadline:
            raise AssertionError(f"far side saw {len(got)} entries after {number} written")
        number += 1
        write(number)
        time.sleep(period)
        while (entry := read()) is not None:
            got.append(entry)
    return got


def numbered(number: int, length: int) -> bytes:
    """A payload that says which entry it is."""
    return number.to_bytes(8, "little") * (length // 8)


def number_of(payload: bytes) -> int:
    return int.from_bytes(payload[:8], "little")
