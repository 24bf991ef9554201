"""The near end: follows a local channel and puts each entry on a Zenoh key."""

from __future__ import annotations

from typing import NamedTuple

import quillmere
import zenoh

from quillmere_tools._follow import follow
from quillmere_tools.bridge import _local
from quillmere_tools.bridge._wire import EntryDescription
from quillmere_tools.bridge._worker import BridgeEnd

# With no new entry for this long the publisher looks whether it was asked to stop and
# whether the name now belongs to another segment. It bounds how long close() takes.
_IDLE_CHECK = 0.1
# How often it looks for a channel that does not exist (yet, or again).
_LOOK_AGAIN = 0.1


class _Attached(NamedTuple):
    reader: quillmere.BytesReader
    identity: int
    description: EntryDescription  # entry_seq 0: a template for every entry


class Publisher(BridgeEnd):
    """Puts every entry of local channel `name` on Zenoh key `key`; see `publish`."""

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
            if from_newest and attached.reader.writer_entry_seq > 0:
                attached.reader.read(from_entry_seq=attached.reader.writer_entry_seq - 1)
            from_newest = False
            self._forward(attached)

    def _attach(self) -> _Attached | None:
        """A copying reader on the segment the name refers to; None once stopping."""
        while not self._stopping.is_set():
            info = _local.look(self.name)
            if info is not None:
                try:
                    reader = quillmere.BytesReader(self.name, delayed_connect=False)
                except OSError:  # removed in between
                    reader = None
                # Same segment before and after: the reader maps the one described.
                if reader is not None and _local.identity(self.name) == info.inode:
                    return _Attached(reader, info.inode, _local.template(info))
            self._stopping.wait(_LOOK_AGAIN)
        return None

    def _forward(self, attached: _Attached) -> None:
        """Puts entries until stopping, or until the name refers to another segment."""
        put, describe = self._publisher.put, attached.description._replace
        while not self._stopping.is_set():
            for entry_seq, payload in follow(attached.reader, timeout=_IDLE_CHECK):
                put(payload, attachment=describe(entry_seq=entry_seq).encode())
                self._sent += 1
                if self._stopping.is_set():
                    return
            if _local.identity(self.name) != attached.identity:
                return
