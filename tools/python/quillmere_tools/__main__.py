"""`python -m quillmere_tools`: the `quillmere` command; with `--cmake-dir`, `--include-dir`
or `--library-dir` alone, prints where the C library of this install is (for build scripts)."""

import sys

from quillmere_tools import get_cmake_dir, get_include, get_library_dir
from quillmere_tools.cli import main

_LOCATIONS = {
    "--cmake-dir": get_cmake_dir,
    "--include-dir": get_include,
    "--library-dir": get_library_dir,
}

if len(sys.argv) == 2 and sys.argv[1] in _LOCATIONS:
    try:
        print(_LOCATIONS[sys.argv[1]]())
    except FileNotFoundError as error:
        print(f"quillmere: {error}", file=sys.stderr)
        sys.exit(1)
    sys.exit(0)
sys.exit(main())
