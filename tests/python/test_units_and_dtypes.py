"""Units of `entry_length`, geometry checks, and element types across the two kinds of end."""

from __future__ import annotations

import os

import numpy
import pytest

import quillmere
from qm_support import MAGIC, header_words, segment_exists, segment_size

SATURATED = 2**64 - 1


def test_float64_writer_counts_elements_and_the_segment_counts_bytes(channel_name: str) -> None:
    writer = quillmere.Float64Writer(channel_name, entry_length=8, entry_count=4)
    assert writer.entry_length == 8
    magic, entry_length, entry_count, dtype, owner, writer_pid, reader_pid, cursor, seq = (
        header_words(channel_name)
    )
    assert magic == MAGIC
    assert (entry_length, entry_count, dtype) == (64, 4, 2)
    assert owner == writer_pid == os.getpid()
    assert (reader_pid, cursor, seq) == (0, 0, 0)
    # The ring (72 + 4 * (64 + 8) = 360 bytes), padded to 64, then the 1024-byte trailer.
    assert segment_size(channel_name) == 384 + 1024
    # A byte end on the same channel sees bytes.
    assert quillmere.BytesReader(channel_name).entry_length == 64
    assert quillmere.Float64Reader(channel_name).entry_length == 8


def test_byte_channel_header(channel_name: str) -> None:
    creator = quillmere.BytesReader(channel_name, entry_length=16, entry_count=4)
    assert creator.entry_length == 16
    assert header_words(channel_name) == (MAGIC, 16, 4, 0, os.getpid(), 0, 0, 0, 0)
    assert segment_size(channel_name) == 192 + 1024  # the ring padded to 64, then the trailer


def test_float64_payload_length_errors_count_bytes(channel_name: str) -> None:
    writer = quillmere.Float64Writer(channel_name, entry_length=8, entry_count=4)
    with pytest.raises(ValueError, match="^expected 64 payload bytes, got 56$"):
        writer.write(numpy.zeros(7))
    with pytest.raises(ValueError, match="^expected 64 payload bytes, got 0$"):
        writer.write(numpy.zeros(0))
    with pytest.raises(ValueError, match="^expected 64 payload bytes, got 72$"):
        writer.write(numpy.zeros(9))
    assert writer.last_entry_seq == 0


def test_bytes_payload_length_error(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=64, entry_count=4)
    with pytest.raises(ValueError, match="^expected 64 payload bytes, got 63$"):
        writer.write(bytes(63))
    with pytest.raises(ValueError, match="^expected 64 payload bytes, got 0$"):
        writer.write(b"")
    assert writer.last_entry_seq == 0
    writer.write(bytes(64))
    assert writer.last_entry_seq == 1
    assert writer.entry_length == 64


@pytest.mark.parametrize("cls", [quillmere.Float64Writer, quillmere.Float64Reader])
def test_float64_element_count_saturates_and_is_refused(cls: type, channel_name: str) -> None:
    # 2**61 elements are 2**64 bytes: saturated to 2**64 - 1, not a multiple of 8.
    message = (
        "^payload must be a multiple of 8 bytes to keep slot entry_seq words aligned, "
        f"got {SATURATED}$"
    )
    for elements in (2**61, 2**62, 2**64 - 1):
        with pytest.raises(ValueError, match=message):
            cls(channel_name, entry_length=elements, entry_count=1)
    assert not segment_exists(channel_name)


@pytest.mark.parametrize(
    ("cls", "entry_length", "entry_count"),
    [
        (quillmere.Float64Writer, 2**61 - 1, 1),  # 2**64 - 8 bytes: the size wraps
        (quillmere.BytesWriter, 2**64 - 8, 2),
        (quillmere.BytesReader, 8, 2**62),
        (quillmere.BytesWriter, 2**40, 2**20),  # fits in 64 bits, far beyond any mapping
    ],
)
def test_impossible_geometries_are_refused_cleanly(
    cls: type, entry_length: int, entry_count: int, channel_name: str
) -> None:
    with pytest.raises((ValueError, OSError)):
        cls(channel_name, entry_length=entry_length, entry_count=entry_count)
    assert not segment_exists(channel_name)


@pytest.mark.parametrize("cls", [quillmere.BytesWriter, quillmere.BytesReader])
@pytest.mark.parametrize(("entry_length", "entry_count"), [(0, 0), (8, 0), (0, 4), (12, 0)])
def test_zero_sizes_are_refused_first(cls: type, entry_length: int, entry_count: int, channel_name: str) -> None:
    with pytest.raises(ValueError, match="^entry_length and entry_count must be non-zero$"):
        cls(channel_name, entry_length=entry_length, entry_count=entry_count)
    assert not segment_exists(channel_name)


@pytest.mark.parametrize("cls", [quillmere.BytesWriter, quillmere.BytesReader])
def test_byte_length_must_be_a_multiple_of_8(cls: type, channel_name: str) -> None:
    with pytest.raises(
        ValueError,
        match="^payload must be a multiple of 8 bytes to keep slot entry_seq words aligned, got 12$",
    ):
        cls(channel_name, entry_length=12, entry_count=4)
    assert not segment_exists(channel_name)


@pytest.mark.parametrize(
    "cls", [quillmere.BytesWriter, quillmere.Float64Writer, quillmere.BytesReader, quillmere.Float64Reader]
)
@pytest.mark.parametrize("sizes", [{"entry_length": 8}, {"entry_count": 4}])
def test_both_sizes_or_none(cls: type, sizes: dict[str, int], channel_name: str) -> None:
    message = "^entry_length and entry_count must both be supplied or both omitted$"
    with pytest.raises(ValueError, match=message):
        cls(channel_name, **sizes)
    assert not segment_exists(channel_name)
    # Also when the segment exists.
    creator = quillmere.BytesReader(channel_name, entry_length=8, entry_count=4)
    with pytest.raises(ValueError, match=message):
        cls(channel_name, **sizes)
    assert creator.entry_length == 8


def test_geometry_mismatch_names_both_geometries_in_bytes(channel_name: str) -> None:
    writer = quillmere.Float64Writer(channel_name, entry_length=8, entry_count=4)
    with pytest.raises(
        ValueError,
        match=r"^header mismatch: expected \(32 payload bytes, 4 entries\), "
        r"found \(64 payload bytes, 4 entries\)$",
    ):
        quillmere.Float64Reader(channel_name, entry_length=4, entry_count=4)
    with pytest.raises(
        ValueError,
        match=r"^header mismatch: expected \(64 payload bytes, 8 entries\), "
        r"found \(64 payload bytes, 4 entries\)$",
    ):
        quillmere.BytesReader(channel_name, entry_length=64, entry_count=8)
    # The channel is left as it was.
    writer.write(numpy.ones(8))
    assert header_words(channel_name)[1:3] == (64, 4)


def test_matching_geometry_attaches(channel_name: str) -> None:
    writer = quillmere.Float64Writer(channel_name, entry_length=8, entry_count=4)
    writer.write(numpy.arange(8.0))
    reader = quillmere.Float64Reader(channel_name, entry_length=8, entry_count=4)
    got = reader.read()
    assert got is not None and got[0] == 1


# --------------------------------------------------------------------- dtypes


def test_float64_ends_refuse_a_byte_channel(channel_name: str) -> None:
    creator = quillmere.BytesWriter(channel_name, entry_length=64, entry_count=4)
    message = "^dtype mismatch: channel holds u8, requested f64$"
    with pytest.raises(ValueError, match=message):
        quillmere.Float64Writer(channel_name)
    with pytest.raises(ValueError, match=message):
        quillmere.Float64Writer(channel_name, entry_length=8, entry_count=4)
    with pytest.raises(ValueError, match=message):
        quillmere.Float64Reader(channel_name)
    with pytest.raises(ValueError, match=message):
        quillmere.Float64Reader(channel_name, entry_length=8, entry_count=4, enable_zero_copy=True)
    assert creator.entry_length == 64


def test_byte_ends_attach_to_a_float64_channel(channel_name: str) -> None:
    values = numpy.linspace(-1.0, 1.0, 8)
    creator = quillmere.Float64Reader(channel_name, entry_length=8, entry_count=4)
    f_writer = quillmere.Float64Writer(channel_name)
    b_reader = quillmere.BytesReader(channel_name)
    f_writer.write(values)
    assert b_reader.entry_length == 64
    assert b_reader.read() == (1, values.tobytes())
    del f_writer  # gives back the writer role; the reader created the segment

    # A byte writer may feed the same float64 segment with raw bytes.
    b_writer = quillmere.BytesWriter(channel_name)
    assert b_writer.entry_length == 64
    assert header_words(channel_name)[3] == 2
    b_writer.write((values * 2).tobytes())
    assert b_writer.last_entry_seq == 2
    assert b_reader.read() == (2, (values * 2).tobytes())
    got = creator.read(from_entry_seq=1)
    assert got is not None and got[0] == 2
    numpy.testing.assert_array_equal(got[1], values * 2)


def test_byte_writer_feeds_float64_readers_raw_doubles(channel_name: str) -> None:
    creator = quillmere.Float64Reader(channel_name, entry_length=4, entry_count=4)
    writer = quillmere.BytesWriter(channel_name)
    assert writer.entry_length == 32
    writer.write(numpy.array([1.5, -2.0, 3.25, 1e300]).tobytes())
    got = creator.read()
    assert got is not None
    assert got[0] == 1
    assert got[1].tolist() == [1.5, -2.0, 3.25, 1e300]


def test_float64_read_returns_a_fresh_array(channel_name: str) -> None:
    writer = quillmere.Float64Writer(channel_name, entry_length=8, entry_count=4)
    reader = quillmere.Float64Reader(channel_name)
    writer.write(numpy.arange(8.0))
    seq, first = reader.read()  # type: ignore[misc]
    assert seq == 1
    assert type(first) is numpy.ndarray
    assert first.shape == (8,) and first.dtype == numpy.float64
    assert first.flags.c_contiguous and first.flags.writeable and first.flags.owndata
    first[:] = -1.0  # does not reach the ring
    again = reader.read(from_entry_seq=0)
    assert again is not None
    assert again[1] is not first
    assert again[1].tolist() == list(range(8))


def test_bytes_read_returns_exact_bytes(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=16, entry_count=4)
    reader = quillmere.BytesReader(channel_name)
    payload = bytes(range(16))
    writer.write(payload)
    got = reader.read()
    assert got is not None
    assert type(got) is tuple and len(got) == 2
    assert type(got[0]) is int and type(got[1]) is bytes
    assert got == (1, payload)


def test_nan_and_special_values_round_trip_bit_exact(channel_name: str) -> None:
    writer = quillmere.Float64Writer(channel_name, entry_length=4, entry_count=2)
    reader = quillmere.Float64Reader(channel_name)
    specials = numpy.array([numpy.nan, numpy.inf, -0.0, 5e-324])
    writer.write(specials)
    got = reader.read()
    assert got is not None
    assert got[1].tobytes() == specials.tobytes()
