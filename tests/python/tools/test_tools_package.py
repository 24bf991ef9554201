"""The companion package: installed next to the module, typed, looking at channels by name."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

import quillmere
import quillmere_tools


def test_trailer_of_a_created_channel_is_valid(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=64, entry_count=8)
    assert quillmere_tools.trailer_state(channel_name) == ("valid", 1, 0)
    del writer


def test_missing_channel_is_file_not_found(channel_name: str) -> None:
    with pytest.raises(FileNotFoundError, match=channel_name):
        quillmere_tools.trailer_state(channel_name)


def test_module_surface_is_unchanged() -> None:
    assert sorted(quillmere.__all__) == sorted(
        ["BytesWriter", "BytesReader", "Float64Writer", "Float64Reader", "ReadHandle",
         "WriteHandle", "unlink", "ChannelRoleConflict"]
    )
    assert not hasattr(quillmere, "wait")


TYPED_USE = """\
import asyncio

import numpy
import numpy.typing as npt
import quillmere
import quillmere_tools

state = quillmere_tools.trailer_state("/x")
waiters: int = state.waiters

reader = quillmere.BytesReader("/x")
ready: bool = quillmere_tools.wait(reader, 0.5, spin=0)
for seq, payload in quillmere_tools.follow(reader, timeout=1):
    text: bytes = payload
out = numpy.zeros(8, dtype=numpy.uint8)
for seq, refilled in quillmere_tools.follow(reader, out=out):
    same: npt.NDArray[numpy.uint8] = refilled
vectors = quillmere.Float64Reader("/y")
for seq, vector in quillmere_tools.follow(vectors):
    values: npt.NDArray[numpy.float64] = vector

async def main() -> None:
    with quillmere_tools.Doorbell("/x") as bell:
        woke: bool = await bell.wait_async(reader.last_entry_seq, timeout=1.0)
        woke = bell.wait(0)
    async for seq, payload in quillmere_tools.afollow(reader, timeout=1):
        text = payload

asyncio.run(main())
"""

MISUSE = """\
import quillmere
import quillmere_tools

quillmere_tools.trailer_state(3)
version: str = quillmere_tools.trailer_state("/x").version
quillmere_tools.wait(quillmere.BytesWriter("/x"))
for seq, payload in quillmere_tools.follow(quillmere.BytesReader("/x")):
    wrong: str = payload
"""


def run_mypy(tmp_path: Path, source: str) -> subprocess.CompletedProcess[str]:
    pytest.importorskip("mypy", reason="mypy is not installed")
    target = tmp_path / "example.py"
    target.write_text(source)
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir",
         os.devnull, "--python-executable", sys.executable, str(target)],
        cwd=tmp_path, capture_output=True, text=True, timeout=600,
    )


def test_package_passes_strict_mypy(tmp_path: Path) -> None:
    result = run_mypy(tmp_path, TYPED_USE)
    assert result.returncode == 0, result.stdout + result.stderr


def test_strict_mypy_rejects_misuse(tmp_path: Path) -> None:
    result = run_mypy(tmp_path, MISUSE)
    assert result.returncode == 1
    assert result.stdout.count("error:") == 4, result.stdout
