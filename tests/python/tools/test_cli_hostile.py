"""The `quillmere` command against hostile directories, and its exit codes.

`ls` is fuzzed over a directory of random files (any bytes, any size, headers with random
words, rings cut short, things that are not files at all): it never crashes, hangs or lists
anything but channels; `stat` and `tail` on each file answer a channel or a one-line error.
"""

from __future__ import annotations

import contextlib
import importlib.metadata
import json
import os
import random
import struct
import subprocess
import sys
import tomllib
from pathlib import Path
from typing import cast

import pytest

import quillmere
import quillmere_tools
from cli_support import (LinkDirectory, Outcome, call_cli, cli_json, link_directory, run_cli,
                         without_file_permission_override)
from qm_support import CHILD_TIMEOUT, HEADER_SIZE, MAGIC, shm_path

__all__ = ["link_directory"]  # the fixture, used by name

def random_header(rng: random.Random) -> bytes:
    """Our magic word and eight words of mostly plausible, sometimes absurd values."""
    def word() -> int:
        return rng.choice([0, 8, 16, rng.randrange(1, 64), rng.getrandbits(32), rng.getrandbits(64)])
    return struct.pack("<9Q", MAGIC, *(word() for _ in range(8)))


def geometry_fits(data: bytes) -> bool:
    """What a channel's header must promise about its own file (the test's own statement)."""
    if len(data) < HEADER_SIZE or struct.unpack_from("<Q", data)[0] != MAGIC:
        return False
    length, count = cast(tuple[int, int], struct.unpack_from("<2Q", data, 8))
    return (length > 0 and count > 0 and length % 8 == 0
            and HEADER_SIZE + count * (length + 8) <= len(data))


def hostile_directory(directory: Path, real_segment: bytes, seed: int) -> set[str]:
    """Fills `directory`; returns the names that are channels."""
    rng = random.Random(seed)
    files: dict[str, bytes] = {"good": real_segment}
    for i in range(120):
        size = rng.choice([0, 1, 7, 71, 72, 73, 200, 4096, rng.randrange(65536)])
        files[f"random-{i}"] = rng.randbytes(size)
    for i in range(120):
        tail = rng.randbytes(rng.choice([0, 8, 100, 1000, rng.randrange(8192)]))
        files[f"header-{i}"] = random_header(rng) + tail
    for cut in (HEADER_SIZE, HEADER_SIZE + 1, len(real_segment) // 2, len(real_segment) - 1100):
        files[f"truncated-{cut}"] = real_segment[:cut]
    # Same ring, trailer bytes replaced: still a channel, without a doorbell.
    files["foreign-trailer"] = real_segment[:-1024] + rng.randbytes(1024)
    for name, data in files.items():
        (directory / name).write_bytes(data)
    (directory / "subdirectory").mkdir()
    (directory / "link").symlink_to(directory / "good")
    os.mkfifo(directory / "fifo")
    return {"/" + name for name, data in files.items() if geometry_fits(data)}


@pytest.mark.slow
@pytest.mark.parametrize("seed", [1, 2])
def test_ls_lists_exactly_the_channels_among_hostile_files(
    seed: int, tmp_path: Path, channel_name: str
) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=16, entry_count=64)
    writer.write(bytes(16))
    channels = hostile_directory(tmp_path, Path(shm_path(channel_name)).read_bytes(), seed)
    assert {"/good", "/foreign-trailer"} <= channels

    result = run_cli("ls", "--json", directory=str(tmp_path))  # a process of its own
    assert (result.returncode, result.stderr) == (0, "")
    rows = {row["name"]: row for row in json.loads(result.stdout)}
    assert set(rows) == channels
    assert rows["/good"]["waiters"] == 0 and rows["/foreign-trailer"]["waiters"] is None
    for row in rows.values():
        assert all(0 <= row[key] < 2**32 for key in ("owner_pid", "writer_pid", "reader_pid"))
    assert call_cli("ls", directory=str(tmp_path)).returncode == 0

    # Every file once more through stat and tail: a channel, or exit code 1 with one line
    # naming it.
    for entry in sorted(os.listdir(tmp_path)):
        for command in (["stat", "/" + entry], ["tail", "/" + entry, "-n", "3"]):
            outcome = call_cli(*command, directory=str(tmp_path))
            expected = 0 if "/" + entry in channels else 1
            assert outcome.returncode == expected, (command, outcome.stderr)
            if outcome.returncode:
                assert outcome.stderr.count("\n") == 1 and f"'/{entry}'" in outcome.stderr


def test_truncated_ring_is_not_a_channel(channel_name: str, tmp_path: Path) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=16, entry_count=64)
    (tmp_path / "cut").write_bytes(Path(shm_path(channel_name)).read_bytes()[:500])
    del writer
    result = call_cli("stat", "/cut", directory=str(tmp_path))
    assert result.returncode == 1
    assert result.stderr == (
        "quillmere: '/cut' is not a quillmere channel (shared memory segment of 500 bytes is "
        "too small for its header's geometry (16 payload bytes, 64 entries need 1608 bytes))\n")


def test_exit_codes_and_one_line_errors(tmp_path: Path) -> None:
    (tmp_path / "x").write_bytes(b"not a ring, not a ring, not a ring, not a ring, not a ring!!!!"
                                 b"!!!!!!!!!!!!!!")
    cases = [
        (["stat", "/x"], 1, "quillmere: '/x' is not a quillmere channel (shared memory segment "
                            "is not a Quillmere ring)\n"),
        (["stat", "/missing"], 1, "quillmere: no channel named '/missing'\n"),
        (["tail", "/missing"], 1, "quillmere: no channel named '/missing'\n"),
        (["watch", "/missing", "--count", "1"], 1, "quillmere: no channel named '/missing'\n"),
        (["stat", "/a/b"], 1, "quillmere: '/a/b' is not a valid channel name\n"),
        (["ls"], 0, ""),
        (["gc"], 0, ""),
    ]
    for args, code, stderr in cases:
        result = call_cli(*args, directory=str(tmp_path))
        assert (result.returncode, result.stderr) == (code, stderr), args
    for args in ([], ["frob"], ["watch", "/x", "--interval", "0"], ["tail", "/x", "-n", "-1"],
                 ["stat"]):
        result = call_cli(*args, directory=str(tmp_path))
        assert result.returncode == 2 and "usage:" in result.stderr, args
    missing = call_cli("ls", directory=str(tmp_path / "nowhere"))
    assert missing.returncode == 1 and missing.stderr.startswith("quillmere: cannot list")


@pytest.mark.parametrize(("args", "usage"), [
    (["ls", "--bogus"], "usage: quillmere ls "),
    (["stat", "/x", "-n", "3"], "usage: quillmere stat "),
    (["bridge", "publish", "/x", "--key", "k", "--into", "/y"], "usage: quillmere bridge publish "),
    (["bridge", "subscribe", "k", "--into", "/y", "--from-oldest"],
     "usage: quillmere bridge subscribe "),
])
def test_a_mistyped_option_shows_the_usage_of_its_command(args: list[str], usage: str) -> None:
    result = call_cli(*args)
    assert result.returncode == 2 and result.stderr.startswith(usage), result.stderr
    assert "error: unrecognized arguments:" in result.stderr


def test_version_is_the_project_version_and_bridge_roles_are_described() -> None:
    project = tomllib.loads((Path(__file__).parents[3] / "pyproject.toml").read_text())
    assert quillmere_tools.__version__ == project["project"]["version"]
    with contextlib.suppress(importlib.metadata.PackageNotFoundError):
        assert importlib.metadata.version("quillmere") == quillmere_tools.__version__
    assert call_cli("--version") == Outcome(0, f"quillmere {quillmere_tools.__version__}\n", "")
    for role, says in (("publish", "Follow local channel NAME"),
                       ("subscribe", "Take the entries a publisher puts")):
        result = call_cli("bridge", role, "--help")
        assert result.returncode == 0 and says in " ".join(result.stdout.split())


def test_installed_command_and_module_exit_with_the_same_codes() -> None:
    command = Path(sys.executable).with_name("quillmere")
    if not command.exists():
        try:
            importlib.metadata.distribution("quillmere")
        except importlib.metadata.PackageNotFoundError:
            pytest.skip("the console script comes with `pip install`; this run uses a build tree")
        pytest.fail("the console script is not installed next to the interpreter")
    usage = subprocess.run([command], capture_output=True, text=True, timeout=CHILD_TIMEOUT)
    assert usage.returncode == 2 and "usage: quillmere" in usage.stderr
    missing = run_cli("stat", "/qm-test-surely-missing")
    assert (missing.returncode, missing.stderr) == (
        1, "quillmere: no channel named '/qm-test-surely-missing'\n")


def test_permission_denied(channel_name: str, link_directory: LinkDirectory) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=16, entry_count=4)
    os.chmod(shm_path(channel_name), 0)
    link_directory.link(channel_name)
    result = run_cli("stat", channel_name, preexec_fn=without_file_permission_override)
    if result.returncode == 99:
        pytest.skip("cannot drop the capabilities that let root read any file")
    assert (result.returncode, result.stderr) == (
        1, f"quillmere: permission denied: '{channel_name}'\n")
    listed = run_cli("ls", directory=link_directory.path,
                     preexec_fn=without_file_permission_override)
    assert listed.stdout.splitlines()[-1] == "1 object could not be read (no permission?)"
    assert cli_json("ls", directory=link_directory.path)[0]["name"] == channel_name
    del writer
