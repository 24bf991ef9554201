"""`python -m quillmere_tools`: the `quillmere` command."""

import sys

from quillmere_tools.cli import main

sys.exit(main())
