"""`read(out=...)`: the caller's array is filled in place, or refused before anything is copied."""

from __future__ import annotations

import numpy
import pytest

import quillmere

CONTIGUOUS = "^out must be a contiguous array$"
MISALIGNED = "^The given array is not contiguous or is misaligned\\.$"


@pytest.fixture
def byte_channel(channel_name: str) -> tuple[quillmere.BytesWriter, quillmere.BytesReader]:
    writer = quillmere.BytesWriter(channel_name, entry_length=64, entry_count=4)
    writer.write(bytes(range(64)))
    return writer, quillmere.BytesReader(channel_name)


@pytest.fixture
def float_channel(channel_name: str) -> tuple[quillmere.Float64Writer, quillmere.Float64Reader]:
    writer = quillmere.Float64Writer(channel_name, entry_length=8, entry_count=4)
    writer.write(numpy.arange(8.0))
    return writer, quillmere.Float64Reader(channel_name)


def test_bytes_out_is_filled_and_returned_itself(byte_channel) -> None:
    _, reader = byte_channel
    out = numpy.zeros(64, numpy.uint8)
    got = reader.read(out=out)
    assert got is not None
    assert got[0] == 1
    assert got[1] is out
    assert out.tobytes() == bytes(range(64))


def test_float64_out_is_filled_and_returned_itself(float_channel) -> None:
    _, reader = float_channel
    out = numpy.zeros(8)
    got = reader.read(out=out)
    assert got is not None and got[1] is out
    assert out.tolist() == list(range(8))


def test_out_subclass_is_returned_as_is(float_channel) -> None:
    class Frame(numpy.ndarray):
        pass

    _, reader = float_channel
    out = numpy.zeros(8).view(Frame)
    got = reader.read(out=out)
    assert got is not None and got[1] is out
    assert type(got[1]) is Frame


def test_out_views_into_a_larger_array(byte_channel) -> None:
    writer, reader = byte_channel
    big = numpy.full(3 * 64, 0xFF, numpy.uint8)
    got = reader.read(out=big[64:128])
    assert got is not None
    assert big[64:128].tobytes() == bytes(range(64))
    assert big[:64].tolist() == [0xFF] * 64 and big[128:].tolist() == [0xFF] * 64


def test_nothing_newer_leaves_out_untouched(byte_channel) -> None:
    _, reader = byte_channel
    assert reader.read() is not None
    out = numpy.full(64, 0xAA, numpy.uint8)
    assert reader.read(out=out) is None
    assert out.tolist() == [0xAA] * 64


def test_strided_out_is_refused(byte_channel) -> None:
    _, reader = byte_channel
    backing = numpy.full(128, 0x55, numpy.uint8)
    with pytest.raises(ValueError, match=CONTIGUOUS):
        reader.read(out=backing[::2])
    assert backing.tolist() == [0x55] * 128
    assert reader.last_entry_seq == 0


def test_reversed_out_is_refused(float_channel) -> None:
    _, reader = float_channel
    with pytest.raises(ValueError, match=CONTIGUOUS):
        reader.read(out=numpy.zeros(8)[::-1])


@pytest.mark.parametrize("length", [0, 63, 65, 128])
def test_out_of_the_wrong_length_is_refused(byte_channel, length: int) -> None:
    _, reader = byte_channel
    out = numpy.full(length, 0x11, numpy.uint8)
    with pytest.raises(ValueError, match=f"^out must hold exactly 64 elements, got {length}$"):
        reader.read(out=out)
    assert out.tolist() == [0x11] * length
    assert reader.read() == (1, bytes(range(64)))


def test_float64_out_length_counts_elements(float_channel) -> None:
    _, reader = float_channel
    with pytest.raises(ValueError, match="^out must hold exactly 8 elements, got 64$"):
        reader.read(out=numpy.zeros(64))


def test_misaligned_float64_out_is_refused(float_channel) -> None:
    _, reader = float_channel
    raw = numpy.zeros(8 * 8 + 1, numpy.uint8)
    out = raw[1:].view(numpy.float64)
    assert not out.flags.aligned and out.flags.c_contiguous
    with pytest.raises(TypeError, match=MISALIGNED):
        reader.read(out=out)
    assert raw.tolist() == [0] * 65
    assert reader.last_entry_seq == 0


def test_read_only_bytes_out_is_refused_untouched(byte_channel) -> None:
    _, reader = byte_channel
    frozen = bytes(64)
    out = numpy.frombuffer(frozen, numpy.uint8)
    assert not out.flags.writeable
    with pytest.raises(ValueError):
        reader.read(out=out)
    assert frozen == bytes(64)
    assert reader.last_entry_seq == 0
    assert reader.read() == (1, bytes(range(64)))


def test_read_only_float64_out_is_refused_untouched(float_channel) -> None:
    _, reader = float_channel
    out = numpy.full(8, -1.0)
    out.flags.writeable = False
    with pytest.raises(ValueError):
        reader.read(out=out)
    assert out.tolist() == [-1.0] * 8
    assert reader.last_entry_seq == 0


def test_out_checks_keep_their_order(byte_channel) -> None:
    # Element type and rank before contiguity, contiguity before length.
    _, reader = byte_channel
    with pytest.raises(TypeError):
        reader.read(out=numpy.zeros(128, numpy.float64)[::2])
    with pytest.raises(ValueError, match=CONTIGUOUS):
        reader.read(out=numpy.zeros(20, numpy.uint8)[::2])


def test_out_errors_leave_the_reader_usable(float_channel) -> None:
    writer, reader = float_channel
    for bad in (numpy.zeros(7), numpy.zeros(16)[::2], numpy.zeros(8, numpy.int64)):
        with pytest.raises((TypeError, ValueError)):
            reader.read(out=bad)
    writer.write(numpy.arange(8.0) + 100)
    out = numpy.zeros(8)
    assert reader.read(out=out) == (1, out)
    assert reader.read(out=out) == (2, out)
    assert out.tolist() == [100.0 + i for i in range(8)]


def test_out_can_be_reused_across_reads(byte_channel) -> None:
    writer, reader = byte_channel
    out = numpy.zeros(64, numpy.uint8)
    for i in range(2, 6):
        writer.write(bytes([i]) * 64)
    seqs = []
    while (got := reader.read(out=out)) is not None:
        assert got[1] is out
        seqs.append(got[0])
        assert out[0] == (got[0] if got[0] > 1 else 0)
    assert seqs == [2, 3, 4, 5]  # entry 1 was overwritten by entry 5
