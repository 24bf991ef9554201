"""The far end: takes samples from a Zenoh key and writes each one into a local channel."""

from __future__ import annotations

import quillmere
import zenoh

from quillmere_tools import _native
from quillmere_tools.bridge import _local
from quillmere_tools.bridge._session import close_session
from quillmere_tools.bridge._wire import EntryDescription, describe_geometry, describe_record
from quillmere_tools.bridge._worker import BridgeEnd, Status


class GeometryMismatch(ValueError):
    """The local channel cannot take the entries arriving on the key."""


class Subscriber(BridgeEnd):
    """Writes every sample on Zenoh key `key` into local channel `name`; see `subscribe`."""

    def __init__(self, key: str, name: str, session: zenoh.Session, reliable: bool,
                 queue: int, keep: bool, status: Status | None = None) -> None:
        if queue < 1:
            raise ValueError(f"queue must be at least 1, got {queue}")
        self.key, self.name = key, name
        self._keep = keep
        self._received = self._missed = self._last_seq = 0
        # Falling behind drops the oldest samples waiting here; reliable delivery instead
        # holds Zenoh back, which pushes back on a publisher that blocks.
        handler: zenoh.handlers.FifoChannel[zenoh.Sample] | zenoh.handlers.RingChannel[zenoh.Sample]
        if reliable:
            handler = zenoh.handlers.FifoChannel(queue)
        else:
            handler = zenoh.handlers.RingChannel(queue)
        self._subscriber = session.declare_subscriber(key, handler)
        super().__init__(session, f"quillmere bridge subscribe {name}", status)

    @property
    def received(self) -> int:
        """Entries written into the local channel so far."""
        return self._received

    @property
    def missed(self) -> int:
        """Entries of the publishing side's channel that never arrived here (gaps in their
        entry_seq): dropped on the way, or skipped by a publisher that the writer lapped."""
        return self._missed

    def _interrupt(self) -> None:
        close_session(self._session)  # ends the blocking recv() below

    def _run(self) -> None:
        writer: quillmere.BytesWriter | None = None
        created: int | None = None  # identity of the channel this end made, to remove it
        try:
            self._status(f"waiting for entries on '{self.key}'")
            attachment, payload = self._next_sample()
            first = EntryDescription.decode(attachment)
            created = self._open_local(first)
            writer = quillmere.BytesWriter(self.name)
            self._keep_frame_type(first)
            made = "created" if created is not None else "existing"
            self._status(f"forwarding: entries on '{self.key}' go to {made} channel "
                         f"'{self.name}' ({describe_geometry(first.geometry)})")
            self._forward(writer, first, payload)
        finally:
            writer = None  # dropped on its own thread, also when an error is kept
            if created is not None and not self._keep \
                    and _local.identity(self.name) == created:
                quillmere.unlink(self.name)

    def _forward(self, writer: quillmere.BytesWriter, first: EntryDescription,
                 payload: bytes) -> None:
        """Writes entries as they arrive, as long as they are described like the first."""
        match, length, write = first.matcher(), first.entry_length, writer.write
        entry_seq: int | None = first.entry_seq
        while entry_seq is not None:
            count, rest = divmod(len(payload), length)
            if rest or not count:
                raise ValueError(f"a sample of {len(payload)} bytes on '{self.key}' is not a "
                                 f"whole number of {length}-byte entries")
            if count == 1:
                write(payload)
            else:
                for start in range(0, len(payload), length):
                    write(payload[start:start + length])
            self._count(entry_seq, count)
            attachment, payload = self._next_sample()
            entry_seq = match(attachment)
        changed = EntryDescription.decode(attachment)
        raise GeometryMismatch(
            f"samples on '{self.key}' changed to {describe_geometry(changed.geometry)}; "
            f"channel '{self.name}' holds {describe_geometry(first.geometry)}")

    def _next_sample(self) -> tuple[bytes, bytes]:
        """(description, payload) of the next put; raises once the session is closed."""
        while True:
            sample = self._subscriber.recv()
            if sample.kind == zenoh.SampleKind.PUT:
                attachment = sample.attachment
                return (b"" if attachment is None else attachment.to_bytes(),
                        sample.payload.to_bytes())

    def _count(self, first_seq: int, count: int) -> None:
        self._received += count
        if self._last_seq and first_seq > self._last_seq + 1:
            self._missed += first_seq - self._last_seq - 1
        self._last_seq = first_seq + count - 1  # lower than before: the far channel is new

    def _keep_frame_type(self, first: EntryDescription) -> None:
        """Stores a typed channel's frame-type record in the local channel, holding the writer
        role and before the first entry, as a typed writer does; refuses another one."""
        if not first.frame_type:
            return
        held = _native.store_frame_record(self.name, first.frame_type)
        if held is not None and held != first.frame_type:
            raise GeometryMismatch(
                f"channel '{self.name}' holds frames of another type than the samples on "
                f"'{self.key}' carry ({describe_record(held)} against "
                f"{describe_record(first.frame_type)})")

    def _open_local(self, first: EntryDescription) -> int | None:
        """Creates or checks the local channel; the identity of one made here, else None."""
        info = _local.look(self.name)
        if info is not None and _local.geometry(info) != first.geometry:
            raise GeometryMismatch(
                f"channel '{self.name}' holds {describe_geometry(_local.geometry(info))}, but "
                f"the samples on '{self.key}' carry {describe_geometry(first.geometry)}")
        created = _native.create_channel(self.name, first.entry_length, first.entry_count,
                                         first.dtype)
        return _local.identity(self.name) if created else None
