"""Checking the arguments every wait takes, with messages that name the offending value."""

import math
import operator
from typing import SupportsIndex

# The default spin window in seconds. Spinning only happens while entries have been arriving
# closer together than this, so a slow channel never spins.
DEFAULT_SPIN = 50e-6


def seconds(name: str, value: float | None) -> float:
    """A timeout for the native side: seconds >= 0, or -1.0 for none."""
    if value is None:
        return -1.0
    if type(value) is float and value >= 0.0:  # the common case, cheaply (NaN fails it)
        return value
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds or None, got {type(value).__name__}")
    as_float = float(value)
    if math.isnan(as_float):
        raise ValueError(f"{name} must not be NaN")
    if as_float < 0:
        raise ValueError(f"{name} must be zero or positive, got {value!r}")
    return as_float


def spin_seconds(value: float) -> float:
    """A spin window in seconds, zero allowed."""
    if value is None:
        raise TypeError("spin must be a number of seconds, got None")
    return seconds("spin", value)


def entry_seq(value: SupportsIndex) -> int:
    """An entry_seq: an integer in 0 .. 2**64 - 1."""
    if isinstance(value, bool):
        raise TypeError("after_entry_seq must be an integer, got bool")
    try:
        as_int = operator.index(value)
    except TypeError:
        raise TypeError(f"after_entry_seq must be an integer, got {type(value).__name__}") from None
    if not 0 <= as_int < 2**64:
        raise ValueError(f"after_entry_seq must be in 0 .. 2**64 - 1, got {as_int}")
    return as_int
