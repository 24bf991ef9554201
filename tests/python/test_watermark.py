"""Watermarks, `from_entry_seq`, lapping and numbering, checked against a model of the ring."""

from __future__ import annotations

import struct

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillmere
from qm_support import new_channel_name


def payload(seq: int) -> bytes:
    return struct.pack("<QQ", seq, seq ^ 0x5A5A5A5A5A5A5A5A)


def fill(writer: quillmere.BytesWriter, count: int) -> None:
    for _ in range(count):
        writer.write(payload(writer.last_entry_seq + 1))


@pytest.fixture
def ring(channel_name: str) -> quillmere.BytesWriter:
    """Four 16-byte slots holding entries 7 to 10 after ten writes."""
    writer = quillmere.BytesWriter(channel_name, entry_length=16, entry_count=4)
    fill(writer, 10)
    return writer


def test_a_lapped_reader_gets_the_oldest_entry_still_in_the_ring(channel_name: str, ring) -> None:
    reader = quillmere.BytesReader(channel_name)
    seqs = []
    while (got := reader.read()) is not None:
        assert got[1] == payload(got[0])
        seqs.append(got[0])
    assert seqs == [7, 8, 9, 10]
    assert reader.last_entry_seq == reader.writer_entry_seq == ring.last_entry_seq == 10


def test_lapping_shows_only_as_a_gap(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=16, entry_count=4)
    reader = quillmere.BytesReader(channel_name)
    fill(writer, 3)
    assert reader.read() == (1, payload(1))
    fill(writer, 9)  # entries 4..12: the ring now holds 9..12
    assert reader.read() == (9, payload(9))
    assert reader.read() == (10, payload(10))


def test_single_slot_ring_keeps_only_the_newest(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=16, entry_count=1)
    reader = quillmere.BytesReader(channel_name)
    fill(writer, 5)
    assert reader.read() == (5, payload(5))
    assert reader.read() is None
    fill(writer, 1)
    assert reader.read() == (6, payload(6))


def test_from_entry_seq_zero_rewinds_to_the_oldest(channel_name: str, ring) -> None:
    reader = quillmere.BytesReader(channel_name)
    for _ in range(3):
        reader.read()
    assert reader.last_entry_seq == 9
    assert reader.read(from_entry_seq=0) == (7, payload(7))
    assert reader.last_entry_seq == 7
    # Later calls continue from there.
    assert reader.read() == (8, payload(8))


def test_from_entry_seq_moves_the_watermark_backward(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=16, entry_count=8)
    fill(writer, 10)  # the ring holds 3..10
    reader = quillmere.BytesReader(channel_name)
    assert reader.read(from_entry_seq=9) == (10, payload(10))
    assert reader.last_entry_seq == 10
    assert reader.read(from_entry_seq=5) == (6, payload(6))
    assert reader.last_entry_seq == 6
    assert reader.read() == (7, payload(7))


def test_from_entry_seq_at_or_above_the_writer_gives_nothing(channel_name: str, ring) -> None:
    reader = quillmere.BytesReader(channel_name)
    reader.read()
    for start in (ring.last_entry_seq, reader.writer_entry_seq, 11, 2**63, 2**64 - 1):
        assert reader.read(from_entry_seq=start) is None
        assert reader.last_entry_seq == 7  # unchanged when nothing is returned


def test_skip_to_the_newest_entry(channel_name: str, ring) -> None:
    # The channel exists, so the reader connects while it is built.
    reader = quillmere.BytesReader(channel_name)
    assert reader.writer_entry_seq == 10
    assert reader.read(from_entry_seq=reader.writer_entry_seq - 1) == (10, payload(10))
    fill(ring, 3)
    assert reader.read(from_entry_seq=reader.writer_entry_seq - 1) == (13, payload(13))
    assert reader.read() is None


def test_writer_entry_seq_tracks_the_writer_whether_read_or_not(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=16, entry_count=4)
    idle = quillmere.BytesReader(channel_name)
    busy = quillmere.BytesReader(channel_name)
    for n in range(1, 7):
        writer.write(payload(n))
        busy.read()
        assert idle.writer_entry_seq == busy.writer_entry_seq == writer.last_entry_seq == n
    assert idle.last_entry_seq == 0
    assert busy.last_entry_seq == 6


def test_readers_keep_independent_watermarks(channel_name: str, ring) -> None:
    a = quillmere.BytesReader(channel_name)
    b = quillmere.BytesReader(channel_name)
    assert a.read() == (7, payload(7))
    assert a.read() == (8, payload(8))
    assert b.read() == (7, payload(7))
    assert (a.last_entry_seq, b.last_entry_seq) == (8, 7)


def test_numbering_continues_across_writers(channel_name: str) -> None:
    creator = quillmere.BytesReader(channel_name, entry_length=16, entry_count=4)
    first = quillmere.BytesWriter(channel_name)
    fill(first, 6)
    del first  # not the segment's owner: the name stays
    second = quillmere.BytesWriter(channel_name)
    assert second.last_entry_seq == 6
    fill(second, 1)
    assert second.last_entry_seq == 7
    assert [creator.read()[0] for _ in range(4)] == [4, 5, 6, 7]  # type: ignore[index]


# ------------------------------------------------------- model-based checking


operations = st.lists(
    st.one_of(
        st.tuples(st.just("write"), st.integers(1, 6)),
        st.tuples(st.just("read"), st.none()),
        st.tuples(st.just("read"), st.integers(0, 40)),
    ),
    max_size=40,
)


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(entry_count=st.integers(1, 5), ops=operations)
def test_reads_match_a_model_of_the_ring(entry_count: int, ops: list[tuple[str, int | None]]) -> None:
    """Without zero-copy holds the ring holds the newest `entry_count` entries,
    and a read returns the smallest entry_seq above the watermark among them."""
    name = new_channel_name()
    try:
        writer = quillmere.BytesWriter(name, entry_length=16, entry_count=entry_count)
        reader = quillmere.BytesReader(name)
        written = 0
        watermark = 0
        for op, arg in ops:
            if op == "write":
                assert arg is not None
                for _ in range(arg):
                    written += 1
                    writer.write(payload(written))
                continue
            start = watermark if arg is None else arg
            present = range(max(1, written - entry_count + 1), written + 1)
            newer = [s for s in present if s > start]
            got = reader.read() if arg is None else reader.read(from_entry_seq=arg)
            if newer:
                assert got == (newer[0], payload(newer[0]))
                watermark = newer[0]
            else:
                assert got is None
            assert reader.last_entry_seq == watermark
            assert reader.writer_entry_seq == written
    finally:
        quillmere.unlink(name)
