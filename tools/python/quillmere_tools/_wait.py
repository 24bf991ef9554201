"""Waiting for entries: `wait` on a reader's thread, and `Doorbell` for any thread or asyncio."""

from __future__ import annotations

from typing import SupportsIndex, TypeAlias

import quillmere

from quillmere_tools import _native, _waiting_thread
from quillmere_tools._closing import Closing
from quillmere_tools._arguments import DEFAULT_SPIN, entry_seq, seconds, spin_seconds

Reader: TypeAlias = quillmere.BytesReader | quillmere.Float64Reader

def wait(reader: Reader, timeout: float | None = None, *, spin: float = DEFAULT_SPIN) -> bool:
    """Wait until `reader` has an entry newer than its watermark.

    Returns True once it has, False when `timeout` seconds pass first (None waits for ever).
    Call it on the reader's thread; the interpreter lock is released while it sleeps, and
    Ctrl-C interrupts it with KeyboardInterrupt. `spin` bounds a busy-wait before sleeping,
    used only while entries have been arriving faster than it (0 never spins).

    On a channel without a doorbell (a segment made by another implementation) the wait
    polls with a backoff of 50 us growing to 1 ms.
    """
    return _native.wait_reader(reader, seconds("timeout", timeout), spin_seconds(spin))


class Doorbell(Closing):
    """A channel's doorbell, held by name: waits that never touch a reader object.

    Thread-safe: any number of threads may wait on one Doorbell at once. Raises
    FileNotFoundError when no channel of that name exists.
    """

    def __init__(self, name: str) -> None:
        if not isinstance(name, str):
            raise TypeError(f"name must be a str, got {type(name).__name__}")
        self._name = name
        self._bell = _native.Doorbell(name)

    @property
    def name(self) -> str:
        """The channel's name."""
        return self._name

    @property
    def closed(self) -> bool:
        """True once `close()` was called."""
        return self._bell.closed

    def wait(
        self,
        after_entry_seq: SupportsIndex,
        timeout: float | None = None,
        *,
        spin: float = DEFAULT_SPIN,
    ) -> bool:
        """Wait until the channel has an entry above `after_entry_seq`.

        Returns True once it has, False when `timeout` seconds pass first.
        """
        return self._bell.wait(
            entry_seq(after_entry_seq), seconds("timeout", timeout), spin_seconds(spin)
        )

    async def wait_async(self, after_entry_seq: SupportsIndex, timeout: float | None = None) -> bool:
        """`wait` for asyncio: sleeps on a waiting thread, never blocking the event loop.

        Any number of waits may be pending at once; a wake-up on one channel does not wait for
        the others, and a cancelled wait lets go of the channel at once.
        """
        after = entry_seq(after_entry_seq)
        limit = seconds("timeout", timeout)
        return await _waiting_thread.wait_async(self._bell, after, limit)

    def close(self) -> None:
        """Let go of the channel; waits in progress end at their own timeout."""
        self._bell.close()

    def __repr__(self) -> str:
        state = " closed" if self.closed else ""
        return f"<quillmere_tools.Doorbell {self._name!r}{state}>"
