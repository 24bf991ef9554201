"""The camera example runs to completion by itself and type-checks; misuse of the frames
API does not."""

from __future__ import annotations

import re
from pathlib import Path

import pytest

from qm_support import EXAMPLES, run_example
from test_tools_package import run_mypy

EXAMPLE = EXAMPLES / "camera_frames.py"


@pytest.mark.slow
def test_camera_example(tmp_path: Path) -> None:
    lines = run_example("camera_frames.py", tmp_path, "camera-example")
    assert lines[0] == "producer: 90 frames of (480, 640, 3) uint8 at 30 fps"
    # Consumers may lose frames on a loaded machine, never the last one.
    assert re.fullmatch(r"copying: +\d+ of 90 frames .*, last entry_seq 90, blue 90", lines[1])
    assert re.fullmatch(r"zero-copy: +\d+ of 90 frames .* \d+\.\d\d first, 115\.18 last", lines[2])


MISUSE = """\
import numpy
from quillmere_tools.frames import FrameReader, FrameWriter

FrameWriter("/x", dtype=numpy.uint8, shape="480x640")
FrameReader("/x").read(out=b"")
seq: str = FrameReader("/x").last_entry_seq
"""


def test_example_passes_and_misuse_fails_strict_mypy(tmp_path: Path) -> None:
    assert run_mypy(tmp_path, EXAMPLE.read_text()).returncode == 0
    result = run_mypy(tmp_path, MISUSE)
    assert result.returncode == 1 and result.stdout.count("error:") == 3, result.stdout
