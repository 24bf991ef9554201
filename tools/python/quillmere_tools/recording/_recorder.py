"""Recorder: channels into MCAP files, whole runs or the last seconds on demand."""

from __future__ import annotations

import collections
import concurrent.futures
import os
import queue
import threading
import time
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any

from quillmere_tools._closing import Closing
from quillmere_tools._segments import file_of
from quillmere_tools.recording._file import COMPRESSIONS, McapFile
from quillmere_tools.recording._source import Item, Source

_END = object()
_WAKE_EVERY = 0.05  # the file thread looks at limits and syncs at least this often,
_BATCH = 4096  # and after this many items


@dataclass
class ChannelStats:
    """What was recorded of one channel so far (in snapshot mode: kept in memory)."""

    entries: int = 0
    bytes: int = 0
    lost: int = 0


class Recorder(Closing):
    """Records channels `names` into the MCAP file `path` until `stop()` (or a limit).

    Each channel is followed by a thread of its own that sleeps on the channel's doorbell;
    channels that do not exist yet are waited for. Options:

    - `compression`: "zstd" (default), "lz4" or "none", per chunk of `chunk_size` bytes;
    - `duration` seconds or `max_bytes` of entries: stop by itself (see `wait`);
    - `split_size` bytes or `split_duration` seconds: go on in a new file once one is that
      large or old; files are then named `<stem>-0001<suffix>`, `<stem>-0002<suffix>`, ...;
    - `snapshot` seconds: write nothing as it comes, keep the last that many seconds in
      memory and write them to a new numbered file on each `snapshot()`;
    - `backlog_bytes` (default 1 GiB): entries read but not yet written into the file may
      hold at most about this much memory, shared equally by the channels; past it a
      channel's entries are counted as lost instead (a disk or compressor slower than the
      channels).

    A channel whose thread fails (a frame-type record that cannot be read) ends the
    recording as a limit does; `stop()` then raises its error.
    """

    def __init__(
        self, names: Iterable[str], path: str | os.PathLike[str], *,
        compression: str = "zstd", duration: float | None = None,
        max_bytes: int | None = None, split_size: int | None = None,
        split_duration: float | None = None, snapshot: float | None = None,
        chunk_size: int = 1 << 20, backlog_bytes: int = 1 << 30,
    ) -> None:
        self._names = list(dict.fromkeys(names))
        if not self._names:
            raise ValueError("no channel to record")
        for name in self._names:
            file_of(name)  # InvalidNameError (a ValueError) now, not in a thread later
        if compression not in COMPRESSIONS:
            raise ValueError(f"compression must be one of {', '.join(COMPRESSIONS)}, "
                             f"got {compression!r}")
        for option, value in (("duration", duration), ("max_bytes", max_bytes),
                              ("split_size", split_size), ("split_duration", split_duration),
                              ("snapshot", snapshot), ("chunk_size", chunk_size),
                              ("backlog_bytes", backlog_bytes)):
            if value is not None and not value > 0:
                raise ValueError(f"{option} must be above 0, got {value!r}")
        if snapshot is not None and (split_size or split_duration):
            raise ValueError("snapshot mode writes one file per snapshot: no split options")
        self._path = os.fspath(path)
        self._numbered = bool(split_size or split_duration or snapshot)
        self._compression, self._chunk_size = compression, chunk_size
        self._duration, self._max_bytes = duration, max_bytes
        self._split_size, self._split_duration = split_size, split_duration
        self._keep_ns = None if snapshot is None else int(snapshot * 1e9)
        self._kept: collections.deque[Item] = collections.deque()
        self.files: list[str] = []
        self._stats = {name: ChannelStats() for name in self._names}
        self._recorded_bytes = 0
        self._queue: queue.SimpleQueue[Any] = queue.SimpleQueue()
        self._stopping = threading.Event()  # the sources stop reading
        self.done = threading.Event()  # set once a limit was reached, or on stop()
        self._file: McapFile | None = None
        self.error: BaseException | None = None
        self._stopped = False
        self._started = time.monotonic()
        # Entries are stamped with the wall clock at the start plus the steady clock since.
        self._offset = time.time_ns() - time.monotonic_ns()
        if self._keep_ns is None:
            self._file = self._open_next()
        share = max(1, backlog_bytes // len(self._names))
        self._sources = [Source(name, self._offset, self._queue.put, self._stopping,
                                self._taken_of(name), share)
                         for name in self._names]
        self._writing = threading.Thread(target=self._write_all, name="quillmere record file",
                                         daemon=True)
        self._writing.start()
        for source in self._sources:
            source.start()

    @property
    def names(self) -> list[str]:
        return list(self._names)

    def stats(self) -> dict[str, ChannelStats]:
        """Per channel: entries, bytes and lost so far (a copy)."""
        return {name: ChannelStats(s.entries, s.bytes, s.lost) for name, s in self._stats.items()}

    def wait(self, timeout: float | None = None) -> bool:
        """Waits until a limit (`duration`, `max_bytes`) was reached; False on timeout."""
        return self.done.wait(timeout)

    def snapshot(self, *, wait: bool = True) -> str | None:
        """Writes the last `snapshot` seconds into a new file and returns its path (None with
        `wait=False`, which also may be called from a signal handler)."""
        if self._keep_ns is None:
            raise ValueError("this recorder was not made with snapshot=SECONDS")
        future: concurrent.futures.Future[str] = concurrent.futures.Future()
        self._queue.put((future, time.monotonic_ns()))
        while wait:
            try:
                return future.result(timeout=_WAKE_EVERY)
            except concurrent.futures.TimeoutError:
                if not self._writing.is_alive():
                    raise RuntimeError("the recorder has stopped: no snapshot") from None
        return None

    def stop(self) -> dict[str, ChannelStats]:
        """Stops reading (after what the writers wrote up to now), finishes the file and
        returns the stats. Raises what a channel's thread or the file failed with."""
        if self._stopped:
            return self.stats()
        self._stopped = True
        self._stopping.set()
        for source in self._sources:
            source.join()
        self._queue.put(_END)
        self._writing.join()
        self.done.set()
        failed = self.error or next((s.error for s in self._sources if s.error), None)
        if failed is not None:
            raise failed
        return self.stats()

    def close(self) -> None:
        """`stop()`, for the with-statement."""
        self.stop()

    def _write_all(self) -> None:
        try:
            self._write_until_end()
        except BaseException as error:
            self.error = error
            self._stopping.set()
            self.done.set()
        finally:
            if self._file is not None:
                self._file.finish()
                self._file = None

    def _write_until_end(self) -> None:
        get, nowait = self._queue.get, self._queue.get_nowait
        while True:
            try:
                item, handled = get(timeout=_WAKE_EVERY), 0
                while item is not _END:
                    if len(item) == 2:
                        item[0].set_result(self._write_snapshot(item[1]))
                    else:
                        self._take(item)
                    handled += 1
                    if handled == _BATCH:  # a busy queue: look at the limits in between
                        break
                    item = nowait()
                else:
                    return
            except queue.Empty:
                pass
            self._check_limits()

    def _take(self, item: Item) -> None:
        spec, _, _, payload, lost, _ = item
        stats = self._stats[spec.name]
        stats.lost += lost
        if payload is not None:
            stats.entries += 1
            stats.bytes += len(payload)
            self._recorded_bytes += len(payload)
        if self._file is not None:
            self._file.add(item)
        else:
            self._keep(item)

    def _taken_of(self, name: str) -> Callable[[], int]:
        """How many payload bytes of channel `name` the file thread has taken so far."""
        stats = self._stats[name]
        return lambda: stats.bytes

    def _check_limits(self) -> None:
        if self._file is not None:
            self._file.sync()
            age = time.monotonic() - self._file.opened
            if (self._split_size and self._file.size() >= self._split_size or
                    self._split_duration and age >= self._split_duration):
                self._file.finish()
                self._file = self._open_next()
        failed = any(source.error is not None for source in self._sources)
        if (failed or self._duration and time.monotonic() - self._started >= self._duration or
                self._max_bytes and self._recorded_bytes >= self._max_bytes):
            self._stopping.set()
            self.done.set()

    def _keep(self, item: Item) -> None:
        assert self._keep_ns is not None
        kept, oldest = self._kept, item[2] - self._keep_ns
        kept.append(item)
        while kept[0][2] <= oldest:
            kept.popleft()

    def _write_snapshot(self, asked_monotonic_ns: int) -> str:
        assert self._keep_ns is not None
        asked = asked_monotonic_ns + self._offset
        window = [item for item in self._kept if asked - self._keep_ns < item[2] <= asked]
        snapshot = self._open_next()
        seen: set[str] = set()
        for spec, entry_seq, time_ns, payload, lost, reason in window:
            # A gap before a channel's first entry in the window lies outside it.
            first = spec.name not in seen
            seen.add(spec.name)
            snapshot.add((spec, entry_seq, time_ns, payload, 0 if first else lost, reason))
        snapshot.finish()
        return snapshot.path

    def _open_next(self) -> McapFile:
        path = self._path
        if self._numbered:
            stem, suffix = os.path.splitext(self._path)
            path = f"{stem}-{len(self.files) + 1:04d}{suffix or '.mcap'}"
        self.files.append(path)
        return McapFile(path, self._compression, self._chunk_size)
