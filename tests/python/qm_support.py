"""Plain helpers shared by the pytest files (the fixtures live in conftest.py).

Child interpreters are bounded by timeouts; those generous bounds only keep a
broken build from hanging the run, no test asserts on how long anything takes.
"""

from __future__ import annotations

import os
import select
import struct
import subprocess
import sys
import textwrap
import time
import uuid
from pathlib import Path

CHILD_TIMEOUT = 120.0
LINE_TIMEOUT = 60.0

# Prepended to every child snippet.
CHILD_PRELUDE = "import os, sys, json, time\nimport numpy\nimport quillmere\n"

HEADER_SIZE = 72
MAGIC = 0x514C4D5200000001


EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


def run_example(file_name: str, cwd: Path, channel_marker: str) -> list[str]:
    """Runs examples/`file_name` to completion and returns its output lines; fails when it
    exits non-zero or leaves behind a channel whose name contains `channel_marker`."""
    before = set(os.listdir("/dev/shm"))
    result = subprocess.run([sys.executable, str(EXAMPLES / file_name)], cwd=cwd,
                            capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    assert result.returncode == 0, result.stdout + result.stderr
    leaked = {n for n in set(os.listdir("/dev/shm")) - before if channel_marker in n}
    assert not leaked
    return result.stdout.splitlines()


def new_channel_name() -> str:
    return f"/qm-test-{os.getpid()}-{uuid.uuid4().hex[:8]}"


def shm_path(name: str) -> str:
    """Where Linux exposes the POSIX shared-memory object `name`."""
    return "/dev/shm/" + name.lstrip("/")


def segment_exists(name: str) -> bool:
    return os.path.exists(shm_path(name))


def header_words(name: str) -> tuple[int, ...]:
    """The nine 64-bit header words of a channel, read through the filesystem:
    magic, entry_length, entry_count, dtype, owner_pid, writer_pid,
    reader_pid, write_cursor, writer_entry_seq."""
    with open(shm_path(name), "rb") as f:
        return struct.unpack("<9Q", f.read(HEADER_SIZE))


def segment_size(name: str) -> int:
    return os.stat(shm_path(name)).st_size


def child_code(code: str) -> str:
    return CHILD_PRELUDE + textwrap.dedent(code)


def run_python(
    code: str, *args: str, timeout: float = CHILD_TIMEOUT, check: bool = True
) -> subprocess.CompletedProcess[str]:
    """Run `code` in a fresh interpreter with `args` as sys.argv[1:]."""
    proc = subprocess.run(
        [sys.executable, "-c", child_code(code), *args],
        capture_output=True,
        text=True,
        timeout=timeout,
        stdin=subprocess.DEVNULL,
    )
    if check and proc.returncode != 0:
        raise AssertionError(
            f"child exited with {proc.returncode}\n"
            f"--- stdout ---\n{proc.stdout}\n--- stderr ---\n{proc.stderr}"
        )
    return proc


class Child:
    """A long-running child interpreter driven line by line over its pipes.

    The child reads commands with `sys.stdin.readline()` and answers with
    `print(..., flush=True)`. Every read is bounded, so a wedged child fails
    the test instead of hanging it.
    """

    def __init__(self, code: str, *args: str, argv: list[str] | None = None) -> None:
        """Runs `code` in a child interpreter, or the program `argv` when given."""
        self.proc = subprocess.Popen(
            argv or [sys.executable, "-c", child_code(code), *args],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            bufsize=0,
        )
        self._pending = b""

    @property
    def pid(self) -> int:
        return self.proc.pid

    def send(self, line: str) -> None:
        assert self.proc.stdin is not None
        self.proc.stdin.write(line.encode() + b"\n")
        self.proc.stdin.flush()

    def readline(self, timeout: float = LINE_TIMEOUT) -> str:
        """Next line of the child's stdout, without the newline."""
        assert self.proc.stdout is not None
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        while b"\n" not in self._pending:
            left = deadline - time.monotonic()
            ready, _, _ = select.select([fd], [], [], max(left, 0))
            if not ready:
                self.fail(f"no line from child within {timeout} s")
            chunk = os.read(fd, 65536)
            if not chunk:
                self.fail(f"child closed its stdout (exit code {self.proc.wait(CHILD_TIMEOUT)})")
            self._pending += chunk
        line, _, self._pending = self._pending.partition(b"\n")
        return line.decode()

    def expect(self, expected: str, timeout: float = LINE_TIMEOUT) -> None:
        line = self.readline(timeout)
        if line != expected:
            self.fail(f"expected {expected!r} from child, got {line!r}")

    def request(self, command: str, timeout: float = LINE_TIMEOUT) -> str:
        self.send(command)
        return self.readline(timeout)

    def wait(self, timeout: float = CHILD_TIMEOUT) -> int:
        return self.proc.wait(timeout=timeout)

    def fail(self, why: str) -> None:
        self.kill()
        err = self.proc.stderr.read().decode() if self.proc.stderr else ""
        raise AssertionError(f"{why}\n--- child stderr ---\n{err}")

    def kill(self) -> None:
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.wait(timeout=CHILD_TIMEOUT)

    def close(self) -> None:
        self.kill()
        for stream in (self.proc.stdin, self.proc.stdout, self.proc.stderr):
            if stream is not None:
                stream.close()
