# Linux on x86_64 with glibc 2.17 or newer (manylinux2014), compiled by Zig's clang and libc++.
# Needs the ziglang package in the Python named by QUILLMERE_ZIG_PYTHON (see scripts/zig/).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(CMAKE_C_COMPILER "${CMAKE_CURRENT_LIST_DIR}/../../scripts/zig/x86_64-linux-gnu.2.17-cc")
set(CMAKE_CXX_COMPILER "${CMAKE_CURRENT_LIST_DIR}/../../scripts/zig/x86_64-linux-gnu.2.17-c++")
# Zig's clang keeps frame pointers unless told otherwise; g++ drops them at -O2, and the
# per-call paths of the module would pay for them (a register and a push on every call).
set(CMAKE_CXX_FLAGS_INIT "-fomit-frame-pointer")
