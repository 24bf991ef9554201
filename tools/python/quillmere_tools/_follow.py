"""Iterating over a reader's entries as they come: `follow` blocks, `afollow` awaits."""

from __future__ import annotations

import asyncio
from collections.abc import AsyncIterator, Iterator
from typing import Any, TypeVar, overload

import numpy
import numpy.typing as npt
import quillmere

from quillmere_tools import _native, _waiting_thread
from quillmere_tools._batch import follow_batches
from quillmere_tools._arguments import DEFAULT_SPIN, seconds, spin_seconds
from quillmere_tools._wait import Reader

_U8Array = TypeVar("_U8Array", bound=npt.NDArray[numpy.uint8])
_F64Array = TypeVar("_F64Array", bound=npt.NDArray[numpy.float64])

# A deferred reader's channel may not exist yet: afollow looks for it again after this many
# seconds, doubling up to _LONGEST_LOOK.
_FIRST_LOOK, _LONGEST_LOOK = 0.001, 0.1


@overload
def follow(
    reader: quillmere.BytesReader, *, out: None = None, timeout: float | None = None,
    spin: float = DEFAULT_SPIN,
) -> Iterator[tuple[int, bytes]]: ...
@overload
def follow(
    reader: quillmere.BytesReader, *, out: _U8Array, timeout: float | None = None,
    spin: float = DEFAULT_SPIN,
) -> Iterator[tuple[int, _U8Array]]: ...
@overload
def follow(
    reader: quillmere.Float64Reader, *, out: None = None, timeout: float | None = None,
    spin: float = DEFAULT_SPIN,
) -> Iterator[tuple[int, npt.NDArray[numpy.float64]]]: ...
@overload
def follow(
    reader: quillmere.Float64Reader, *, out: _F64Array, timeout: float | None = None,
    spin: float = DEFAULT_SPIN,
) -> Iterator[tuple[int, _F64Array]]: ...
@overload
def follow(
    reader: Reader, *, batch: npt.NDArray[Any], seqs: npt.NDArray[numpy.int64] | None = None,
    timeout: float | None = None, spin: float = DEFAULT_SPIN,
) -> Iterator[tuple[int, npt.NDArray[numpy.int64]]]: ...
def follow(
    reader: Reader, *, out: Any = None, batch: Any = None, seqs: Any = None,
    timeout: float | None = None, spin: float = DEFAULT_SPIN,
) -> Iterator[tuple[int, Any]]:
    """Yield `(entry_seq, payload)` for each entry as it comes, waiting in between.

    Stops when `timeout` seconds pass with no new entry (None follows for ever). `out` is
    passed to every `read`, so each payload is that same array refilled. Runs on the
    reader's thread, like `wait`.

    With `batch` (a 2-D array as for `read_batch`) it yields `(count, seqs)` instead: each
    time entries are there, `count` rows of `batch` are refilled at once and `seqs` holds
    their entry_seqs (a view of the given `seqs` array, or of one of its own); between
    batches it sleeps on the doorbell.
    """
    _native.reader_channel(reader)  # refuses another type or thread now, not at first next()
    if batch is not None:
        if out is not None:
            raise TypeError("follow() takes out or batch, not both")
        return follow_batches(reader, batch, seqs, seconds("timeout", timeout), spin_seconds(spin))
    # One native call per entry: read, and when nothing is new, wait and read again.
    return _native.Follower(reader, out, seconds("timeout", timeout), spin_seconds(spin))


@overload
def afollow(
    reader: quillmere.BytesReader, *, out: None = None, timeout: float | None = None
) -> AsyncIterator[tuple[int, bytes]]: ...
@overload
def afollow(
    reader: quillmere.BytesReader, *, out: _U8Array, timeout: float | None = None
) -> AsyncIterator[tuple[int, _U8Array]]: ...
@overload
def afollow(
    reader: quillmere.Float64Reader, *, out: None = None, timeout: float | None = None
) -> AsyncIterator[tuple[int, npt.NDArray[numpy.float64]]]: ...
@overload
def afollow(
    reader: quillmere.Float64Reader, *, out: _F64Array, timeout: float | None = None
) -> AsyncIterator[tuple[int, _F64Array]]: ...
def afollow(
    reader: Reader, *, out: Any = None, timeout: float | None = None
) -> AsyncIterator[tuple[int, Any]]:
    """`follow` as an async iterator: reads on the event loop's thread, waits off it.

    Iterate it on the reader's thread (the one running the loop).
    """
    _native.reader_channel(reader)  # refuses another type or thread now, not at first step
    limit = seconds("timeout", timeout)
    return _afollow(reader, out, limit)


async def _afollow(reader: Reader, out: Any, timeout: float) -> AsyncIterator[tuple[int, Any]]:
    # The reader's own segment, not whatever its name holds by now (it may have been made
    # again); the same waiting rules as follow(): past what was seen before an empty read.
    bell = await _reader_doorbell(reader, timeout)
    if bell is None:
        return
    try:
        while True:
            seen = reader.writer_entry_seq
            got = reader.read(out=out)
            if got is not None:
                yield got
            elif not await _waiting_thread.wait_async(
                bell, max(reader.last_entry_seq, seen), timeout
            ):
                return
    finally:
        bell.close()


async def _reader_doorbell(reader: Reader, timeout: float) -> _native.Doorbell | None:
    """A doorbell on the reader's segment once it is connected; None if `timeout` passes
    first (< 0: never)."""
    loop = asyncio.get_running_loop()
    deadline = None if timeout < 0 else loop.time() + timeout
    pause = _FIRST_LOOK
    while (bell := _native.reader_doorbell(reader)) is None:
        if deadline is not None and loop.time() >= deadline:
            return None
        await asyncio.sleep(pause if deadline is None else min(pause, deadline - loop.time()))
        pause = min(pause * 2, _LONGEST_LOOK)
    return bell
