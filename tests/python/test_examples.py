"""The streaming example runs to completion on its own and leaves no channel behind."""

from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

EXAMPLE = Path(__file__).resolve().parents[2] / "examples" / "stream_frames.py"


@pytest.mark.slow
def test_stream_frames_example(tmp_path: Path) -> None:
    before = set(os.listdir("/dev/shm"))
    result = subprocess.run(
        [sys.executable, str(EXAMPLE)], cwd=tmp_path, capture_output=True, text=True, timeout=120
    )
    assert result.returncode == 0, result.stdout + result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "writer:  wrote 200 frames and an end marker, last entry_seq 201"
    copying = re.fullmatch(r"copying: read (\d+) of 200 frames .*, entry_seq (\d+)\.\.200, \d+ gaps", lines[1])
    assert copying is not None, lines[1]
    assert lines[2].startswith("lagging: read ")
    leaked = {n for n in set(os.listdir("/dev/shm")) - before if n.startswith("quillmere-stream-example")}
    assert not leaked
