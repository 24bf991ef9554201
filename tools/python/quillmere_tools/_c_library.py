"""Where the installed package keeps the C library: headers, libquillmere.so.1, the CMake
package and quillmere.pc, for C and C++ programs built against the channels of this install.

    cmake -Dquillmere_DIR="$(python -m quillmere_tools --cmake-dir)" ...
"""

from __future__ import annotations

from pathlib import Path

_ROOT = Path(__file__).resolve().parent


def _existing(path: Path) -> str:
    if not path.is_dir():
        raise FileNotFoundError(
            f"{path} does not exist: this quillmere_tools was installed without its C library"
        )
    return str(path)


def get_include() -> str:
    """The directory to put on the include path for <quillmere/quillmere.h> and .hpp."""
    return _existing(_ROOT / "include")


def get_library_dir() -> str:
    """The directory holding libquillmere.so.1 (and pkgconfig/quillmere.pc)."""
    return _existing(_ROOT / "lib")


def get_cmake_dir() -> str:
    """The directory of quillmereConfig.cmake, for `-Dquillmere_DIR=` or `CMAKE_PREFIX_PATH`."""
    return _existing(_ROOT / "lib" / "cmake" / "quillmere")
