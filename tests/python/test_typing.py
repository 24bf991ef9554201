"""The installed module's type stub: `mypy --strict` must find it and accept typed use."""

from __future__ import annotations

import os
import subprocess
import sys
from pathlib import Path

import pytest

pytest.importorskip("mypy", reason="mypy is not installed")

HERE = Path(__file__).resolve().parent

# Misuses that only a real stub (not an untyped or missing module) rejects.
MISUSE = """\
import numpy
import quillmere

quillmere.BytesWriter("/x").write(bytearray(8))
quillmere.BytesWriter("/x", entry_length="8", entry_count=1)
quillmere.Float64Reader("/x").read(out=numpy.zeros(8), from_entry_seq="3")
quillmere.BytesReader("/x").read(None)
quillmere.unlink(3)
seq: str = quillmere.BytesReader("/x").last_entry_seq
"""


def run_mypy(tmp_path: Path, source: str) -> subprocess.CompletedProcess[str]:
    # Checked from an empty directory, so that nothing in the source tree can
    # stand in for the installed module.
    target = tmp_path / "example.py"
    target.write_text(source)
    return subprocess.run(
        [
            sys.executable, "-m", "mypy", "--strict", "--no-incremental",
            "--cache-dir", os.devnull, "--python-executable", sys.executable,
            "--show-error-codes", str(target),
        ],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        timeout=600,
    )


def test_typed_example_passes_strict_mypy(tmp_path: Path) -> None:
    source = (HERE / "typed_example.py").read_text()
    result = run_mypy(tmp_path, source)
    assert result.returncode == 0, result.stdout + result.stderr


def test_stub_rejects_misuse(tmp_path: Path) -> None:
    result = run_mypy(tmp_path, MISUSE)
    assert "import-not-found" not in result.stdout, result.stdout
    assert "import-untyped" not in result.stdout, result.stdout
    errors = [line for line in result.stdout.splitlines() if ": error:" in line]
    lines_with_errors = {int(line.split(":")[1]) for line in errors}
    assert lines_with_errors == {4, 5, 6, 7, 8, 9}, result.stdout


def test_stub_is_installed_once_where_mypy_looks(tmp_path: Path) -> None:
    # PEP 561: a single-module extension ships its stub as a stub-only package, and only there.
    import quillmere

    site = Path(quillmere.__file__).parent
    assert (site / "quillmere-stubs" / "__init__.pyi").is_file(), sorted(
        p.name for p in site.glob("quillmere*")
    )
    assert not (site / "quillmere.pyi").exists(), "a second copy of the stub beside the module"
