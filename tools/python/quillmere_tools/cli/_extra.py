"""Commands that need an optional extra: import it when they run, or say how to install it."""

from __future__ import annotations

import importlib
import signal
from collections.abc import Iterator
from contextlib import contextmanager
from types import FrameType, ModuleType

from quillmere_tools.cli._common import CommandError


class Stop(Exception):
    """Raised in the main thread by SIGTERM, like KeyboardInterrupt by SIGINT."""


def load(module: str, needs: str) -> ModuleType:
    """`module`, or CommandError with the install hint when the package `needs` is missing."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        if error.name != needs:
            raise
        raise CommandError(str(error)) from None


@contextmanager
def sigterm_stops() -> Iterator[None]:
    """While inside, SIGTERM raises Stop in the main thread."""

    def stop(signum: int, frame: FrameType | None) -> None:
        raise Stop

    previous = signal.signal(signal.SIGTERM, stop)
    try:
        yield
    finally:
        signal.signal(signal.SIGTERM, previous)
