"""Checks what a built wheel or sdist carries: the license, one copy of the module's stub,
and nothing of the CI machinery. Usage: check_dist.py wheel|sdist PATH"""

from __future__ import annotations

import sys
import tarfile
import zipfile


def wheel_faults(names: list[str]) -> list[str]:
    faults = []
    if not any(n.endswith(".dist-info/licenses/LICENSE") or n.endswith(".dist-info/LICENSE")
               for n in names):
        faults.append("no LICENSE in the .dist-info directory")
    stubs = [n for n in names if n.endswith(".pyi") and not n.startswith("quillmere_tools/")]
    if stubs != ["quillmere-stubs/__init__.pyi"]:
        faults.append(f"the module's stub must be quillmere-stubs/__init__.pyi alone, found {stubs}")
    return faults


def sdist_faults(names: list[str]) -> list[str]:
    # Every member sits under one top directory, quillmere-VERSION/.
    inner = [n.partition("/")[2] for n in names]
    faults = []
    if "LICENSE" not in inner:
        faults.append("no LICENSE at the top")
    ci = sorted(n for n in inner if n == ".ci" or n.startswith(".ci/"))
    if ci:
        faults.append(f"CI files: {ci}")
    return faults


def main(kind: str, path: str) -> int:
    if kind == "wheel":
        with zipfile.ZipFile(path) as wheel:
            faults = wheel_faults(wheel.namelist())
    else:
        with tarfile.open(path) as sdist:
            faults = sdist_faults(sdist.getnames())
    for fault in faults:
        print(f"{path}: {fault}", file=sys.stderr)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
