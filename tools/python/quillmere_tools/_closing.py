"""The context-manager half of every object here that holds something until `close()`."""

from __future__ import annotations

from types import TracebackType
from typing import Self


class Closing:
    """`with obj:` closes `obj` on the way out, whatever happened inside."""

    __slots__ = ()

    def close(self) -> None:
        raise NotImplementedError

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        exc_type: type[BaseException] | None,
        exc: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()
