"""Role and ownership words naming other processes, written by hand.

A word naming a live process keeps the role taken, even when that process has
nothing to do with the channel (a recycled pid): liveness is all the module can
test. A word naming a process that is gone is taken over without error.
"""

from __future__ import annotations

import os
import subprocess

import pytest

import quillmere
from _hostile import OWNER_PID, READER_PID, WRITER_PID, header, parse, place, poke, read_segment, slots
from qm_support import segment_exists


@pytest.fixture
def live_pid():
    """The pid of an unrelated live process (a `sleep`), killed afterwards."""
    sleeper = subprocess.Popen(["sleep", "600"])
    try:
        yield sleeper.pid
    finally:
        sleeper.kill()
        sleeper.wait()


@pytest.fixture
def dead_pid() -> int:
    """The pid of a process that has exited and been reaped."""
    child = subprocess.Popen(["true"])
    child.wait()
    return child.pid


ROLES = [
    (WRITER_PID, "writer", lambda name: quillmere.BytesWriter(name)),
    (
        READER_PID,
        "zero-copy reader",
        lambda name: quillmere.BytesReader(name, enable_zero_copy=True),
    ),
]


@pytest.mark.parametrize("offset, role, claim", ROLES, ids=["writer", "zero-copy reader"])
def test_role_word_naming_unrelated_live_process_keeps_role_taken(
    channel_name, live_pid, offset, role, claim
) -> None:
    owner = quillmere.BytesReader(channel_name, entry_length=8, entry_count=4)
    poke(channel_name, offset, live_pid)
    message = f"^the {role} role on channel '{channel_name}' is held by process {live_pid}$"
    with pytest.raises(quillmere.ChannelRoleConflict, match=message):
        claim(channel_name)
    assert parse(read_segment(channel_name)).words[offset // 8] == live_pid
    del owner


@pytest.mark.parametrize("offset, role, claim", ROLES, ids=["writer", "zero-copy reader"])
def test_role_word_naming_dead_process_is_taken_over(
    channel_name, dead_pid, offset, role, claim
) -> None:
    owner = quillmere.BytesReader(channel_name, entry_length=8, entry_count=4)
    poke(channel_name, offset, dead_pid)
    endpoint = claim(channel_name)
    assert parse(read_segment(channel_name)).words[offset // 8] == os.getpid()
    del endpoint  # gives the role back
    assert parse(read_segment(channel_name)).words[offset // 8] == 0
    del owner


def test_owner_word_naming_unrelated_live_process_keeps_ownership(channel_name, live_pid) -> None:
    place(channel_name, header(8, 4, owner_pid=live_pid) + slots(8, [0, 0, 0, 0]))
    opener = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    assert parse(read_segment(channel_name)).words[OWNER_PID // 8] == live_pid
    del opener  # not the owner: the name stays
    assert segment_exists(channel_name)


def test_owner_word_naming_dead_process_is_taken_over(channel_name, dead_pid) -> None:
    place(channel_name, header(8, 4, owner_pid=dead_pid) + slots(8, [0, 0, 0, 0]))
    opener = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    assert parse(read_segment(channel_name)).words[OWNER_PID // 8] == os.getpid()
    del opener  # the new owner removes the name
    assert not segment_exists(channel_name)
