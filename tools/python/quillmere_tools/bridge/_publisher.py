"""The near end: follows a local channel and puts each entry on a Zenoh key."""

from __future__ import annotations

from collections.abc import Callable
from contextlib import ExitStack

import zenoh

from quillmere_tools._segments import Channel, NotAChannelError
from quillmere_tools._wait import Doorbell
from quillmere_tools.bridge import _local
from quillmere_tools.bridge._worker import BridgeEnd

# With no new entry for this long the publisher looks whether it was asked to stop and
# whether the name now belongs to another segment. It bounds how long close() takes.
_IDLE_CHECK = 0.1
# How often it looks for a channel that does not exist (yet, or again).
_LOOK_AGAIN = 0.1


class Publisher(BridgeEnd):
    """Puts every entry of local channel `name` on Zenoh key `key`; see `publish`.

    It reads the way `quillmere tail` does: a read-only mapping, copies straight into the
    payload object (one copy, where a reader object's `read` makes two), and waits on the
    channel's doorbell between entries. It takes no role and writes nothing, so the local
    writer never notices it, and nothing it holds is bound to its thread.
    """

    def __init__(self, name: str, key: str, session: zenoh.Session, reliable: bool) -> None:
        self.name, self.key = name, key
        self._sent = 0
        self._publisher = session.declare_publisher(
            key,
            congestion_control=(zenoh.CongestionControl.BLOCK if reliable
                                else zenoh.CongestionControl.DROP))
        super().__init__(session, f"quillmere bridge publish {name}")

    @property
    def sent(self) -> int:
        """Entries handed to Zenoh so far."""
        return self._sent

    def _run(self) -> None:
        # The first channel seen is followed from its newest entry on, like any live feed. A
        # channel created again under the name is new since then: followed from its start.
        from_newest = True
        while (attached := self._attach()) is not None:
            channel, doorbell = attached
            with channel, doorbell:
                info = channel.info()
                after = info.writer_entry_seq if from_newest else 0
                from_newest = False
                self._forward(channel, doorbell, info.inode, after,
                              _local.template(info).encoder(), max(info.entry_count // 2, 1))

    def _attach(self) -> tuple[Channel, Doorbell] | None:
        """The channel the name refers to and its doorbell; None once stopping."""
        while not self._stopping.is_set():
            try:
                with ExitStack() as attempt:
                    channel = attempt.enter_context(Channel(self.name))
                    doorbell = attempt.enter_context(Doorbell(self.name))
                    attempt.pop_all()
                    return channel, doorbell
            except (FileNotFoundError, NotAChannelError):  # not (yet, or again) a channel
                self._stopping.wait(_LOOK_AGAIN)
        return None

    def _forward(self, channel: Channel, doorbell: Doorbell, identity: int, after: int,
                 describe: Callable[[int], bytes], most_behind: int) -> None:
        """Puts entries newer than `after` until stopping, or until the name refers to
        another segment. Never more than `most_behind` entries behind the writer: the
        oldest slots of a lapped ring are the ones being overwritten, and a copy that races
        the writer is thrown away and made again, so skipping them is cheaper and loses no
        more entries."""
        read, wait, put, stopping = channel.read, doorbell.wait, self._publisher.put, \
            self._stopping.is_set
        newest = channel.writer_entry_seq
        while not stopping():
            after = max(after, newest() - most_behind)
            got = read(after)
            if got is not None:
                after, payload = got
                put(payload, attachment=describe(after))
                self._sent += 1
            elif not wait(after, _IDLE_CHECK):
                if _local.identity(self.name) != identity:
                    return
                if channel.writer_entry_seq() < after:  # re-initialised in place
                    after = 0
