"""How a channel and its entries sit in an MCAP file: one MCAP channel per quillmere channel.

- The MCAP channel's topic is the quillmere channel's name; its metadata holds the geometry:
  "dtype" ("u8", "i64" or "f64"), "entry_length" (bytes) and "entry_count".
- A typed channel's frame-type record is the channel's schema: name "quillmere.frame_type",
  encoding "quillmere.frame_type+json", data the record itself (`{"descr", "shape", "v"}`);
  its messages are encoded "quillmere.frame". Other channels have no schema and messages
  encoded "quillmere.entry". A message's data is the whole entry, padding included.
- A message's log and publish times are when the recorder read the entry (nanoseconds since
  the epoch, steady within one recording), its sequence the low 32 bits of the `entry_seq`.
- Notes (metadata records named "quillmere.note") carry a channel's full `entry_seq` at the
  message they name by its index among that channel's messages in the file: where the high
  bits change, and where the writer restarted or the segment was made anew ("reason").
  A note always precedes, in the file, the message it names.
- One "quillmere.summary" metadata record per channel when a file is finished: entries,
  bytes, lost (entries the recorder never saw, from `entry_seq` gaps) and restarts.
"""

from __future__ import annotations

from dataclasses import dataclass

NOTE = "quillmere.note"
SUMMARY = "quillmere.summary"
SCHEMA_NAME = "quillmere.frame_type"
SCHEMA_ENCODING = "quillmere.frame_type+json"
FRAME_ENCODING = "quillmere.frame"
ENTRY_ENCODING = "quillmere.entry"
PROFILE = "quillmere"

# Why a note was written.
HIGH_BITS = "entry_seq above 32 bits"
WRITER_RESTARTED = "writer restarted"
RECREATED = "segment made anew"
WENT_BACK = "entry_seq went backwards"

LOW_BITS = 0xFFFF_FFFF


@dataclass(frozen=True, eq=True)
class ChannelSpec:
    """What a reader of the file needs to know of a channel: name, geometry, frame type."""

    name: str
    dtype: str
    entry_length: int
    entry_count: int
    record: bytes | None  # the frame-type record of a typed channel

    def metadata(self) -> dict[str, str]:
        return {"dtype": self.dtype, "entry_length": str(self.entry_length),
                "entry_count": str(self.entry_count)}

    def geometry(self) -> str:
        """The geometry as one phrase, for messages: "u8 entries of 64 bytes x 8"."""
        return f"{self.dtype} entries of {self.entry_length} bytes x {self.entry_count}"

    @classmethod
    def of_channel(cls, topic: str, metadata: dict[str, str], schema: bytes | None) -> ChannelSpec:
        try:
            return cls(topic, metadata["dtype"], int(metadata["entry_length"]),
                       int(metadata["entry_count"]), schema or None)
        except (KeyError, ValueError) as error:
            raise ValueError(
                f"MCAP channel {topic!r} is not a quillmere channel (metadata {metadata!r}: "
                f"{error})") from None
