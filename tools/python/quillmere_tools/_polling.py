"""Waiting on a channel that may be read but not written: polling the read-only mapping.

Sleeping on the doorbell registers the sleeper in the segment's trailer, which needs a
read-write mapping. A user who may only read the segment waits by looking at
writer_entry_seq with the backoff used for segments without a doorbell (50 us doubling up
to 1 ms), which never writes anything.
"""

from __future__ import annotations

import time

from quillmere_tools._closing import Closing
from quillmere_tools._segments import Channel
from quillmere_tools._wait import Doorbell

FIRST_POLL = 50e-6
LONGEST_POLL = 1e-3


class PollingBell(Closing):
    """`Doorbell.wait` by polling a read-only `Channel`; closing it leaves the channel open."""

    __slots__ = ("_channel",)

    def __init__(self, channel: Channel) -> None:
        self._channel = channel

    def wait(self, after_entry_seq: int, timeout: float | None = None) -> bool:
        """True once the channel has an entry above `after_entry_seq`, False after `timeout`
        seconds (None: no limit). Ctrl-C interrupts the sleep with KeyboardInterrupt."""
        deadline = None if timeout is None else time.monotonic() + timeout
        step = FIRST_POLL
        while self._channel.writer_entry_seq() <= after_entry_seq:
            left = None if deadline is None else deadline - time.monotonic()
            if left is not None and left <= 0:
                return False
            time.sleep(step if left is None else min(step, left))
            step = min(step * 2, LONGEST_POLL)
        return True

    def close(self) -> None:
        pass


def bell_for(channel: Channel) -> Doorbell | PollingBell:
    """The channel's doorbell, or a polling stand-in when the segment that `channel` maps
    read-only cannot be opened for writing (this user may only read it). FileNotFoundError
    when the name is gone."""
    try:
        return Doorbell(channel.name)
    except FileNotFoundError:
        raise
    except OSError:  # the native open reports a refused read-write open without its errno
        return PollingBell(channel)
