"""The streaming example runs to completion on its own and leaves no channel behind."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

from qm_support import run_example


@pytest.mark.slow
def test_stream_frames_example(tmp_path: Path) -> None:
    lines = run_example("stream_frames.py", tmp_path, "quillmere-stream-example")
    assert lines[0] == "writer:  wrote 200 frames and an end marker, last entry_seq 201"
    copying = re.fullmatch(r"copying: read (\d+) of 200 frames .*, entry_seq (\d+)\.\.200, \d+ gaps", lines[1])
    assert copying is not None, lines[1]
    assert lines[2].startswith("lagging: read ")
