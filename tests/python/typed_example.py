"""Typed use of every public name, checked with `mypy --strict` by test_typing.py.

Never collected by pytest and never run: it only has to type-check against the
installed module's stub.
"""

from __future__ import annotations

import numpy
import numpy.typing as npt

import quillmere
from quillmere import (
    BytesReader,
    BytesWriter,
    ChannelRoleConflict,
    Float64Reader,
    Float64Writer,
    ReadHandle,
    WriteHandle,
    unlink,
)


def bytes_round_trip(name: str) -> bytes | None:
    writer = BytesWriter(name, entry_length=64, entry_count=4, delayed_connect=False)
    reader = BytesReader(name, delayed_connect=numpy.bool_(True))
    writer.write(bytes(64))
    sizes: int = writer.entry_length + writer.last_entry_seq + reader.entry_length
    assert sizes >= 0
    got = reader.read(from_entry_seq=reader.writer_entry_seq - 1)
    if got is None:
        return None
    seq, payload = got
    return payload if seq == reader.last_entry_seq else None


def bytes_into_out(reader: BytesReader) -> npt.NDArray[numpy.uint8] | None:
    out = numpy.zeros(reader.entry_length, numpy.uint8)
    got = reader.read(out=out, from_entry_seq=numpy.uint64(0))
    return None if got is None else got[1]


def float_frames(name: str) -> float:
    writer = Float64Writer(name, entry_length=8, entry_count=16)
    reader = Float64Reader(name)
    writer.write(numpy.arange(8.0))
    fresh = reader.read()
    total = 0.0
    if fresh is not None:
        total += float(fresh[1].sum())
    out = numpy.empty(reader.entry_length)
    into = reader.read(out=out, from_entry_seq=0)
    if into is not None:
        total += float(into[1][0])
    return total


def zero_copy(name: str) -> int:
    writer = Float64Writer(name, entry_length=4, entry_count=4)
    reader = Float64Reader(name, enable_zero_copy=True)
    handle: WriteHandle | None = writer.try_acquire()
    if handle is None:
        return 0
    with handle as w:
        numpy.asarray(w.payload)[:] = 1.0
        assert not w.committed and w.exports == 0
    second = writer.try_acquire()
    seq: int = second.commit() if second is not None else 0
    read_handle: ReadHandle | None = reader.try_acquire(from_entry_seq=0)
    if read_handle is None:
        return seq
    with read_handle as r:
        view = memoryview(r)
        first = float(numpy.asarray(r.payload)[0])
        view.release()
    assert r.released and r.entry_seq > 0 and first == 1.0
    return r.entry_seq


def roles(name: str) -> str:
    try:
        BytesWriter(name)
    except ChannelRoleConflict as exc:
        return str(exc)
    except OSError as exc:
        return str(exc)
    finally:
        unlink(name=name)
    return ""


def module_listing() -> list[str]:
    return list(quillmere.__all__)
