#!/usr/bin/env bash
# Runs every test: installs what the tests need, runs the fast loop (scripts/check.sh), builds
# the documentation (mkdocs --strict), runs the C++ tests under ASan+UBSan and TSan and the
# fuzzer, builds the wheel (repaired to a manylinux tag) and the sdist into dist/ and checks
# both, checks the C library's packaging, builds the wheels for glibc 2.17 (x86-64 and aarch64)
# and tests the aarch64 build under emulation (C++ suites and the pytest files that cross
# processes), then runs pytest against the wheel: the whole suite with the newest NumPy, the
# non-slow tests against the Zig-built x86-64 wheel, against the ASan build of the module, with
# the oldest NumPy we support, and under every other CPython 3.11 or later on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build
dist=$root/dist
venv=$build/venv
jobs=${QUILLMERE_JOBS:-$(nproc)}
export CMAKE_BUILD_PARALLEL_LEVEL=$jobs  # for the wheel and sdist builds

step() { printf '\n==== %s ====\n' "$*"; }

run_pytest() {  # python, extra args...
  local py=$1
  shift
  set +e
  "$py" -m pytest tests/python -q -p no:cacheprovider "$@"
  local rc=$?
  set -e
  # 5 means nothing was collected: that is a broken suite, not a pass.
  if [ "$rc" -ne 0 ]; then
    echo "pytest failed with exit code $rc"
    exit 1
  fi
}

step "system packages"
missing=()
# clang 19 builds the libFuzzer target (older clang lacks std::expected with this libstdc++).
for pkg in libgtest-dev g++ clang-19 libclang-rt-19-dev pkg-config; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  sudo=()
  [ "$(id -u)" = 0 ] || sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
fi

step "fast check: plain build, C++ tests, pytest -m 'not slow' (scripts/check.sh)"
# Also creates build/venv with requirements-test.txt, used by every step below.
bash scripts/check.sh
export PATH=$venv/bin:$PATH
# The C and C++ programs that pytest drives (built by check.sh); a missing one fails the run.
export QUILLMERE_HELPERS=$build/plain/helpers

step "documentation: mkdocs build --strict (into build/site)"
# The API reference is read from the plain build's module stub and the companion's sources.
if ! cmp -s requirements-docs.txt "$venv/requirements-docs.txt"; then
  pip install -q -r requirements-docs.txt
  cp requirements-docs.txt "$venv/requirements-docs.txt"
fi
PYTHONPATH=$build/plain/site NO_MKDOCS_2_WARNING=1 mkdocs build --strict --quiet

step "C++ stress test, rerun until it fails (at most 100 runs)"
# Whether the threads overlap where it matters depends on the schedule: a claim or a hold done
# as a load and a plain store passes most single runs, but fails within a few dozen reruns.
ctest --preset stress

for preset in asan tsan; do
  step "C++ tests ($preset)"
  # Only the ASan build makes the Python module (the TSan preset builds no Python at all).
  python_exe=()
  [ "$preset" = asan ] && python_exe=(-DPython_EXECUTABLE="$venv/bin/python")
  cmake --preset "$preset" "${python_exe[@]}" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done

step "fuzzing the segment header and trailer checks (libFuzzer, ASan+UBSan)"
fuzz=$build/fuzz
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz -j "$jobs"
mkdir -p "$fuzz/artifacts"
fuzz_target() {  # target, seconds: runs the target over its corpus in fuzz/
  local target=$1 seconds=$2 corpus=fuzz/corpus log=$fuzz/$1.log
  [ "$target" = header_fuzz ] || corpus=fuzz/corpus-${target%_fuzz}
  mkdir -p "$fuzz/$corpus"
  echo "$target: up to $seconds s or 5000000 runs"
  "$fuzz/fuzz/$target" -runs=5000000 -max_total_time="$seconds" -max_len=4096 \
    -artifact_prefix="$fuzz/artifacts/" "$fuzz/$corpus" "$corpus" >"$log" 2>&1 &
  local pid=$! waited=0
  # Progress every 10 s: libFuzzer's latest status line (runs so far, coverage, speed).
  while kill -0 "$pid" 2>/dev/null; do
    sleep 1
    if ((++waited % 10 == 0)); then
      echo "$target: ${waited} s, $(grep -E '^#[0-9]+' "$log" | tail -n 1 | cut -c1-100)"
    fi
  done
  if ! wait "$pid"; then
    tail -n 60 "$fuzz/$target.log"
    echo "$target found a failing input (kept in $fuzz/artifacts)"
    exit 1
  fi
  echo "$target: $(tail -n 1 "$fuzz/$target.log")"
}
fuzz_target header_fuzz 60
fuzz_target trailer_fuzz 30

step "wheel: build, repair to a manylinux tag, check into dist/"
rm -rf "$dist" "$build/wheel-raw"
pip wheel . --no-deps -w "$build/wheel-raw" -q
# The linker may only pull in libraries every manylinux system has; auditwheel picks the
# oldest manylinux tag that the symbol versions allow.
auditwheel repair -w "$dist" "$build"/wheel-raw/quillmere-*.whl
wheel=$(ls "$dist"/quillmere-*.whl)
case "$wheel" in
  *-cp311-abi3-manylinux_*) ;;
  *) echo "wheel is not tagged cp311-abi3-manylinux_*: $wheel"; exit 1 ;;
esac
abi3audit --strict --report "$wheel" >/dev/null
python scripts/check_dist.py wheel "$wheel"
pip install -q --force-reinstall --no-deps "$wheel"
for module in quillmere quillmere_tools._native; do
  so=$(python -c "import $module; print($module.__file__)")
  exported=$(nm -D --defined-only "$so" | awk '{print $3}')
  if [ "$exported" != "PyInit_${module##*.}" ]; then
    echo "$module must export only PyInit_${module##*.}, found: $exported"
    exit 1
  fi
done

step "C library: its exports, its headers under each compiler, the examples built as users build them"
# The wheel's libquillmere.so.1 exports the C API and nothing else, under its SONAME.
libdir=$(python -m quillmere_tools --library-dir)
library=$libdir/libquillmere.so.1
foreign=$(nm -D --defined-only "$library" | awk '{print $3}' | grep -v '^qm_' || true)
if [ -n "$foreign" ] || ! readelf -d "$library" | grep -q 'SONAME.*\[libquillmere\.so\.1\]'; then
  echo "libquillmere.so.1 must export only qm_ symbols under SONAME libquillmere.so.1: $foreign"
  exit 1
fi
include=$(python -m quillmere_tools --include-dir)
for cc in gcc clang-19; do
  "$cc" -std=c11 -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$include" examples/c/blocking_reader.c
done
for cxx in g++ clang++-19; do
  for std in 20 23; do
    "$cxx" -std=c++$std -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$include" \
      examples/cpp/frame_producer.cpp
  done
done
# pkg-config, from the wheel.
gcc -std=c11 -o "$build/blocking_reader-pc" examples/c/blocking_reader.c \
  $(PKG_CONFIG_PATH=$libdir/pkgconfig pkg-config --cflags --libs quillmere) -Wl,-rpath,"$libdir"
# A C/C++ installation (system layout), moved after installing: its CMake files must not care.
ctree=$build/c-install
rm -rf "$ctree"
cmake -S . -B "$ctree/build" -G Ninja -DQUILLMERE_BUILD_PYTHON=OFF -DQUILLMERE_C_LAYOUT=system >/dev/null
cmake --build "$ctree/build" --target quillmere_c -j "$jobs"
cmake --install "$ctree/build" --prefix "$ctree/staged" >/dev/null
mv "$ctree/staged" "$ctree/prefix"
build_examples() {  # label, cmake arguments...: builds both examples, runs the producer
  local out=$build/examples-$1
  shift
  for example in c cpp; do
    rm -rf "$out/$example"
    cmake -S "examples/$example" -B "$out/$example" -G Ninja "$@" >/dev/null
    cmake --build "$out/$example"
  done
  local name=/qm-ci-examples-$$
  "$out/cpp/frame_producer" "$name" 3 </dev/null | grep -qx "wrote 3 frames to $name"
  if [ -e "/dev/shm${name}" ]; then echo "the producer left $name behind"; exit 1; fi
}
build_examples installed-tree -DCMAKE_PREFIX_PATH="$ctree/prefix"
build_examples wheel -Dquillmere_DIR="$(python -m quillmere_tools --cmake-dir)"

step "sdist: build into dist/, install in a fresh venv, smoke test"
python -m build --sdist --no-isolation --outdir "$dist" . >/dev/null
sdist=$(ls "$dist"/quillmere-*.tar.gz)
python scripts/check_dist.py sdist "$sdist"
fresh=$build/venv-sdist
rm -rf "$fresh"
python3 -m venv "$fresh"
"$fresh/bin/pip" install -q "$sdist"
(cd "$build" && "$fresh/bin/python" "$root/scripts/smoke_test.py")

# ---- Wheels for older glibc (x86-64, aarch64) and aarch64 under emulation ----------------
step "wheels for glibc 2.17 and newer, x86-64 and aarch64, compiled by Zig (scripts/wheels.sh)"
bash scripts/wheels.sh

step "pytest -m 'not slow' against the Zig-built x86-64 wheel (glibc 2.17, libc++)"
zig_venv=$build/venv-zig-x86_64
[ -x "$zig_venv/bin/python" ] || python3 -m venv "$zig_venv"
"$zig_venv/bin/pip" install -q numpy pytest hypothesis mypy
"$zig_venv/bin/pip" install -q --force-reinstall --no-deps "$dist"/quillmere-*manylinux_2_17_x86_64.whl
run_pytest "$zig_venv/bin/python" -m "not slow"

aarch64_emulation() {  # installs qemu-user-static and friends; registers qemu-aarch64
  local pkg missing=()
  for pkg in qemu-user-static debootstrap libc6-arm64-cross; do
    dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
  done
  if ((${#missing[@]})); then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  fi
  local binfmt=/proc/sys/fs/binfmt_misc
  mountpoint -q "$binfmt" || mount -t binfmt_misc binfmt_misc "$binfmt"
  [ -e "$binfmt/qemu-aarch64" ] || cat /usr/lib/binfmt.d/qemu-aarch64.conf >"$binfmt/register"
}
if [ "$(id -u)" = 0 ]; then
  step "aarch64 under emulation: qemu-user-static, registered in binfmt_misc"
  aarch64_emulation
  step "aarch64: C++ tests, cross-compiled by Zig, run under qemu-aarch64-static"
  bash scripts/aarch64_tests.sh cxx
  step "aarch64: pytest across processes against the aarch64 wheel in a Debian arm64 root"
  bash scripts/aarch64_tests.sh python
else
  echo "the aarch64 steps need root (binfmt_misc, chroot): skipped"
fi
# -----------------------------------------------------------------------------------------

step "pytest (newest NumPy)"
run_pytest python

step "pytest -m 'not slow' against the ASan+UBSan build of the module"
# build/asan holds the module built with -fsanitize=address,undefined; installed ahead of the
# wheel on the path. The interpreter is not instrumented, so the ASan runtime is preloaded;
# PYTHONMALLOC=malloc lets LeakSanitizer follow pointers through Python objects
# (see tests/python/lsan.supp).
rm -rf "$build/asan/site"
cmake --install "$build/asan" --prefix "$build/asan/site" >/dev/null
(
  export PYTHONPATH=$build/asan/site PYTHONMALLOC=malloc
  export LD_PRELOAD=$(g++ -print-file-name=libasan.so)
  # Child processes inherit all of this; tests that compare a child's stderr must not see
  # the list of suppressions used.
  export LSAN_OPTIONS=suppressions=$root/tests/python/lsan.supp:print_suppressions=0
  bridge=tests/python/tools/test_bridge_*.py
  ASAN_OPTIONS=detect_leaks=1 run_pytest python -m "not slow" -k "not thread" --ignore-glob="$bridge"
  # No leak check for objects dropped on a foreign thread, which keep what they own on purpose,
  # nor for the bridge, whose processes load Zenoh: its allocations are not ours to check.
  ASAN_OPTIONS=detect_leaks=0 run_pytest python -m "not slow" -k "thread or bridge"
)

step "pytest -m 'not slow' (oldest supported NumPy)"
old=$build/venv-oldest-numpy
[ -x "$old/bin/python" ] || python3 -m venv "$old"
"$old/bin/pip" install -q "numpy==2.0.0" pytest hypothesis
"$old/bin/pip" install -q --force-reinstall --no-deps "$wheel"
run_pytest "$old/bin/python" -m "not slow"

step "pytest -m 'not slow' against the wheel under every other CPython >= 3.11"
main_version=$(python -c 'import platform; print(platform.python_version())')
others=()
mapfile -t found < <(bash scripts/cpythons.sh)
for line in "${found[@]}"; do
  read -r version py <<<"$line"
  [ "$version" = "$main_version" ] && continue
  echo "-- CPython $version ($py)"
  other=$build/venv-cpython-$version
  [ -x "$other/bin/python" ] || "$py" -m venv "$other"
  "$other/bin/pip" install -q numpy pytest hypothesis mypy
  "$other/bin/pip" install -q --force-reinstall --no-deps "$wheel"
  run_pytest "$other/bin/python" -m "not slow"
  others+=("$version")
done
echo "the wheel passed the whole suite under CPython $main_version" \
  "and the non-slow tests under CPython: ${others[*]:-none found}"

step "all tests passed; wheel and sdist in dist/"
ls "$dist"
