"""Frame types and their trailer records: what is accepted, how it reads back, and that any
record bytes give either a frame type or a clear ValueError."""

from __future__ import annotations

import json

import numpy
import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quillmere
from quillmere_tools import _native
from quillmere_tools.frames import FrameReader, FrameType, FrameWriter, describe_record
from quillmere_tools._frame_type import decode_record

POSE = numpy.dtype(
    [("stamp", ">f8"), ("flags", "<u2"), ("pose", ">f4", (2, 3)), (("Label", "label"), "S5")],
    align=True,
)


@pytest.mark.parametrize(
    ("dtype", "shape", "entry_length"),
    [
        (numpy.uint8, (480, 640, 3), 921_600),
        (">u2", (3, 5), 32),  # 30 bytes, padded to 32
        (POSE, (7,), 7 * POSE.itemsize),
        ("datetime64[ns]", 4, 32),
        ("V3", (1, 1, 1), 8),
    ],
)
def test_frame_types_read_back_from_their_records(
    dtype: numpy.typing.DTypeLike, shape: int | tuple[int, ...], entry_length: int
) -> None:
    frame = FrameType.of(dtype, shape)
    assert frame.entry_length == entry_length
    back = decode_record(frame.record, entry_length)
    assert back == frame and back.record == frame.record
    assert back.dtype.byteorder == numpy.dtype(dtype).byteorder
    if frame.dtype.names:
        # Field names, titles, offsets and the aligned struct's padding all survive.
        assert back.dtype.fields == frame.dtype.fields
        assert back.dtype.itemsize == POSE.itemsize


@pytest.mark.parametrize(
    ("dtype", "shape", "error", "message"),
    [
        (object, 4, ValueError, "not plain data"),
        (numpy.dtypes.StringDType(), 4, ValueError, "not plain data"),
        ([("a", "u1"), ("b", "O")], 4, ValueError, "not plain data"),
        (("u1", 3), 4, ValueError, "subarray dtype"),
        ({"names": ["a", "b"], "formats": ["u4", "u1"], "offsets": [0, 2]}, 1, ValueError,
         "overlapping"),
        ("S0", 4, ValueError, "no size"),
        ("u1", (4, 0), ValueError, "all >= 1"),
        ("u1", (2,) * 33, ValueError, "at most 32"),
        ("u1", (1 << 40, 1 << 40), ValueError, "too large"),
        ("u1", 2.5, TypeError, "shape must be"),
        ("no such type", 4, TypeError, "data type"),
    ],
)
def test_frame_types_that_are_refused(
    dtype: object, shape: object, error: type[Exception], message: str
) -> None:
    with pytest.raises(error, match=message):
        FrameType.of(dtype, shape)  # type: ignore[arg-type]


def test_record_is_compact_versioned_json() -> None:
    record = FrameType.of("<f4", (2, 3)).record
    assert json.loads(record) == {"descr": "<f4", "shape": [2, 3], "v": 1}
    assert len(FrameType.of(POSE, 7).record) <= _native.FRAME_RECORD_CAPACITY


@pytest.mark.parametrize(
    "record",
    [
        b"", b"\xff\xfe", b"null", b"[]", b'{"descr":"|u1","shape":[1]}',
        b'{"descr":"|u1","shape":[1],"v":2}', b'{"descr":"|u1","shape":[1],"v":true}',
        b'{"descr":"|O","shape":[1],"v":1}', b'{"descr":"<u1","shape":[1],"v":1}',
        b'{"descr":"i4,i4","shape":[1],"v":1}', b'{"descr":"|u1","shape":[-1],"v":1}',
        b'{"descr":"|u1","shape":"12","v":1}',
        b'{"descr":"|V99999999999999999999","shape":[1],"v":1}',
        b'{"descr":[["a","|u1"],["a","|u1"]],"shape":[1],"v":1}',
        b'{"descr":' + b'[["a",' * 300 + b'"|u1"' + b"]]" * 300 + b',"shape":[1],"v":1}',
        b"[" * 600,
    ],
)
def test_hostile_records_are_value_errors(record: bytes) -> None:
    with pytest.raises(ValueError, match="frame-type record"):
        decode_record(record)


def _mutations(record: bytes) -> st.SearchStrategy[bytes]:
    def mutate(positions: list[tuple[int, int]]) -> bytes:
        data = bytearray(record)
        for at, value in positions:
            data[at % len(data)] = value
        return bytes(data)

    return st.lists(st.tuples(st.integers(0, 1 << 16), st.integers(0, 255)), max_size=4).map(
        mutate
    )


@settings(max_examples=400, deadline=None, suppress_health_check=[HealthCheck.too_slow])
@given(
    st.one_of(
        st.binary(max_size=_native.FRAME_RECORD_CAPACITY),
        _mutations(FrameType.of(POSE, (2, 3)).record),
        _mutations(FrameType.of(">u2", (3, 5)).record),
    )
)
def test_any_record_bytes_give_a_frame_type_or_value_error(record: bytes) -> None:
    try:
        frame = decode_record(record)
    except ValueError as error:
        assert "frame-type record" in str(error)
    else:
        assert frame == decode_record(frame.record)


def test_hostile_record_in_a_channel_is_refused_by_every_end(channel_name: str) -> None:
    keeper = quillmere.BytesReader(channel_name, entry_length=32, entry_count=2)
    writer = quillmere.BytesWriter(channel_name)
    assert _native.store_frame_record(channel_name, b'{"descr":"|O8"') == b'{"descr":"|O8"'
    writer.write(bytes(32))
    with pytest.raises(ValueError, match="unreadable frame-type record"):
        FrameReader(channel_name, dtype="u1", shape=32)
    with pytest.raises(ValueError, match="unreadable frame-type record"):
        describe_record(channel_name)
    del writer  # gives the writer role back
    with pytest.raises(ValueError, match="unreadable frame-type record"):
        FrameWriter(channel_name, dtype="u1", shape=32)
    del keeper


def test_describe_record(channel_name: str) -> None:
    with pytest.raises(FileNotFoundError):
        describe_record(channel_name)
    keeper = quillmere.BytesReader(channel_name, entry_length=32, entry_count=2)
    assert describe_record(channel_name) is None
    writer = FrameWriter(channel_name, dtype=">u2", shape=(3, 5))
    assert describe_record(channel_name) == "dtype >u2, shape (3, 5)"
    del writer, keeper


def test_frame_type_too_long_for_the_trailer_creates_nothing(channel_name: str) -> None:
    wide = numpy.dtype([(f"field_{n:02}", "<f8") for n in range(60)])
    assert len(FrameType.of(wide, 1).record) > _native.FRAME_RECORD_CAPACITY
    with pytest.raises(ValueError, match=r"needs a record of \d+ bytes; the trailer holds 632"):
        FrameWriter(channel_name, dtype=wide, shape=1, entry_count=2)
    with pytest.raises(FileNotFoundError):
        describe_record(channel_name)
