"""Running the `quillmere` command (in this process, or in a child where a test needs a
process of its own: signals, dropped privileges), and channel-making children."""

from __future__ import annotations

import contextlib
import ctypes
import io
import json
import os
import shutil
import subprocess
import sys
from collections.abc import Callable, Iterator
from dataclasses import dataclass
from typing import Any

import pytest

from qm_support import CHILD_TIMEOUT, new_channel_name, shm_path
from quillmere_tools.cli import main

DIRECTORY_VARIABLE = "QUILLMERE_SHM_DIR"
PR_CAPBSET_DROP = 24
CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH = 1, 2

# A child that owns a float64 channel (argv[1]) and acts on one command a line:
# "write N" writes N entries (entry k holds k, k+1, k+2, k+3), "hold S" pins the oldest entry
# above S with a zero-copy reader and answers its entry_seq.
MAKER = """
name = sys.argv[1]
writer = quillmere.Float64Writer(name, entry_length=4, entry_count=8)
held = []
print("ready", flush=True)
for line in sys.stdin:
    command, value = line.split()
    if command == "write":
        for _ in range(int(value)):
            k = writer.last_entry_seq + 1
            writer.write(numpy.arange(k, k + 4, dtype=numpy.float64))
        print(writer.last_entry_seq, flush=True)
    elif command == "hold":
        reader = quillmere.Float64Reader(name, enable_zero_copy=True)
        held.append((reader, reader.try_acquire(from_entry_seq=int(value))))
        print(held[-1][1].entry_seq, flush=True)
"""


def without_file_permission_override() -> None:
    """In the child: give up what lets root open any file (a no-op for other users). They
    leave the bounding set, which takes effect at the next exec."""
    if os.geteuid() != 0:
        return
    libc = ctypes.CDLL(None, use_errno=True)
    for cap in (CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH):
        if libc.prctl(PR_CAPBSET_DROP, cap, 0, 0, 0) != 0:
            os._exit(99)


# A Child running `python -m quillmere_tools ARGS` (sys.argv[1:]) as a user whom file
# permissions bind, also when the tests run as root; exit code 99 when that cannot be had.
CLI_BOUND_BY_PERMISSIONS = f"""
import ctypes, os
if os.geteuid() == 0:
    for cap in ({CAP_DAC_OVERRIDE}, {CAP_DAC_READ_SEARCH}):
        if ctypes.CDLL(None).prctl({PR_CAPBSET_DROP}, cap, 0, 0, 0) != 0:
            os._exit(99)
os.execv(sys.executable, [sys.executable, "-m", "quillmere_tools", *sys.argv[1:]])
"""


def run_cli(
    *args: str, directory: str | None = None, preexec_fn: Callable[[], None] | None = None
) -> subprocess.CompletedProcess[str]:
    """`python -m quillmere_tools ARGS` with its output; `directory` replaces the platform's
    shared-memory directory for that run, `preexec_fn` runs in the child before the command."""
    env = dict(os.environ)
    env.pop(DIRECTORY_VARIABLE, None)
    if directory is not None:
        env[DIRECTORY_VARIABLE] = directory
    return subprocess.run(
        [sys.executable, "-m", "quillmere_tools", *args],
        capture_output=True, text=True, timeout=CHILD_TIMEOUT, env=env,
        stdin=subprocess.DEVNULL, preexec_fn=preexec_fn,
    )


@dataclass
class Outcome:
    returncode: int
    stdout: str
    stderr: str


@contextlib.contextmanager
def shm_directory(directory: str | None) -> Iterator[None]:
    """The command looks in `directory` (None: the platform's) for the duration."""
    saved = os.environ.pop(DIRECTORY_VARIABLE, None)
    if directory is not None:
        os.environ[DIRECTORY_VARIABLE] = directory
    try:
        yield
    finally:
        os.environ.pop(DIRECTORY_VARIABLE, None)
        if saved is not None:
            os.environ[DIRECTORY_VARIABLE] = saved


def call_cli(*args: str, directory: str | None = None) -> Outcome:
    """The command's `main` in this process: its exit code (argparse's too) and output."""
    out, err = io.StringIO(), io.StringIO()
    with shm_directory(directory), contextlib.redirect_stdout(out), \
            contextlib.redirect_stderr(err):
        try:
            code = main(list(args))
        except SystemExit as usage_error:
            code = int(usage_error.code or 0)
    return Outcome(code, out.getvalue(), err.getvalue())


def cli_json(*args: str, directory: str | None = None) -> Any:
    result = call_cli(*args, "--json", directory=directory)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def row_of(listing: list[dict[str, Any]], name: str) -> dict[str, Any]:
    rows = [row for row in listing if row["name"] == name]
    assert len(rows) == 1, listing
    return rows[0]


class LinkDirectory:
    """A directory of hard links to channel segments, for commands that must not see (or
    remove) anything else in the shared-memory directory. It lives in the same file system
    as the segments, since hard links cannot cross file systems."""

    def __init__(self) -> None:
        self.path = shm_path(new_channel_name() + "-dir")
        os.mkdir(self.path, 0o755)

    def link(self, name: str) -> None:
        os.link(shm_path(name), os.path.join(self.path, name.lstrip("/")))

    def holds(self, name: str) -> bool:
        return os.path.exists(os.path.join(self.path, name.lstrip("/")))

    def remove(self) -> None:
        shutil.rmtree(self.path, ignore_errors=True)


@pytest.fixture
def link_directory() -> Iterator[LinkDirectory]:
    directory = LinkDirectory()
    try:
        yield directory
    finally:
        directory.remove()
