"""Exclusive roles: one writer and one zero-copy reader per channel, held by live processes."""

from __future__ import annotations

import os
from collections.abc import Callable

import pytest

import quillmere
from qm_support import Child, header_words, segment_exists

WRITER_PID, READER_PID, OWNER_PID = 5, 6, 4  # indexes into header_words()

# A child that holds one end of a channel and obeys one-word commands.
HOLDER = """
kind, name = sys.argv[1], sys.argv[2]
sizes = {"entry_length": 8, "entry_count": 4} if len(sys.argv) > 3 else {}
if kind == "writer":
    end = quillmere.BytesWriter(name, **sizes)
else:
    end = quillmere.BytesReader(name, enable_zero_copy=True, delayed_connect=False, **sizes)
print("ready", flush=True)
for line in sys.stdin:
    command = line.strip()
    if command == "write":
        end.write(b"%08d" % (end.last_entry_seq + 1))
        print(end.last_entry_seq, flush=True)
    elif command == "del":
        del end
        print("deleted", flush=True)
    elif command == "crash":
        os._exit(0)  # no teardown: the role stays recorded
"""


def conflict(role: str, name: str, pid: int) -> str:
    return f"^the {role} role on channel '{name}' is held by process {pid}$"


def start_holder(spawn: Callable[..., Child], kind: str, name: str, create: bool) -> Child:
    child = spawn(HOLDER, kind, name, *(["create"] if create else []))
    child.expect("ready")
    return child


# --------------------------------------------------------------------- writer


def test_second_writer_in_another_live_process(channel_name: str, spawn: Callable[..., Child]) -> None:
    holder = start_holder(spawn, "writer", channel_name, create=True)
    assert holder.request("write") == "1"
    for sizes in ({"entry_length": 8, "entry_count": 4}, {}):
        with pytest.raises(quillmere.ChannelRoleConflict, match=conflict("writer", channel_name, holder.pid)) as info:
            quillmere.BytesWriter(channel_name, **sizes)
        assert isinstance(info.value, RuntimeError)
        assert not isinstance(info.value, OSError)
    # The refused construction removed nothing and took nothing.
    assert segment_exists(channel_name)
    assert header_words(channel_name)[WRITER_PID] == holder.pid
    assert holder.request("write") == "2"


def test_second_writer_in_the_same_process_names_its_own_pid(channel_name: str) -> None:
    first = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    for sizes in ({}, {"entry_length": 8, "entry_count": 4}):
        with pytest.raises(quillmere.ChannelRoleConflict, match=conflict("writer", channel_name, os.getpid())):
            quillmere.BytesWriter(channel_name, **sizes)
    first.write(b"still ok")
    assert first.last_entry_seq == 1


def test_float64_writer_conflicts_with_a_byte_writer_too(channel_name: str) -> None:
    creator = quillmere.Float64Reader(channel_name, entry_length=1, entry_count=4)
    writer = quillmere.BytesWriter(channel_name)
    with pytest.raises(quillmere.ChannelRoleConflict, match=conflict("writer", channel_name, os.getpid())):
        quillmere.Float64Writer(channel_name)
    del writer, creator


def test_deleting_the_writer_frees_the_role(channel_name: str) -> None:
    creator = quillmere.BytesReader(channel_name, entry_length=8, entry_count=4)
    first = quillmere.BytesWriter(channel_name)
    first.write(b"entry-01")
    assert header_words(channel_name)[WRITER_PID] == os.getpid()
    del first
    assert header_words(channel_name)[WRITER_PID] == 0
    second = quillmere.BytesWriter(channel_name)
    second.write(b"entry-02")
    assert second.last_entry_seq == 2
    assert creator.read() == (1, b"entry-01")
    assert creator.read() == (2, b"entry-02")


def test_a_writer_deleted_in_another_process_frees_the_role(
    channel_name: str, spawn: Callable[..., Child]
) -> None:
    creator = quillmere.BytesReader(channel_name, entry_length=8, entry_count=4)
    holder = start_holder(spawn, "writer", channel_name, create=False)
    assert holder.request("write") == "1"
    with pytest.raises(quillmere.ChannelRoleConflict):
        quillmere.BytesWriter(channel_name)
    assert holder.request("del") == "deleted"
    writer = quillmere.BytesWriter(channel_name)
    assert writer.last_entry_seq == 1
    writer.write(b"00000002")
    assert [creator.read(), creator.read()] == [(1, b"00000001"), (2, b"00000002")]


def test_a_dead_writer_is_replaced(channel_name: str, spawn: Callable[..., Child]) -> None:
    creator = quillmere.BytesReader(channel_name, entry_length=8, entry_count=4)
    holder = start_holder(spawn, "writer", channel_name, create=False)
    for seq in ("1", "2", "3"):
        assert holder.request("write") == seq
    holder.send("crash")
    assert holder.wait() == 0
    assert header_words(channel_name)[WRITER_PID] == holder.pid  # left behind

    writer = quillmere.BytesWriter(channel_name)
    assert header_words(channel_name)[WRITER_PID] == os.getpid()
    assert writer.last_entry_seq == 3
    writer.write(b"00000004")
    assert [creator.read()[0] for _ in range(4)] == [1, 2, 3, 4]  # type: ignore[index]


def test_a_crashed_creator_leaves_its_channel_for_the_next_writer(
    channel_name: str, spawn: Callable[..., Child]
) -> None:
    holder = start_holder(spawn, "writer", channel_name, create=True)
    assert holder.request("write") == "1"
    assert holder.request("write") == "2"
    holder.send("crash")
    assert holder.wait() == 0
    assert segment_exists(channel_name)
    assert header_words(channel_name)[OWNER_PID] == holder.pid

    # Same geometry: the segment is adopted, ownership and role taken over.
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    words = header_words(channel_name)
    assert words[OWNER_PID] == words[WRITER_PID] == os.getpid()
    assert writer.last_entry_seq == 2
    reader = quillmere.BytesReader(channel_name)
    writer.write(b"00000003")
    assert [reader.read() for _ in range(3)] == [(1, b"00000001"), (2, b"00000002"), (3, b"00000003")]
    # The adopter owns the name now: it goes with it.
    del writer
    assert not segment_exists(channel_name)


def test_a_creator_that_exits_cleanly_takes_the_name_with_it(
    channel_name: str, spawn: Callable[..., Child]
) -> None:
    holder = start_holder(spawn, "writer", channel_name, create=True)
    assert holder.request("write") == "1"
    reader = quillmere.BytesReader(channel_name)
    assert holder.request("del") == "deleted"
    assert not segment_exists(channel_name)
    assert reader.read() == (1, b"00000001")  # the attached mapping stays valid


# ---------------------------------------------------------- zero-copy reader


def test_second_zero_copy_reader_in_another_live_process(
    channel_name: str, spawn: Callable[..., Child]
) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    holder = start_holder(spawn, "reader", channel_name, create=False)
    assert header_words(channel_name)[READER_PID] == holder.pid
    with pytest.raises(quillmere.ChannelRoleConflict, match=conflict("zero-copy reader", channel_name, holder.pid)):
        quillmere.BytesReader(channel_name, enable_zero_copy=True)
    with pytest.raises(quillmere.ChannelRoleConflict, match=conflict("zero-copy reader", channel_name, holder.pid)):
        quillmere.BytesReader(channel_name, entry_length=8, entry_count=4, enable_zero_copy=True)
    # Plain readers need no role.
    plain = [quillmere.BytesReader(channel_name) for _ in range(3)]
    writer.write(b"entry-01")
    assert all(r.read() == (1, b"entry-01") for r in plain)

    assert holder.request("del") == "deleted"
    assert header_words(channel_name)[READER_PID] == 0
    zero_copy = quillmere.BytesReader(channel_name, enable_zero_copy=True)
    assert header_words(channel_name)[READER_PID] == os.getpid()
    handle = zero_copy.try_acquire()
    assert handle is not None and handle.entry_seq == 1
    handle.release()


def test_second_zero_copy_reader_in_the_same_process(channel_name: str) -> None:
    first = quillmere.BytesReader(channel_name, entry_length=8, entry_count=4, enable_zero_copy=True)
    with pytest.raises(quillmere.ChannelRoleConflict, match=conflict("zero-copy reader", channel_name, os.getpid())):
        quillmere.BytesReader(channel_name, enable_zero_copy=True)
    del first
    quillmere.BytesReader(channel_name, enable_zero_copy=True)


def test_deferred_zero_copy_reader_conflicts_when_it_connects(channel_name: str) -> None:
    late = quillmere.BytesReader(channel_name, enable_zero_copy=True)
    assert late.try_acquire() is None  # nothing to attach to yet
    first = quillmere.BytesReader(channel_name, entry_length=8, entry_count=4, enable_zero_copy=True)
    message = conflict("zero-copy reader", channel_name, os.getpid())
    with pytest.raises(quillmere.ChannelRoleConflict, match=message):
        late.read()
    with pytest.raises(quillmere.ChannelRoleConflict, match=message):
        late.try_acquire()
    assert late.entry_length == 0
    del first


def test_a_dead_zero_copy_reader_is_replaced(channel_name: str, spawn: Callable[..., Child]) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    holder = start_holder(spawn, "reader", channel_name, create=False)
    holder.send("crash")
    assert holder.wait() == 0
    assert header_words(channel_name)[READER_PID] == holder.pid
    reader = quillmere.BytesReader(channel_name, enable_zero_copy=True)
    assert header_words(channel_name)[READER_PID] == os.getpid()
    writer.write(b"entry-01")
    assert reader.read() == (1, b"entry-01")


def test_roles_are_independent(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    reader = quillmere.BytesReader(channel_name, enable_zero_copy=True)
    words = header_words(channel_name)
    assert words[WRITER_PID] == words[READER_PID] == os.getpid()
    del reader
    assert header_words(channel_name)[WRITER_PID] == os.getpid()
    assert header_words(channel_name)[READER_PID] == 0
    del writer
