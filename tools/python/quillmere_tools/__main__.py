"""`python -m quillmere_tools`: the quillmere command line."""

import argparse
import sys

from quillmere_tools import _bridge_command


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(prog="quillmere")
    commands = parser.add_subparsers(dest="command", required=True)
    _bridge_command.add_arguments(
        commands.add_parser("bridge", help="carry a channel to other hosts over Zenoh"))
    return _bridge_command.run(parser.parse_args(argv))


if __name__ == "__main__":
    sys.exit(main())
