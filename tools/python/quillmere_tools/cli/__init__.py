"""The `quillmere` command: see, watch, clean up, bridge, record and replay channels.

Each command is one module with `add_parser(subparsers)`, which adds its subparser and sets
`run` (a function of the parsed arguments returning the exit code); COMMANDS lists them. A
command reports a failure the user should see by raising CommandError: one line on stderr,
exit code 1. Usage errors are argparse's own (exit code 2).
"""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from quillmere_tools._version import __version__
from quillmere_tools.cli import bridge, gc, ls, record, replay, stat, tail, watch
from quillmere_tools.cli._common import CommandError

COMMANDS = (ls, stat, watch, tail, gc, bridge, record, replay)


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="quillmere",
        description="See, watch, clean up, bridge, record and replay quillmere channels.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    subparsers = parser.add_subparsers(title="commands", required=True, metavar="COMMAND")
    for command in COMMANDS:
        command.add_parser(subparsers)
    _tell_parsers(parser)
    return parser


def _tell_parsers(parser: argparse.ArgumentParser) -> None:
    """Every parser records itself as the one that parsed, so that an option no parser knew
    is reported with the usage of the (sub)command it was given to. A subcommand's defaults
    are set after its parent's, so the innermost one is what remains."""
    parser.set_defaults(parser=parser)
    for action in parser._actions:
        if isinstance(action, argparse._SubParsersAction):
            for child in action.choices.values():
                _tell_parsers(child)


def main(argv: Sequence[str] | None = None) -> int:
    args, unknown = build_parser().parse_known_args(argv)
    if unknown:
        args.parser.error(f"unrecognized arguments: {' '.join(unknown)}")
    try:
        return int(args.run(args))
    except CommandError as error:
        print(f"quillmere: {error}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        return 1  # `watch` and `tail --follow` end on Ctrl-C themselves, with 0
    except BrokenPipeError:
        # The reader of our output went away (`quillmere ls | head`): stop quietly, and keep
        # the interpreter from complaining when it flushes stdout at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
