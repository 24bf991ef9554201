"""The local channel as the bridge sees it: its facts by name, through the read-only view."""

from __future__ import annotations

from quillmere_tools._segments import Channel, ChannelInfo, NotAChannelError
from quillmere_tools.bridge._wire import EntryDescription


def look(name: str) -> ChannelInfo | None:
    """The channel's facts now, or None while there is no channel of that name (also while a
    segment of that name is still being made)."""
    try:
        with Channel(name) as channel:
            return channel.info()
    except (FileNotFoundError, NotAChannelError):
        return None


def identity(name: str) -> int | None:
    """Which segment the name refers to now: made anew under the same name, it differs."""
    info = look(name)
    return None if info is None else info.inode


def geometry(info: ChannelInfo) -> tuple[str, int, int]:
    """The channel's part of an EntryDescription."""
    return info.dtype, info.entry_length, info.entry_count


def template(info: ChannelInfo, frame_type: bytes | None) -> EntryDescription:
    """The description every entry of this channel carries, but for its entry_seq; with the
    channel's frame-type record, if it has one."""
    return EntryDescription(0, *geometry(info), frame_type or b"")
