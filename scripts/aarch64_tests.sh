#!/usr/bin/env bash
# aarch64 under emulation on this x86-64 machine (as root, with qemu-aarch64 registered in
# binfmt_misc; scripts/test.sh installs and registers what is missing):
#
#   bash scripts/aarch64_tests.sh cxx      the C++ suites, cross-compiled by Zig for aarch64
#                                          (GoogleTest built from Debian's source package) and
#                                          run by ctest under qemu-aarch64-static with Debian's
#                                          aarch64 glibc (libc6-arm64-cross)
#   bash scripts/aarch64_tests.sh python   the tests that cross processes, against the aarch64
#                                          wheel in dist/, with the aarch64 CPython of a Debian
#                                          arm64 root made by debootstrap (kept in build/)
#
# Emulation hides the reorderings real ARM cores make: these runs prove the aarch64 build is
# complete and correct in behaviour, not that its memory orderings are (see
# scripts/weaken_orderings.sh for those).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
build=$root/build
python=${PYTHON:-$build/venv/bin/python}
jobs=${QUILLMERE_JOBS:-$(nproc)}
toolchain=$root/cmake/toolchains/zig-aarch64-linux-gnu.2.17.cmake
export QUILLMERE_ZIG_PYTHON=$python
export ZIG_GLOBAL_CACHE_DIR=$build/zig-cache ZIG_LOCAL_CACHE_DIR=$build/zig-cache
export PATH=$(dirname "$python"):$PATH  # cmake and ninja from the test venv

cxx() {
  local gtest=$build/aarch64-gtest tests=$build/aarch64-tests
  if [ ! -f "$gtest/install/lib/cmake/GTest/GTestConfig.cmake" ]; then
    cmake -S /usr/src/googletest -B "$gtest/build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
      -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest/install" >/dev/null
    cmake --build "$gtest/build" -j "$jobs" >/dev/null
    cmake --install "$gtest/build" >/dev/null
  fi
  # ctest runs each test binary (and the test discovery) through the emulator; forked
  # children stay in it.
  cmake -S . -B "$tests" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release -DQUILLMERE_BUILD_TESTS=ON -DQUILLMERE_BUILD_PYTHON=OFF \
    -DCMAKE_PREFIX_PATH="$gtest/install" -DCMAKE_FIND_ROOT_PATH="$gtest/install" \
    "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-aarch64-static;-L;/usr/aarch64-linux-gnu" >/dev/null
  cmake --build "$tests" -j "$jobs"
  # Left out: a test that caps the address space with RLIMIT_AS, which qemu-user does not
  # apply to the emulated process's mappings (qemu reserves the guest's address space itself).
  ctest --test-dir "$tests" --output-on-failure --no-tests=error -j "$jobs" \
    -E '^ShmCreate\.FailedMappingRemovesTheName$'
}

# The tests that prove the wheel works between processes: import, write and read, zero-copy,
# roles, waits (doorbell and asyncio), typed frames.
subset=(
  tests/python/test_module.py
  tests/python/test_processes.py
  tests/python/test_zero_copy_processes.py
  tests/python/test_roles.py
  tests/python/tools/test_tools_processes.py
  tests/python/tools/test_tools_wait.py
  tests/python/tools/test_frames_processes.py
)

python_tests() {
  local arm=$build/arm64-root wheel mounted=()
  wheel=$(ls "$root"/dist/quillmere-*manylinux_2_17_aarch64.whl)
  if [ ! -x "$arm/opt/venv/bin/python" ]; then
    # What an interrupted run may have left mounted there must not be emptied with the root.
    local point
    for point in proc sys dev/shm dev/pts; do umount "$arm/$point" 2>/dev/null || true; done
    rm -rf "$arm"
    # The mirror the machine's own apt uses.
    local mirror
    mirror=$(awk '/^URIs:/ {print $2; exit}' /etc/apt/sources.list.d/*.sources /dev/null 2>/dev/null || true)
    [ -n "$mirror" ] || mirror=$(awk '/^deb / {print $2; exit}' /etc/apt/sources.list)
    debootstrap --arch=arm64 --variant=minbase --include=python3,python3-venv \
      "$(. /etc/os-release && echo "$VERSION_CODENAME")" "$arm" "$mirror" >"$build/debootstrap.log"
    chroot "$arm" python3 -m venv /opt/venv
  fi
  unmount() {
    local point
    for point in "${mounted[@]}"; do umount "$point" || true; done
  }
  trap unmount RETURN
  # pip inside reaches the registry with this machine's pip configuration (every file pip
  # reads, and the files its settings name), CA bundle and name resolution, copied in for
  # the run.
  local file
  while IFS= read -r file; do
    [ -f "$file" ] || continue
    mkdir -p "$arm$(dirname "$file")"
    rm -f "$arm$file"  # a link in the root may point at the machine's own file
    cp -L "$file" "$arm$file"
  done < <(
    "$python" -m pip config debug | sed -n 's/^ *\(\/[^,]*\), exists: True$/\1/p'
    "$python" -m pip config list | sed -n "s/^[^=]*='\(\/[^']*\)'$/\1/p"
    printf '%s\n' "${PIP_CERT:-}" "${SSL_CERT_FILE:-}" /etc/resolv.conf
    "$python" -c 'import ssl; print(ssl.get_default_verify_paths().openssl_cafile)'
  )
  mount -t proc proc "$arm/proc" && mounted+=("$arm/proc")
  # A private /dev/shm: the channels of this run live and die in the root.
  mkdir -p "$arm/dev/shm"
  mount -t tmpfs -o size=256M tmpfs "$arm/dev/shm" && mounted+=("$arm/dev/shm")
  rm -rf "$arm/opt/quillmere" && mkdir -p "$arm/opt/quillmere"
  cp "$wheel" "$arm/opt/quillmere/"
  cp -r tests examples pyproject.toml "$arm/opt/quillmere/"  # pyproject.toml: the markers
  chroot "$arm" /opt/venv/bin/pip install -q numpy pytest hypothesis
  chroot "$arm" /opt/venv/bin/pip install -q --force-reinstall --no-deps \
    "/opt/quillmere/$(basename "$wheel")"
  chroot "$arm" /opt/venv/bin/python -c \
    'import platform, quillmere; assert platform.machine() == "aarch64", platform.machine()'
  chroot "$arm" sh -c "cd /opt/quillmere && /opt/venv/bin/python -m pytest -q -p no:cacheprovider \
    -m 'not slow' ${subset[*]}"
}

case ${1:-} in
  cxx) cxx ;;
  python) python_tests ;;
  *) echo "usage: $0 cxx|python" >&2; exit 2 ;;
esac
