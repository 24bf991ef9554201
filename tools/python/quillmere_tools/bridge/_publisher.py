"""The near end: follows a local channel and puts each entry on a Zenoh key."""

from __future__ import annotations

from collections.abc import Callable
from contextlib import ExitStack
from typing import Any

import zenoh

from quillmere_tools._polling import PollingBell, bell_for
from quillmere_tools._segments import Channel, ChannelInfo, NotAChannelError
from quillmere_tools._wait import Doorbell
from quillmere_tools.bridge import _local
from quillmere_tools.bridge._wire import describe_geometry
from quillmere_tools.bridge._worker import BridgeEnd, Status

# With no new entry for this long the publisher looks whether it was asked to stop and
# whether the name now belongs to another segment. It bounds how long close() takes.
_IDLE_CHECK = 0.1
# How often it looks for a channel that does not exist (yet, or again).
_LOOK_AGAIN = 0.1
# Entries found waiting together travel in one sample of up to this many bytes (always at
# least one entry): small entries in bulk cost a put and a receive each otherwise.
_BATCH_BYTES = 64 * 1024


class Publisher(BridgeEnd):
    """Puts every entry of local channel `name` on Zenoh key `key`; see `publish`.

    It reads the way `quillmere tail` does: a read-only mapping, copies straight into the
    payload object (one copy, where a reader object's `read` makes two), and waits on the
    channel's doorbell between entries. It takes no role and writes no entry or header
    word: only the doorbell's waiter count and a pid slot in the trailer while it sleeps,
    when each write makes one wake call. A user who may read the channel but not write it
    publishes by polling instead, writing nothing at all. Nothing it holds is bound to its
    thread.
    """

    def __init__(self, name: str, key: str, session: zenoh.Session, reliable: bool,
                 from_oldest: bool = False, status: Status | None = None) -> None:
        self.name, self.key = name, key
        self._sent = 0
        self._from_oldest = from_oldest
        self._publisher = session.declare_publisher(
            key,
            congestion_control=(zenoh.CongestionControl.BLOCK if reliable
                                else zenoh.CongestionControl.DROP))
        super().__init__(session, f"quillmere bridge publish {name}", status)

    @property
    def sent(self) -> int:
        """Entries handed to Zenoh so far."""
        return self._sent

    def _run(self) -> None:
        # A channel there once the key has a subscriber is followed from its newest entry on,
        # like any live feed (unless from_oldest). A channel that appears later, or is created
        # again under the name, is new since then: followed from its first entry.
        start_at_newest = not self._from_oldest
        if not self._await_subscriber():
            return
        while (attached := self._attach()) is not None:
            channel, bell, waited = attached
            with channel, bell:
                info = channel.info()
                after = info.writer_entry_seq if start_at_newest and not waited else 0
                start_at_newest = False
                self._tell_following(info, after, isinstance(bell, PollingBell))
                self._forward(channel, bell, info, after)
            if not self._stopping.is_set():
                self._status(f"channel '{self.name}' was removed or created again; "
                             "looking for it")

    def _await_subscriber(self) -> bool:
        """Waits until something subscribes to the key (False once stopping): entries put
        before that go nowhere, so the channel is looked at, and the point to start from
        chosen, only once they have somewhere to go."""
        if not self._has_subscriber():
            self._status(f"waiting for a subscriber of '{self.key}'")
            while not self._has_subscriber():
                if self._stopping.wait(_LOOK_AGAIN):
                    return False
        return True

    def _has_subscriber(self) -> bool:
        try:
            status: Any = self._publisher.matching_status  # typed as bool by some releases
            return bool(status.matching)
        except AttributeError:  # a Zenoh release without the matching API: start at once
            return True

    def _attach(self) -> tuple[Channel, Doorbell | PollingBell, bool] | None:
        """The channel the name refers to, its doorbell, and whether it had to be waited
        for; None once stopping."""
        waited = False
        while not self._stopping.is_set():
            try:
                with ExitStack() as attempt:
                    channel = attempt.enter_context(Channel(self.name))
                    bell = bell_for(channel)
                    attempt.enter_context(bell)
                    attempt.pop_all()
                    return channel, bell, waited
            except (FileNotFoundError, NotAChannelError):  # not (yet, or again) a channel
                if not waited:
                    self._status(f"waiting for channel '{self.name}'")
                waited = True
                self._stopping.wait(_LOOK_AGAIN)
        return None

    def _tell_following(self, info: ChannelInfo, after: int, polling: bool) -> None:
        start = "its oldest entry" if after == 0 else f"entry {after + 1} on"
        how = " (no write access for its doorbell: polling)" if polling else ""
        self._status(f"following channel '{self.name}' "
                     f"({describe_geometry(_local.geometry(info))}) from {start}{how}")

    def _forward(self, channel: Channel, doorbell: Doorbell | PollingBell, info: ChannelInfo,
                 after: int) -> None:
        """Puts entries newer than `after` until stopping, or until the name refers to
        another segment.

        Never more than 7/8 of a ring behind the writer: the oldest slots of a nearly lapped
        ring are the ones about to be overwritten, and a copy that races the writer is thrown
        away and made again, so skipping them is cheaper and loses hardly more entries. Consecutive entries
        that are already there go out together; the last one read is sent before waiting.
        The description is made when the first entry is there: a typed channel's writer
        stores the frame-type record before it publishes anything.
        """
        read, wait, newest, stopping = channel.read, doorbell.wait, channel.writer_entry_seq, \
            self._stopping.is_set
        most_behind = max(info.entry_count - max(info.entry_count // 8, 1), 1)
        most_batched = max(_BATCH_BYTES // info.entry_length, 1)
        describe: Callable[[int], bytes] | None = None
        batch: list[bytes] = []
        first_seq = 0  # of the batch's first entry
        while not stopping():
            seen = newest()  # before the read: an entry published after it wakes the wait
            after = max(after, seen - most_behind)
            got = read(after)
            if got is not None:
                if describe is None:
                    describe = _local.template(info, channel.record()).encoder()
                    self._status(f"forwarding: entry {got[0]} and on go to '{self.key}'")
                entry_seq, payload = got
                if batch and (entry_seq != first_seq + len(batch) or len(batch) == most_batched):
                    self._put(batch, first_seq, describe)
                if not batch:
                    first_seq = entry_seq
                batch.append(payload)
                after = entry_seq
                continue
            if batch and describe is not None:
                self._put(batch, first_seq, describe)
            # Past what was seen, not just past `after`: an entry the zero-copy reader holds
            # is skipped by the read and must not wake the wait again at once.
            elif not wait(max(after, seen), _IDLE_CHECK):
                if _local.identity(self.name) != info.inode:
                    return
                if channel.writer_entry_seq() < after:  # re-initialised in place
                    after = 0

    def _put(self, batch: list[bytes], first_seq: int, describe: Callable[[int], bytes]) -> None:
        """Sends the batch as one sample and empties it."""
        payload = batch[0] if len(batch) == 1 else b"".join(batch)
        self._publisher.put(payload, attachment=describe(first_seq))
        self._sent += len(batch)
        batch.clear()
