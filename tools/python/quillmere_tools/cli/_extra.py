"""Commands that need an optional extra: import it when they run, or say how to install it."""

from __future__ import annotations

import importlib
import signal
from types import FrameType, ModuleType

from quillmere_tools.cli._common import CommandError


class Stop(Exception):
    """Raised in the main thread by SIGINT or SIGTERM (see StopSignals)."""


def load(module: str, needs: str) -> ModuleType:
    """`module`, or CommandError with the install hint when the package `needs` is missing."""
    try:
        return importlib.import_module(module)
    except ImportError as error:
        if error.name != needs:
            raise
        raise CommandError(str(error)) from None


class StopSignals:
    """While inside, SIGINT and SIGTERM raise Stop in the main thread, but only while armed:
    one that arrives before `arm()` (while threads are being started, say) is held back and
    raised by `arm()`, and one after `disarm()` (while they are being joined) is dropped, so
    that neither a set-up nor a tear-down is cut off halfway."""

    SIGNALS = (signal.SIGINT, signal.SIGTERM)

    def __enter__(self) -> StopSignals:
        self._armed = False
        self._pending = False
        self._previous = {signum: signal.signal(signum, self._handle) for signum in self.SIGNALS}
        return self

    def __exit__(self, *exc_info: object) -> None:
        for signum, handler in self._previous.items():
            signal.signal(signum, handler)

    def arm(self) -> None:
        self._armed = True
        if self._pending:
            raise Stop

    def disarm(self) -> None:
        self._armed = False

    def _handle(self, signum: int, frame: FrameType | None) -> None:
        if self._armed:
            raise Stop
        self._pending = True
