"""Playing a recording back into channels, with its timing scaled by a rate."""

from __future__ import annotations

import os
import struct
import sys
import threading
import time
from collections.abc import Iterable, Iterator, Mapping
from dataclasses import dataclass, field

import quillmere
from mcap.exceptions import McapError
from mcap.reader import make_reader

from quillmere_tools import _native
from quillmere_tools._frame_type import decode_record
from quillmere_tools.recording._format import ChannelSpec
from quillmere_tools.recording._prefetch import Prefetch
from quillmere_tools.recording._reading import Recording
from quillmere_tools.recording._source import look

# Sleep until this close to an entry's time, then spin: a sleep can overshoot by the
# scheduler's slack, a spin cannot.
_SPIN_NS = 1_500_000
# The file is read this many payload bytes ahead of the entries being played.
_READ_AHEAD_BYTES = 64 << 20
# While playing in time, the interpreter hands its lock from thread to thread this often
# (seconds): the reading thread then holds up an entry that is due for no longer than this.
_SWITCH_INTERVAL = 100e-6


class GeometryMismatch(ValueError):
    """The channel to write into exists with another geometry or frame type."""


@dataclass
class ReplaySummary:
    entries: dict[str, int] = field(default_factory=dict)  # written, per target channel
    loops: int = 0  # complete passes over the recording
    # Per target channel, how late each entry was written against its place in the scaled
    # timeline of the recording (ns); only when playing in time.
    lateness_ns: dict[str, list[int]] = field(default_factory=dict)

    def lateness(self, q: float) -> int:
        """The q-th percentile of the lateness, over every channel (ns)."""
        return _percentile([late for each in self.lateness_ns.values() for late in each], q)

    def timing_error(self, q: float) -> int:
        """The q-th percentile of the inter-entry timing error: how much the time between
        two consecutive entries of a channel differs from the recorded (scaled) one (ns)."""
        return _percentile([abs(b - a) for each in self.lateness_ns.values()
                            for a, b in zip(each, each[1:])], q)


def _percentile(values: list[int], q: float) -> int:
    if not values:
        return 0
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(q / 100 * len(ordered)))]


class _Target:
    """A channel being written: made with the recorded geometry, or checked against it."""

    def __init__(self, spec: ChannelSpec, name: str) -> None:
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
        except BaseException:
            self.close()
            raise
        self.written = 0
        self.lateness: list[int] = []

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
    switch_interval = sys.getswitchinterval()
    if rate:
        sys.setswitchinterval(_SWITCH_INTERVAL)
    try:
        with Recording(path) as recording:
            for spec in _recorded(recording, wanted):
                _target_of(targets, spec, mapping)
            while not stopping.is_set():
                _pass(recording, wanted, mapping, targets, rate, start, end, stopping, summary)
                if not loop:
                    break
                summary.loops += 1
    finally:
        sys.setswitchinterval(switch_interval)
        for target in targets.values():
            summary.entries[target.name] = summary.entries.get(target.name, 0) + target.written
            summary.lateness_ns.setdefault(target.name, []).extend(target.lateness)
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
               mapping: dict[str, str]) -> _Target:
    target = targets.get(spec)
    if target is None:
        target = targets[spec] = _Target(spec, mapping.get(spec.name, spec.name))
    return target


def _pass(recording: Recording, wanted: set[str] | None, mapping: dict[str, str],
          targets: dict[ChannelSpec, _Target], rate: float, start: float | None,
          end: float | None, stopping: threading.Event, summary: ReplaySummary) -> None:
    """One pass over the recording."""
    low = None if start is None else int(start * 1e9)
    high = None if end is None else int(end * 1e9)
    entries = Prefetch(((spec, time_ns, data) for spec, _, time_ns, data in recording.raw()),
                       lambda entry: len(entry[2]), _READ_AHEAD_BYTES)
    try:
        _play(entries, wanted, mapping, targets, rate, low, high, stopping, summary)
    finally:
        entries.close()


def _play(entries: Iterator[tuple[ChannelSpec, int, bytes]], wanted: set[str] | None,
          mapping: dict[str, str], targets: dict[ChannelSpec, _Target], rate: float,
          low: int | None, high: int | None, stopping: threading.Event,
          summary: ReplaySummary) -> None:
    clock = time.perf_counter_ns
    first: int | None = None  # log time of the recording's first entry
    base: int | None = None  # log time of the first entry played, and when it was played
    began = 0
    for count, (spec, time_ns, data) in enumerate(entries):
        if first is None:
            first = time_ns
        since_first = time_ns - first
        if low is not None and since_first < low:
            continue
        if high is not None and since_first > high:
            break
        if wanted is not None and spec.name not in wanted:
            continue
        target = targets.get(spec) or _target_of(targets, spec, mapping)
        if rate:
            if base is None:
                base, began = time_ns, clock()
            due = began + int((time_ns - base) / rate)
            left = due - clock()
            if left > _SPIN_NS and stopping.wait((left - _SPIN_NS) / 1e9):
                break
            while clock() < due:
                pass
            target.writer.write(data)
            target.lateness.append(clock() - due)
        else:
            target.writer.write(data)
        target.written += 1
        if count & 255 == 0 and stopping.is_set():
            break
