"""Reading a recording ahead of its playback on a thread of its own, within a byte budget."""

from __future__ import annotations

import collections
import threading
from collections.abc import Callable, Iterator
from typing import TypeVar

T = TypeVar("T")


class Prefetch(Iterator[T]):
    """Iterates `source` from a reading thread that keeps items of up to `budget` bytes
    (as `weigh` counts them) ready, so that decoding a large chunk of the file never
    happens while an entry is due. `close()` stops the thread."""

    def __init__(self, source: Iterator[T], weigh: Callable[[T], int], budget: int) -> None:
        self._weigh = weigh
        self._items: collections.deque[T] = collections.deque()
        self._bytes = 0
        self._budget = budget
        self._done = False
        self._closed = False
        self._error: BaseException | None = None
        self._ready = threading.Condition()
        self._thread = threading.Thread(target=self._fill, args=(source,), daemon=True,
                                        name="quillmere replay reading")
        self._thread.start()

    def _fill(self, source: Iterator[T]) -> None:
        try:
            for item in source:
                with self._ready:
                    while self._bytes >= self._budget and not self._closed:
                        self._ready.wait()
                    if self._closed:
                        return
                    self._items.append(item)
                    self._bytes += self._weigh(item)
                    self._ready.notify_all()
        except BaseException as error:  # handed to the player
            self._error = error
        finally:
            with self._ready:
                self._done = True
                self._ready.notify_all()

    def __next__(self) -> T:
        with self._ready:
            while not self._items:
                if self._done:
                    if self._error is not None:
                        raise self._error
                    raise StopIteration
                self._ready.wait()
            item = self._items.popleft()
            self._bytes -= self._weigh(item)
            self._ready.notify_all()
            return item

    def close(self) -> None:
        with self._ready:
            self._closed = True
            self._ready.notify_all()
        self._thread.join()
