"""Argument binding and conversion of the constructors, `write` and `read`."""

from __future__ import annotations

import numpy
import pytest

import quillmere

WRITERS = [quillmere.BytesWriter, quillmere.Float64Writer]
READERS = [quillmere.BytesReader, quillmere.Float64Reader]
ENDPOINTS = WRITERS + READERS


class Index:
    """An integer-like object that is not an int."""

    def __init__(self, value: int) -> None:
        self.value = value

    def __index__(self) -> int:
        return self.value


def refused(argument: str, obj_type: str, expected: str) -> str:
    return f"^argument '{argument}': '{obj_type}' object is not an instance of '{expected}'$"


# ---------------------------------------------------------------- constructors


@pytest.mark.parametrize("cls", ENDPOINTS)
def test_name_by_keyword_and_position(cls: type, channel_name: str) -> None:
    a = cls(channel_name, delayed_connect=True)
    b = cls(name=channel_name, delayed_connect=True)
    assert a.entry_length == b.entry_length == 0


@pytest.mark.parametrize("cls", ENDPOINTS)
def test_name_is_required(cls: type) -> None:
    with pytest.raises(TypeError):
        cls()
    with pytest.raises(TypeError):
        cls(delayed_connect=True)


@pytest.mark.parametrize("cls", ENDPOINTS)
@pytest.mark.parametrize("bad", [7, b"/qm-bytes", None])
def test_name_must_be_a_str(cls: type, bad: object) -> None:
    with pytest.raises(TypeError, match="^argument 'name': "):
        cls(bad, delayed_connect=True)


@pytest.mark.parametrize("cls", ENDPOINTS)
def test_sizes_are_keyword_only(cls: type, channel_name: str) -> None:
    with pytest.raises(TypeError):
        cls(channel_name, 64, 4)
    with pytest.raises(TypeError):
        cls(channel_name, entry_length=64, entry_count=4, bogus=1)


@pytest.mark.parametrize("cls", ENDPOINTS)
@pytest.mark.parametrize("argument", ["entry_length", "entry_count"])
@pytest.mark.parametrize("bad", ["64", 64.0, b"\x40"])
def test_sizes_must_be_integers(cls: type, argument: str, bad: object, channel_name: str) -> None:
    sizes: dict[str, object] = {"entry_length": 64, "entry_count": 4}
    sizes[argument] = bad
    with pytest.raises(TypeError, match=f"^argument '{argument}': "):
        cls(channel_name, **sizes)


@pytest.mark.parametrize("cls", ENDPOINTS)
@pytest.mark.parametrize("argument", ["entry_length", "entry_count"])
@pytest.mark.parametrize("bad", [-1, -(2**70), 2**64, 2**100])
def test_sizes_out_of_u64_range_overflow(cls: type, argument: str, bad: int, channel_name: str) -> None:
    sizes = {"entry_length": 64, "entry_count": 4}
    sizes[argument] = bad
    with pytest.raises(OverflowError):
        cls(channel_name, **sizes)


@pytest.mark.parametrize("cls", ENDPOINTS)
def test_sizes_accept_index_objects(cls: type, channel_name: str) -> None:
    obj = cls(channel_name, entry_length=numpy.uint64(16), entry_count=Index(4))
    assert obj.entry_length in (16, 2)  # bytes or float64 elements


FLAGS = [(cls, "delayed_connect") for cls in ENDPOINTS] + [
    (cls, "enable_zero_copy") for cls in READERS
]


@pytest.mark.parametrize(("cls", "flag"), FLAGS)
@pytest.mark.parametrize("bad", [None, 1, 0, "yes", numpy.int64(1)])
def test_flags_must_be_booleans(cls: type, flag: str, bad: object, channel_name: str) -> None:
    with pytest.raises(TypeError, match=f"^argument '{flag}': "):
        cls(channel_name, **{flag: bad})


@pytest.mark.parametrize("cls", WRITERS)
def test_writers_take_no_zero_copy_flag(cls: type, channel_name: str) -> None:
    with pytest.raises(TypeError):
        cls(channel_name, delayed_connect=True, enable_zero_copy=False)


@pytest.mark.parametrize("cls", ENDPOINTS)
def test_flags_accept_numpy_booleans(cls: type, channel_name: str) -> None:
    obj = cls(channel_name, delayed_connect=numpy.bool_(True))
    assert obj.entry_length == 0
    if cls in READERS:
        cls(channel_name, enable_zero_copy=numpy.bool_(False))


@pytest.mark.parametrize("cls", ENDPOINTS)
def test_explicit_none_sizes_mean_omitted(cls: type, channel_name: str) -> None:
    obj = cls(channel_name, entry_length=None, entry_count=None, delayed_connect=True)
    assert obj.entry_length == 0


# ---------------------------------------------------------------------- write


def test_write_binding(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=2)
    writer.write(data=b"12345678")
    assert writer.last_entry_seq == 1
    with pytest.raises(TypeError):
        writer.write()  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        writer.write(b"12345678", b"12345678")  # type: ignore[call-arg]
    with pytest.raises(TypeError):
        writer.write(payload=b"12345678")  # type: ignore[call-arg]
    assert writer.last_entry_seq == 1


@pytest.mark.parametrize(
    ("bad", "type_name"),
    [
        (bytearray(64), "bytearray"),
        (memoryview(bytes(64)), "memoryview"),
        (numpy.zeros(64, numpy.uint8), "ndarray"),
        ("x" * 64, "str"),
        (None, "NoneType"),
    ],
)
def test_bytes_writer_accepts_only_bytes(bad: object, type_name: str, channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=64, entry_count=2)
    reader = quillmere.BytesReader(channel_name)
    with pytest.raises(TypeError, match=refused("data", type_name, "bytes")):
        writer.write(bad)  # type: ignore[arg-type]
    assert writer.last_entry_seq == 0
    assert reader.read() is None


def test_bytes_writer_accepts_bytes_subclasses(channel_name: str) -> None:
    class Payload(bytes):
        pass

    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=2)
    reader = quillmere.BytesReader(channel_name)
    writer.write(Payload(b"abcdefgh"))
    assert reader.read() == (1, b"abcdefgh")


@pytest.mark.parametrize(
    "bad",
    [
        [0.0] * 8,
        numpy.zeros(8, numpy.int64),
        numpy.zeros(8, numpy.float32),
        numpy.zeros((2, 4), numpy.float64),
        numpy.zeros(8, ">f8"),
        numpy.float64(1.0),
        bytes(64),
    ],
    ids=["list", "int64", "float32", "2-D", "big-endian", "scalar", "bytes"],
)
def test_float64_writer_refuses_other_data(bad: object, channel_name: str) -> None:
    writer = quillmere.Float64Writer(channel_name, entry_length=8, entry_count=2)
    with pytest.raises(TypeError, match="^argument 'data': "):
        writer.write(bad)  # type: ignore[arg-type]
    assert writer.last_entry_seq == 0


def test_float64_writer_names_the_refused_type(channel_name: str) -> None:
    writer = quillmere.Float64Writer(channel_name, entry_length=8, entry_count=2)
    with pytest.raises(TypeError, match=refused("data", "list", "ndarray")):
        writer.write([0.0] * 8)  # type: ignore[arg-type]


def test_float64_writer_accepts_array_subclasses(channel_name: str) -> None:
    class Frame(numpy.ndarray):
        pass

    writer = quillmere.Float64Writer(channel_name, entry_length=4, entry_count=2)
    reader = quillmere.Float64Reader(channel_name)
    writer.write(numpy.arange(4.0).view(Frame))
    got = reader.read()
    assert got is not None
    assert got[0] == 1
    assert got[1].tolist() == [0.0, 1.0, 2.0, 3.0]


def test_float64_writer_refuses_strided_and_misaligned_arrays(channel_name: str) -> None:
    writer = quillmere.Float64Writer(channel_name, entry_length=4, entry_count=2)
    message = "^The given array is not contiguous or is misaligned\\.$"
    with pytest.raises(TypeError, match=message):
        writer.write(numpy.arange(8.0)[::2])
    raw = numpy.zeros(4 * 8 + 1, numpy.uint8)
    misaligned = raw[1:].view(numpy.float64)
    assert not misaligned.flags.aligned
    with pytest.raises(TypeError, match=message):
        writer.write(misaligned)
    assert writer.last_entry_seq == 0


def test_float64_writer_accepts_read_only_and_fortran_arrays(channel_name: str) -> None:
    writer = quillmere.Float64Writer(channel_name, entry_length=4, entry_count=4)
    reader = quillmere.Float64Reader(channel_name)
    frozen = numpy.arange(4.0)
    frozen.flags.writeable = False
    writer.write(frozen)
    writer.write(numpy.asfortranarray(numpy.arange(4.0) + 10))
    first, second = reader.read(), reader.read()
    assert first is not None and second is not None
    assert first[1].tolist() == [0.0, 1.0, 2.0, 3.0]
    assert second[1].tolist() == [10.0, 11.0, 12.0, 13.0]


# ----------------------------------------------------------------------- read


@pytest.mark.parametrize("cls", READERS)
def test_read_arguments_are_keyword_only(cls: type, channel_name: str) -> None:
    reader = cls(channel_name)
    with pytest.raises(TypeError):
        reader.read(None)
    with pytest.raises(TypeError):
        reader.read(None, None)
    with pytest.raises(TypeError):
        reader.read(outt=None)
    assert reader.read(out=None, from_entry_seq=None) is None


@pytest.mark.parametrize("cls", READERS)
@pytest.mark.parametrize("bad", ["3", 3.0, b"3", [3]])
def test_from_entry_seq_type_error_names_the_argument(cls: type, bad: object, channel_name: str) -> None:
    reader = cls(channel_name)
    with pytest.raises(TypeError, match="from_entry_seq"):
        reader.read(from_entry_seq=bad)


@pytest.mark.parametrize("cls", READERS)
@pytest.mark.parametrize("bad", [-1, 2**64, -(2**64)])
def test_from_entry_seq_out_of_range_overflows(cls: type, bad: int, channel_name: str) -> None:
    reader = cls(channel_name)
    with pytest.raises(OverflowError):
        reader.read(from_entry_seq=bad)


def test_from_entry_seq_accepts_index_objects(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=8)
    for i in range(1, 5):
        writer.write(b"entry-%02d" % i)
    reader = quillmere.BytesReader(channel_name)
    assert reader.read(from_entry_seq=Index(2)) == (3, b"entry-03")
    assert reader.read(from_entry_seq=numpy.uint64(0)) == (1, b"entry-01")
    assert reader.read(from_entry_seq=numpy.int32(3)) == (4, b"entry-04")
    assert reader.read(from_entry_seq=True) == (2, b"entry-02")
    assert reader.read(from_entry_seq=2**64 - 1) is None


def test_from_entry_seq_index_error_propagates(channel_name: str) -> None:
    class Broken:
        def __index__(self) -> int:
            raise ZeroDivisionError("boom")

    reader = quillmere.BytesReader(channel_name)
    with pytest.raises(ZeroDivisionError, match="boom"):
        reader.read(from_entry_seq=Broken())


@pytest.mark.parametrize(
    ("cls", "bad"),
    [
        (quillmere.BytesReader, numpy.zeros(64, numpy.float64)),
        (quillmere.BytesReader, numpy.zeros(64, numpy.int8)),
        (quillmere.BytesReader, numpy.zeros((8, 8), numpy.uint8)),
        (quillmere.BytesReader, numpy.zeros((), numpy.uint8)),
        (quillmere.Float64Reader, numpy.zeros(8, numpy.uint8)),
        (quillmere.Float64Reader, numpy.zeros(8, numpy.float32)),
        (quillmere.Float64Reader, numpy.zeros(8, ">f8")),
        (quillmere.Float64Reader, numpy.zeros((2, 4), numpy.float64)),
    ],
    ids=["u8<-f64", "u8<-i8", "u8-2d", "u8-0d", "f64<-u8", "f64<-f32", "f64<-big-endian", "f64-2d"],
)
def test_out_of_the_wrong_kind_is_a_type_error(cls: type, bad: object, channel_name: str) -> None:
    reader = cls(channel_name)
    with pytest.raises(TypeError, match="^argument 'out': "):
        reader.read(out=bad)


@pytest.mark.parametrize("cls", READERS)
@pytest.mark.parametrize(("bad", "type_name"), [([0] * 64, "list"), (bytearray(64), "bytearray")])
def test_out_that_is_no_array_is_named(cls: type, bad: object, type_name: str, channel_name: str) -> None:
    reader = cls(channel_name)
    with pytest.raises(TypeError, match=refused("out", type_name, "ndarray")):
        reader.read(out=bad)


def test_read_reentered_from_index_is_already_borrowed(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=4)
    writer.write(b"entry-01")
    reader = quillmere.BytesReader(channel_name)
    seen: list[BaseException] = []

    class Reenter:
        def __init__(self, action: str) -> None:
            self.action = action

        def __index__(self) -> int:
            try:
                if self.action == "read":
                    reader.read()
                else:
                    reader.last_entry_seq
            except RuntimeError as exc:
                seen.append(exc)
                raise
            return 0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        reader.read(from_entry_seq=Reenter("read"))
    with pytest.raises(RuntimeError, match="^Already mutably borrowed$"):
        reader.read(from_entry_seq=Reenter("property"))
    assert [str(e) for e in seen] == ["Already borrowed", "Already mutably borrowed"]
    # The guard was given back on the error paths: the reader is usable and
    # its watermark untouched.
    assert reader.last_entry_seq == 0
    assert reader.read() == (1, b"entry-01")
