"""Many entries per call: `read_batch` fills the rows of an array, `write_batch` publishes them."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import numpy
import numpy.typing as npt

from quillmere_tools import _native
from quillmere_tools._wait import Reader
import quillmere

Writer = quillmere.BytesWriter | quillmere.Float64Writer


def read_batch(
    reader: Reader,
    out: npt.NDArray[Any],
    *,
    seqs: npt.NDArray[numpy.int64] | npt.NDArray[numpy.uint64] | None = None,
    from_entry_seq: int | None = None,
) -> int:
    """Fill the rows of `out` with the oldest entries newer than the reader's watermark.

    `out` is a C-contiguous writable 2-D array of `k` rows, one entry each (`uint8` for a
    byte channel, `float64` for a float64 channel). Returns how many rows were filled, in
    entry_seq order (0 when nothing is newer, or while a deferred reader's channel is
    missing). `seqs`, an int64 array of at least `k`, receives each filled row's entry_seq.
    The watermark moves exactly as that many `read()` calls would move it, and a reader the
    writer has lapped skips forward the same way (the gap shows in `seqs`).
    `from_entry_seq` stands in for the watermark of the first row, as for `read()`.
    """
    return _native.read_batch(reader, out, seqs=seqs, from_entry_seq=from_entry_seq)


def write_batch(writer: Writer, block: npt.NDArray[Any]) -> int:
    """Publish each row of the 2-D `block` as one entry, in order; ring the doorbell once.

    Rows are `uint8` for a `BytesWriter` and `float64` for a `Float64Writer`, one entry
    long each. Returns the writer's `last_entry_seq` afterwards (the last row's entry_seq;
    0 when a deferred writer's channel is still missing and the rows were dropped, as
    `write` drops). When the ring refuses a row (every slot held) the rows before it are
    published and the error is raised.
    """
    return _native.write_batch(writer, block)


def follow_batches(
    reader: Reader,
    batch: npt.NDArray[Any],
    seqs: npt.NDArray[numpy.int64] | None,
    timeout: float,
    spin: float,
) -> Iterator[tuple[int, npt.NDArray[numpy.int64]]]:
    """The iterator behind `follow(reader, batch=...)`: one native call per batch."""
    if seqs is None:
        seqs = numpy.zeros(len(batch), numpy.int64)
    return _native.BatchFollower(reader, batch, seqs, timeout, spin)
