#!/usr/bin/env bash
# Runs every test: installs what the tests need, builds and runs the C++ tests (plain,
# ASan+UBSan, TSan), builds the abi3 wheel and checks it, then runs pytest against it
# (once with the newest NumPy, once with the oldest one we declare support for).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build
jobs=$(nproc)

step() { printf '\n==== %s ====\n' "$*"; }

step "system packages"
missing=()
# clang 19 builds the libFuzzer target (older clang lacks std::expected with this libstdc++).
for pkg in libgtest-dev g++ clang-19 libclang-rt-19-dev; do
  dpkg -s "$pkg" >/dev/null 2>&1 || missing+=("$pkg")
done
if ((${#missing[@]})); then
  if [ "$(id -u)" = 0 ]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  else
    sudo apt-get update -qq
    sudo DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}"
  fi
fi

step "test environment"
venv=$build/venv
[ -x "$venv/bin/python" ] || python3 -m venv "$venv"
"$venv/bin/pip" install -q --upgrade pip
"$venv/bin/pip" install -q -r requirements-test.txt
export PATH=$venv/bin:$PATH

cpp_suite() {  # name, extra cmake args...
  local name=$1
  shift
  step "C++ tests ($name)"
  cmake -S . -B "$build/cpp-$name" -G Ninja -DQUILLMERE_BUILD_TESTS=ON \
    -DQUILLMERE_BUILD_PYTHON=OFF "$@" >/dev/null
  cmake --build "$build/cpp-$name" -j "$jobs"
  ctest --test-dir "$build/cpp-$name" --output-on-failure -j "$jobs" --no-tests=error
}

cpp_suite plain
cpp_suite asan -DQUILLMERE_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo
cpp_suite tsan -DQUILLMERE_SANITIZE=thread -DCMAKE_BUILD_TYPE=RelWithDebInfo

step "fuzzing the segment header checks (libFuzzer, ASan+UBSan)"
fuzz=$build/fuzz
cmake -S . -B "$fuzz" -G Ninja -DCMAKE_CXX_COMPILER=clang++-19 -DQUILLMERE_BUILD_FUZZ=ON \
  -DQUILLMERE_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUILLMERE_BUILD_PYTHON=OFF \
  >/dev/null
cmake --build "$fuzz" --target header_fuzz -j "$jobs"
mkdir -p "$fuzz/corpus" "$fuzz/artifacts"
if ! "$fuzz/fuzz/header_fuzz" -runs=5000000 -max_total_time=60 -max_len=4096 \
  -artifact_prefix="$fuzz/artifacts/" "$fuzz/corpus" fuzz/corpus >"$fuzz/log" 2>&1; then
  tail -n 60 "$fuzz/log"
  echo "the header fuzzer found a failing input (kept in $fuzz/artifacts)"
  exit 1
fi
tail -n 1 "$fuzz/log"
# The segment trailer (doorbell count, pid slots, frame-type record) the same way.
cmake --build "$fuzz" --target trailer_fuzz -j "$jobs"
mkdir -p "$fuzz/corpus-trailer"
if ! "$fuzz/fuzz/trailer_fuzz" -runs=2000000 -max_total_time=30 -max_len=4096 \
  -artifact_prefix="$fuzz/artifacts/" "$fuzz/corpus-trailer" fuzz/corpus-trailer \
  >"$fuzz/log-trailer" 2>&1; then
  tail -n 60 "$fuzz/log-trailer"
  echo "the trailer fuzzer found a failing input (kept in $fuzz/artifacts)"
  exit 1
fi
tail -n 1 "$fuzz/log-trailer"

step "wheel"
rm -rf "$build/dist"
pip wheel . --no-deps -w "$build/dist" -q
wheel=$(ls "$build/dist"/quillmere-*.whl)
case "$wheel" in *-cp311-abi3-*) ;; *) echo "wheel is not tagged cp311-abi3: $wheel"; exit 1 ;; esac
abi3audit --strict --report "$wheel" >/dev/null
pip install -q --force-reinstall --no-deps "$wheel"
so=$(python -c "import quillmere; print(quillmere.__file__)")
exported=$(nm -D --defined-only "$so" | awk '{print $3}')
if [ "$exported" != "PyInit_quillmere" ]; then
  echo "the module must export only PyInit_quillmere, found: $exported"
  exit 1
fi

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

step "pytest (newest NumPy)"
run_pytest python

step "pytest against the ASan+UBSan build of the module"
# The module built with -fsanitize=address,undefined, ahead of the installed one on the path.
# The interpreter is not instrumented, so the ASan runtime is preloaded; PYTHONMALLOC=malloc
# lets LeakSanitizer follow pointers through Python objects (see tests/python/lsan.supp).
asan_py=$build/python-asan
cmake -S . -B "$asan_py" -G Ninja -DQUILLMERE_SANITIZE=address -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPython_EXECUTABLE="$(command -v python)" >/dev/null
cmake --build "$asan_py" --target quillmere_python quillmere_tools_native -j "$jobs"
cmake --install "$asan_py" --prefix "$asan_py/site" >/dev/null
(
  export PYTHONPATH=$asan_py/site PYTHONMALLOC=malloc
  export LD_PRELOAD=$(g++ -print-file-name=libasan.so)
  export LSAN_OPTIONS=suppressions=$root/tests/python/lsan.supp
  ASAN_OPTIONS=detect_leaks=1 run_pytest python -m "not slow" -k "not thread"
  # Objects dropped on a foreign thread keep what they own on purpose: no leak check there.
  ASAN_OPTIONS=detect_leaks=0 run_pytest python -m "not slow" -k "thread"
)

step "pytest (oldest supported NumPy)"
old=$build/venv-oldest-numpy
[ -x "$old/bin/python" ] || python3 -m venv "$old"
"$old/bin/pip" install -q "numpy==2.0.0" pytest hypothesis
"$old/bin/pip" install -q --force-reinstall --no-deps "$wheel"
run_pytest "$old/bin/python" -m "not slow"

step "all tests passed"
