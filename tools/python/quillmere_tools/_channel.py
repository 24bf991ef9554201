"""Facts about a channel looked at by name, from outside any reader or writer."""

from typing import Literal, NamedTuple, cast

from quillmere_tools import _native

TrailerKind = Literal["valid", "absent", "other-version", "foreign"]


class TrailerState(NamedTuple):
    """What follows a channel's ring in its segment."""

    state: TrailerKind
    version: int
    waiters: int


def trailer_state(name: str) -> TrailerState:
    """Return the trailer state of channel `name`.

    Raises `FileNotFoundError` when no initialised channel of that name exists.
    """
    state, version, waiters = _native.trailer_state(name)
    return TrailerState(cast(TrailerKind, state), version, waiters)
