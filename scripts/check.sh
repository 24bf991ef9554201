#!/usr/bin/env bash
# The fast loop: builds the current tree (the `plain` preset: C++ tests and the Python module),
# runs the C++ tests and the pytest suite without the slow tests against that build.
# Needs no root and installs nothing outside build/: a missing compiler, GoogleTest or Python
# header is named, not installed. The Python tools come from pip into build/venv.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
venv=$root/build/venv
jobs=${QUILLMERE_JOBS:-$(nproc)}
python=${PYTHON:-python3}

missing=()
if ! command -v g++ >/dev/null; then
  missing+=("g++ 12 or later")
elif ! gxx=$(g++ -dumpversion 2>/dev/null) || ! [[ ${gxx%%.*} =~ ^[0-9]+$ ]] || ((${gxx%%.*} < 12)); then
  missing+=("g++ 12 or later (found '${gxx:-}')")
elif ! echo '#include <gtest/gtest.h>' | g++ -std=c++2b -x c++ -fsyntax-only - 2>/dev/null; then
  missing+=("GoogleTest headers and libraries (libgtest-dev)")
fi
if ! "$python" -c 'import sys; sys.exit(sys.version_info < (3, 11))' 2>/dev/null; then
  missing+=("Python 3.11 or later as '$python' (or set PYTHON)")
else
  "$python" -c 'import ensurepip, venv' 2>/dev/null || missing+=("the venv module of $python (python3-venv)")
  "$python" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' ||
    missing+=("the headers of $python (python3-dev)")
fi
if ((${#missing[@]})); then
  printf 'missing: %s\n' "${missing[@]}" >&2
  echo "install these (scripts/test.sh does it when run as root), then rerun" >&2
  exit 1
fi

# The test tools, reinstalled only when requirements-test.txt changes.
[ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
if ! cmp -s requirements-test.txt "$venv/requirements-test.txt"; then
  "$venv/bin/pip" install -q --upgrade pip
  "$venv/bin/pip" install -q -r requirements-test.txt
  cp requirements-test.txt "$venv/requirements-test.txt"
fi
export PATH=$venv/bin:$PATH

echo "==== build (preset plain) ===="
cmake --preset plain -DPython_EXECUTABLE="$venv/bin/python" >/dev/null
cmake --build --preset plain -j "$jobs"
site=$root/build/plain/site
rm -rf "$site"  # a fresh install: nothing that the build no longer installs may linger
cmake --install build/plain --prefix "$site" >/dev/null

echo "==== C++ tests ===="
ctest --preset plain -j "$jobs"

echo "==== pytest -m 'not slow' against build/plain ===="
export PYTHONPATH=$site${PYTHONPATH:+:$PYTHONPATH}
# The C and C++ programs that tests drive across processes, built above; required when set.
export QUILLMERE_HELPERS=$root/build/plain/helpers
python - "$site" <<'EOF'
import pathlib, sys, quillmere
# An installed wheel must not stand in for the build of this tree.
assert pathlib.Path(quillmere.__file__).parent == pathlib.Path(sys.argv[1]), quillmere.__file__
EOF
python -m pytest tests/python -q -p no:cacheprovider -m "not slow"
