"""Channel names are POSIX shared-memory object names, passed through byte for byte."""

from __future__ import annotations

import os

import pytest

import quillmere
from qm_support import segment_exists, shm_path

SIZES = {"entry_length": 8, "entry_count": 2}


def test_non_ascii_names_are_utf8_object_names(channel_name: str) -> None:
    name = channel_name + "-ünï-ß"
    try:
        writer = quillmere.BytesWriter(name, **SIZES)
        assert os.path.exists(shm_path(name).encode())
        reader = quillmere.BytesReader(name)
        writer.write(b"12345678")
        assert reader.read() == (1, b"12345678")
    finally:
        quillmere.unlink(name)
    assert not segment_exists(name)


@pytest.mark.parametrize(
    ("suffix", "errno"),
    [("/inner-slash", 22), ("\0nul", 22), ("x" * 4096, 36)],
    ids=["slash", "nul", "too-long"],
)
def test_names_the_platform_refuses_fail_cleanly(channel_name: str, suffix: str, errno: int) -> None:
    name = channel_name + suffix
    with pytest.raises(OSError) as info:
        quillmere.BytesWriter(name, **SIZES)
    assert str(info.value) == (
        f"failed to create shared memory: Creating the shared memory failed, os error {errno}"
    )
    assert info.value.errno is None
    # Attaching never creates: a refused name is simply not there.
    with pytest.raises(OSError, match="^shared memory segment does not exist and sizes were not supplied$"):
        quillmere.BytesReader(name, delayed_connect=False)
    reader = quillmere.BytesReader(name)
    assert reader.read() is None
    assert quillmere.unlink(name) is None


def test_names_are_case_sensitive_and_distinct(channel_name: str) -> None:
    upper = channel_name.upper()
    try:
        lower_writer = quillmere.BytesWriter(channel_name, **SIZES)
        upper_writer = quillmere.BytesWriter(upper, entry_length=16, entry_count=2)
        assert (lower_writer.entry_length, upper_writer.entry_length) == (8, 16)
    finally:
        quillmere.unlink(upper)
