"""Deferred connection: ends built before their channel exists connect on first use."""

from __future__ import annotations

import os
from collections.abc import Callable

import numpy
import pytest

import quillmere
from qm_support import Child, segment_exists

MISSING = "^shared memory segment does not exist and sizes were not supplied$"


def test_reader_before_any_writer(channel_name: str) -> None:
    reader = quillmere.BytesReader(channel_name)
    assert reader.read() is None
    assert (reader.entry_length, reader.last_entry_seq, reader.writer_entry_seq) == (0, 0, 0)
    assert not segment_exists(channel_name)  # a reader without sizes never creates

    writer = quillmere.BytesWriter(channel_name, entry_length=64, entry_count=4)
    payloads = [bytes([i]) * 64 for i in (1, 2, 3)]
    for p in payloads:
        writer.write(p)
    # Properties never connect.
    assert (reader.entry_length, reader.last_entry_seq, reader.writer_entry_seq) == (0, 0, 0)
    assert reader.read() == (1, payloads[0])
    assert (reader.entry_length, reader.last_entry_seq, reader.writer_entry_seq) == (64, 1, 3)
    assert reader.read() == (2, payloads[1])
    assert reader.last_entry_seq == 2


def test_float64_reader_before_any_writer(channel_name: str) -> None:
    reader = quillmere.Float64Reader(channel_name)
    assert reader.read() is None
    writer = quillmere.Float64Writer(channel_name, entry_length=8, entry_count=4)
    writer.write(numpy.full(8, 2.5))
    got = reader.read()
    assert got is not None
    assert got[0] == 1 and got[1].tolist() == [2.5] * 8
    assert reader.entry_length == 8


@pytest.mark.parametrize(
    "cls", [quillmere.BytesWriter, quillmere.Float64Writer, quillmere.BytesReader, quillmere.Float64Reader]
)
def test_no_sizes_no_deferral_no_segment_is_an_os_error(cls: type, channel_name: str) -> None:
    with pytest.raises(OSError, match=MISSING) as info:
        cls(channel_name, delayed_connect=False)
    err = info.value
    assert type(err) is OSError
    assert err.errno is None and err.strerror is None
    assert err.args == ("shared memory segment does not exist and sizes were not supplied",)
    assert not segment_exists(channel_name)


def test_writer_defaults_to_connecting_at_once(channel_name: str) -> None:
    with pytest.raises(OSError, match=MISSING):
        quillmere.BytesWriter(channel_name)


def test_deferred_writer_drops_entries_until_it_can_attach(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, delayed_connect=True)
    assert (writer.entry_length, writer.last_entry_seq) == (0, 0)
    assert writer.write(bytes(64)) is None
    assert writer.write(b"any length is dropped unseen") is None
    assert writer.try_acquire() is None
    # Conversion still happens first.
    with pytest.raises(TypeError, match="^argument 'data': "):
        writer.write(bytearray(64))
    assert (writer.entry_length, writer.last_entry_seq) == (0, 0)
    assert not segment_exists(channel_name)

    reader = quillmere.BytesReader(channel_name, entry_length=64, entry_count=4)
    assert writer.entry_length == 0  # properties never connect
    writer.write(b"\x07" * 64)
    assert (writer.entry_length, writer.last_entry_seq) == (64, 1)
    assert reader.read() == (1, b"\x07" * 64)
    assert reader.read() is None


def test_deferred_float64_writer_connects_on_write(channel_name: str) -> None:
    writer = quillmere.Float64Writer(channel_name, delayed_connect=True)
    assert writer.write(numpy.zeros(3)) is None
    reader = quillmere.Float64Reader(channel_name, entry_length=4, entry_count=2)
    with pytest.raises(ValueError, match="^expected 32 payload bytes, got 24$"):
        writer.write(numpy.zeros(3))
    # The failed write connected the writer and stored nothing.
    assert (writer.entry_length, writer.last_entry_seq) == (4, 0)
    assert reader.read() is None


def test_deferred_writer_attaches_to_a_segment_made_by_another_process(
    channel_name: str, spawn: Callable[..., Child]
) -> None:
    writer = quillmere.BytesWriter(channel_name, delayed_connect=True)
    writer.write(bytes(16))
    creator = spawn(
        """
        reader = quillmere.BytesReader(sys.argv[1], entry_length=16, entry_count=4)
        print("created", flush=True)
        for line in sys.stdin:
            got = reader.read()
            print("none" if got is None else f"{got[0]} {got[1].hex()}", flush=True)
        """,
        channel_name,
    )
    creator.expect("created")
    writer.write(b"\xab" * 16)
    assert writer.last_entry_seq == 1
    assert creator.request("read") == "1 " + "ab" * 16
    assert creator.request("read") == "none"


def test_deferred_reader_out_checks_wait_for_the_connection(channel_name: str) -> None:
    reader = quillmere.BytesReader(channel_name)
    short = numpy.full(10, 0xEE, numpy.uint8)
    strided = numpy.zeros(128, numpy.uint8)[::2]
    # Unconnected: the length and layout of `out` are not looked at.
    assert reader.read(out=short) is None
    assert reader.read(out=strided) is None
    # The element type is checked before anything else.
    with pytest.raises(TypeError, match="^argument 'out': "):
        reader.read(out=numpy.zeros(64, numpy.float64))

    writer = quillmere.BytesWriter(channel_name, entry_length=64, entry_count=4)
    writer.write(bytes(64))
    with pytest.raises(ValueError, match="^out must hold exactly 64 elements, got 10$"):
        reader.read(out=short)
    assert short.tolist() == [0xEE] * 10
    # That read connected the reader although it failed; the watermark is untouched.
    assert (reader.entry_length, reader.last_entry_seq, reader.writer_entry_seq) == (64, 0, 1)
    assert reader.read() == (1, bytes(64))


def test_deferred_reader_that_meets_the_wrong_dtype_stays_unconnected(channel_name: str) -> None:
    reader = quillmere.Float64Reader(channel_name)
    writer = quillmere.BytesWriter(channel_name, entry_length=64, entry_count=4)
    writer.write(bytes(64))
    for _ in range(2):
        with pytest.raises(ValueError, match="^dtype mismatch: channel holds u8, requested f64$"):
            reader.read()
        assert reader.entry_length == 0


def test_deferred_writer_that_meets_the_wrong_dtype_stays_unconnected(channel_name: str) -> None:
    writer = quillmere.Float64Writer(channel_name, delayed_connect=True)
    creator = quillmere.BytesReader(channel_name, entry_length=64, entry_count=4)
    with pytest.raises(ValueError, match="^dtype mismatch: channel holds u8, requested f64$"):
        writer.write(numpy.zeros(8))
    with pytest.raises(ValueError, match="^dtype mismatch: channel holds u8, requested f64$"):
        writer.try_acquire()
    assert (writer.entry_length, writer.last_entry_seq) == (0, 0)
    assert creator.read() is None


def test_sizes_make_deferral_irrelevant(channel_name: str) -> None:
    reader = quillmere.BytesReader(channel_name, entry_length=8, entry_count=2, delayed_connect=True)
    assert reader.entry_length == 8
    assert segment_exists(channel_name)
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=2, delayed_connect=True)
    assert writer.entry_length == 8


def test_two_deferred_writers_race_for_the_role(channel_name: str) -> None:
    first = quillmere.BytesWriter(channel_name, delayed_connect=True)
    second = quillmere.BytesWriter(channel_name, delayed_connect=True)
    creator = quillmere.BytesReader(channel_name, entry_length=8, entry_count=4)
    first.write(b"first-01")
    with pytest.raises(
        quillmere.ChannelRoleConflict,
        match=f"^the writer role on channel '{channel_name}' is held by process {os.getpid()}$",
    ):
        second.write(b"second01")
    assert second.entry_length == 0
    # Once the first writer is gone, the second one's next write connects and
    # continues the numbering.
    del first
    second.write(b"second02")
    assert second.last_entry_seq == 2
    assert creator.read() == (1, b"first-01")
    assert creator.read() == (2, b"second02")


def test_a_reader_keeps_its_segment_after_the_creator_leaves(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    reader = quillmere.BytesReader(channel_name)
    writer.write(b"entry-01")
    del writer  # the creator owns the segment: its name goes with it
    assert not segment_exists(channel_name)
    assert reader.read() == (1, b"entry-01")
    assert reader.writer_entry_seq == 1
    late = quillmere.BytesReader(channel_name)
    assert late.read() is None
