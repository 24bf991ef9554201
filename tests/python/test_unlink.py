"""`unlink(name)`: removes a channel's name, never raises for a missing or odd segment."""

from __future__ import annotations

import os
from collections.abc import Callable

import _posixshmem
import pytest

import quillmere
from qm_support import Child, segment_exists, shm_path


def _make_raw_object(name: str, size: int, fill: bytes = b"") -> None:
    """Create a POSIX shared-memory object that is not (yet) a channel."""
    fd = _posixshmem.shm_open(name, os.O_CREAT | os.O_EXCL | os.O_RDWR, 0o600)
    try:
        os.ftruncate(fd, size)
        if fill:
            os.pwrite(fd, fill, 0)
    finally:
        os.close(fd)


def test_absent_name_is_a_no_op(channel_name: str) -> None:
    assert not segment_exists(channel_name)
    assert quillmere.unlink(channel_name) is None
    assert quillmere.unlink(channel_name) is None


def test_removes_the_name_of_a_live_channel(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=2)
    assert segment_exists(channel_name)
    assert quillmere.unlink(name=channel_name) is None
    assert not segment_exists(channel_name)
    assert quillmere.unlink(channel_name) is None
    # Attached objects keep their mapping and go on working.
    writer.write(bytes(8))
    assert writer.last_entry_seq == 1
    # Nothing left to attach to under that name.
    with pytest.raises(OSError, match="^shared memory segment does not exist and sizes were not supplied$"):
        quillmere.BytesReader(channel_name, delayed_connect=False)


@pytest.mark.parametrize("bad", [1, None, b"/qm-bytes", ["/qm"]])
def test_name_must_be_a_str(bad: object) -> None:
    with pytest.raises(TypeError, match="name"):
        quillmere.unlink(bad)  # type: ignore[arg-type]


def test_argument_binding() -> None:
    with pytest.raises(TypeError):
        quillmere.unlink()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        quillmere.unlink("/a", "/b")  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        quillmere.unlink(nam="/a")  # type: ignore[call-arg]


def test_names_the_platform_refuses_are_ignored() -> None:
    assert quillmere.unlink("/qm\0embedded-nul") is None
    assert quillmere.unlink("/" + "q" * 5000) is None
    assert quillmere.unlink("") is None


def test_removes_a_foreign_segment_without_reading_it(channel_name: str) -> None:
    _make_raw_object(channel_name, 4096, b"not a ring" * 8)
    quillmere.unlink(channel_name)
    assert not segment_exists(channel_name)


def test_removes_a_segment_without_header(channel_name: str) -> None:
    _make_raw_object(channel_name, 4096)
    quillmere.unlink(channel_name)
    assert not segment_exists(channel_name)


def test_removes_an_empty_object(channel_name: str) -> None:
    # A zero-sized object (a creator that died before sizing it) cannot be
    # mapped, but it is exactly the kind of leak `unlink` exists to reclaim.
    _make_raw_object(channel_name, 0)
    assert os.stat(shm_path(channel_name)).st_size == 0
    quillmere.unlink(channel_name)
    assert not segment_exists(channel_name)


def test_unlink_while_a_reader_in_another_process_is_attached(
    channel_name: str, spawn: Callable[..., Child]
) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    writer.write(b"old-0001")
    reader = spawn(
        """
        reader = quillmere.BytesReader(sys.argv[1], delayed_connect=False)
        print("ready", flush=True)
        for line in sys.stdin:
            got = reader.read()
            print("none" if got is None else f"{got[0]} {got[1].decode()}", flush=True)
        """,
        channel_name,
    )
    reader.expect("ready")
    assert reader.request("read") == "1 old-0001"

    assert quillmere.unlink(channel_name) is None
    assert not segment_exists(channel_name)

    # The old segment still works for everybody attached to it.
    writer.write(b"old-0002")
    assert reader.request("read") == "2 old-0002"

    # A new writer under the same name makes a fresh segment; the attached
    # reader never sees its entries.
    fresh = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    fresh.write(b"new-0001")
    assert fresh.last_entry_seq == 1
    assert reader.request("read") == "none"
    newcomer = quillmere.BytesReader(channel_name)
    assert newcomer.read() == (1, b"new-0001")
