"""Configuring the source tree with a compiler too old for it fails at once, in one line that
names the compiler found and the minimum needed. The old compilers are real ones whose
version (or library feature macro) a wrapper script disguises."""

from __future__ import annotations

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[2]
NEEDED = "quillmere needs a C++23 compiler, g++ 12 or clang 16 or newer; found "


def cmake() -> str:
    beside = Path(sys.executable).with_name("cmake")
    found = str(beside) if beside.exists() else shutil.which("cmake")
    if found is None:
        pytest.skip("cmake is not installed")
    return found


@pytest.mark.slow
@pytest.mark.parametrize(
    ("compiler", "flags", "found"),
    [
        ("g++", "-U__GNUC__ -D__GNUC__=9", "GNU 9."),
        ("clang++-19", "-U__clang_major__ -D__clang_major__=15", "Clang 15."),
        # Clang 16 to 18 with the GNU library: concepts below C++20's final value hide
        # std::expected.
        (
            "clang++-19",
            "-U__cpp_concepts -D__cpp_concepts=201907L",
            "whose standard library lacks std::expected or std::atomic_ref",
        ),
    ],
)
def test_configure_refuses_old_compiler(tmp_path: Path, compiler: str, flags: str, found: str) -> None:
    real = shutil.which(compiler)
    if real is None:
        pytest.skip(f"{compiler} is not installed")
    wrapper = tmp_path / "old-c++"
    wrapper.write_text(f'#!/bin/sh\nexec {real} {flags} "$@"\n')
    wrapper.chmod(0o755)
    done = subprocess.run(
        [cmake(), "-S", str(SOURCE), "-B", str(tmp_path / "build"), "-G", "Ninja",
         f"-DCMAKE_CXX_COMPILER={wrapper}", "-DQUILLMERE_BUILD_PYTHON=OFF"],
        capture_output=True, text=True, timeout=300,
    )
    assert done.returncode != 0
    lines = [line.strip() for line in done.stderr.splitlines() if NEEDED in line]
    assert len(lines) == 1, done.stderr
    assert found in lines[0] and str(wrapper) in lines[0]
