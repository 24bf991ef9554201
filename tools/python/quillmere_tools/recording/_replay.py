"""Playing a recording back into channels, with its timing scaled by a rate."""

from __future__ import annotations

import os
import struct
import threading
import time
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field

import quillmere
from mcap.exceptions import McapError
from mcap.reader import make_reader

from quillmere_tools import _native
from quillmere_tools._frame_type import decode_record
from quillmere_tools.recording._format import ChannelSpec
from quillmere_tools.recording._reading import Recording
from quillmere_tools.recording._source import look

# The file is read up to this many payload bytes per channel ahead of the entries being played.
_READ_AHEAD_BYTES = 32 << 20
# The first entry is due this long after playing starts, so that reading gets ahead of it.
_LEAD_NS = 20_000_000
# While waiting for the playing thread, `stopping` is looked at this often (seconds).
_POLL_SECONDS = 0.05


class GeometryMismatch(ValueError):
    """The channel to write into exists with another geometry or frame type."""


@dataclass
class ReplaySummary:
    entries: dict[str, int] = field(default_factory=dict)  # written, per target channel
    loops: int = 0  # complete passes over the recording
    # Only when playing in time, per target channel (a sample of a long replay): how late
    # each entry was written against its place in the scaled timeline of the recording, and
    # how much the time between two consecutive entries differed from the recorded one (ns).
    lateness_ns: dict[str, list[int]] = field(default_factory=dict)
    timing_error_ns: dict[str, list[int]] = field(default_factory=dict)

    def lateness(self, q: float) -> int:
        """The q-th percentile of the lateness, over every channel (ns)."""
        return _percentile([late for each in self.lateness_ns.values() for late in each], q)

    def timing_error(self, q: float) -> int:
        """The q-th percentile of the inter-entry timing error over every channel (ns)."""
        return _percentile([error for each in self.timing_error_ns.values() for error in each],
                           q)


def _percentile(values: list[int], q: float) -> int:
    if not values:
        return 0
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q / 100 * len(ordered)))]


class _Target:
    """A channel being written: made with the recorded geometry, or checked against it."""

    def __init__(self, spec: ChannelSpec, name: str, writes: _native.TimedWrites) -> None:
        self.name = name
        found = look(name)
        if found is not None:
            info, record = found
            have = ChannelSpec(name, info.dtype, info.entry_length, info.entry_count, record)
            if (have.dtype, have.entry_length, have.entry_count) != (
                    spec.dtype, spec.entry_length, spec.entry_count):
                raise GeometryMismatch(
                    f"channel {name!r} holds {have.geometry()}, but the recording of "
                    f"{spec.name!r} has {spec.geometry()}")
        self.created = _native.create_channel(name, spec.entry_length, spec.entry_count,
                                              spec.dtype)
        try:
            if spec.record is not None:
                self._claim_type(spec)
            self.writer = quillmere.BytesWriter(name)
            self.slot = writes.add(self.writer)
        except BaseException:
            self.close()
            raise

    def _claim_type(self, spec: ChannelSpec) -> None:
        assert spec.record is not None
        held = _native.store_frame_record(self.name, spec.record)
        if held and decode_record(held) != decode_record(spec.record):
            raise GeometryMismatch(
                f"channel {self.name!r} carries frames of {decode_record(held)}, but the "
                f"recording of {spec.name!r} has {decode_record(spec.record)}")

    def close(self, keep: bool = False) -> None:
        if hasattr(self, "writer"):
            del self.writer  # gives the writer role back before the name goes
        if self.created and not keep:
            quillmere.unlink(self.name)


def replay(
    path: str | os.PathLike[str], *, rate: float = 1.0, loop: bool = False,
    start: float | None = None, end: float | None = None,
    mapping: Mapping[str, str] | None = None, channels: Iterable[str] | None = None,
    keep: bool = False, stopping: threading.Event | None = None,
) -> ReplaySummary:
    """Writes the entries recorded in `path` into channels again, at their recorded pace
    scaled by `rate` (1.0: as recorded; 2.0: twice as fast; 0: as fast as possible).

    `start`/`end` select seconds from the recording's first entry; `channels` the recorded
    channels to play (all by default); `mapping` renames them (old name -> new name). A
    missing channel is made with the recorded geometry and frame type and removed at the end
    unless `keep`; an existing one must have the same (else `GeometryMismatch`, before
    anything is written). With `loop` it starts over until `stopping` is set.
    """
    if not rate >= 0 or rate == float("inf"):
        raise ValueError(f"rate must be 0 or a positive number, got {rate!r}")
    if start is not None and end is not None and end < start:
        raise ValueError(f"end {end} lies before start {start}")
    mapping = dict(mapping or {})
    wanted = None if channels is None else set(channels)
    stopping = stopping or threading.Event()
    summary = ReplaySummary()
    targets: dict[ChannelSpec, _Target] = {}
    writes = _native.TimedWrites(_READ_AHEAD_BYTES)
    try:
        with Recording(path) as recording:
            for spec in _recorded(recording, wanted):
                _target_of(targets, spec, mapping, writes)
            while not stopping.is_set():
                _pass(recording, wanted, mapping, targets, writes, rate, start, end, stopping)
                if not loop:
                    break
                summary.loops += 1
    finally:
        writes.close()  # gives the writers back before they go
        for target in targets.values():
            written, lateness, errors = writes.counts(target.slot)
            summary.entries[target.name] = summary.entries.get(target.name, 0) + written
            if rate:
                summary.lateness_ns.setdefault(target.name, []).extend(lateness)
                summary.timing_error_ns.setdefault(target.name, []).extend(errors)
            target.close(keep)
    if not loop:
        summary.loops = 1
    return summary


def _recorded(recording: Recording, wanted: set[str] | None) -> list[ChannelSpec]:
    """The channels of a finished file from its summary, so that every target is checked
    before anything is written; none for a file cut short (those are opened as they come)."""
    with open(recording.path, "rb") as file:
        try:
            summary = make_reader(file).get_summary()
        except (McapError, OSError, struct.error):  # no summary to be had: a file cut short
            return []
    if summary is None:
        return []
    specs = [ChannelSpec.of_channel(channel.topic, dict(channel.metadata),
                                    summary.schemas[channel.schema_id].data
                                    if channel.schema_id else None)
             for channel in summary.channels.values()]
    return [spec for spec in specs if wanted is None or spec.name in wanted]


def _target_of(targets: dict[ChannelSpec, _Target], spec: ChannelSpec,
               mapping: dict[str, str], writes: _native.TimedWrites) -> _Target:
    target = targets.get(spec)
    if target is None:
        target = targets[spec] = _Target(spec, mapping.get(spec.name, spec.name), writes)
    return target


def _pass(recording: Recording, wanted: set[str] | None, mapping: dict[str, str],
          targets: dict[ChannelSpec, _Target], writes: _native.TimedWrites, rate: float,
          start: float | None, end: float | None, stopping: threading.Event) -> None:
    """One pass over the recording: each entry handed to its channel's playing thread with
    the moment it is due (time.monotonic_ns(); 0 when playing as fast as possible), and the
    pass waited for."""
    low = None if start is None else int(start * 1e9)
    high = None if end is None else int(end * 1e9)
    first: int | None = None  # log time of the recording's first entry
    base: int | None = None  # log time of the first entry played
    began = 0  # when that one is due
    for count, (spec, _, time_ns, data) in enumerate(recording.raw()):
        if first is None:
            first = time_ns
        since_first = time_ns - first
        if low is not None and since_first < low:
            continue
        if high is not None and since_first > high:
            break
        if wanted is not None and spec.name not in wanted:
            continue
        target = targets.get(spec) or _target_of(targets, spec, mapping, writes)
        due = 0
        if rate:
            if base is None:
                base, began = time_ns, time.monotonic_ns() + _LEAD_NS
            due = began + int((time_ns - base) / rate)
        while not writes.put(target.slot, data, due, _POLL_SECONDS):
            if stopping.is_set():
                return
        if count & 255 == 0 and stopping.is_set():
            return
    # The next pass, or the end of the replay, comes once this one is written.
    while not writes.drain(_POLL_SECONDS):
        if stopping.is_set():
            return
