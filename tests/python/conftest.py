"""Fixtures: unique channel names, child interpreters, process cleanup.

Every channel a test touches is named `/qm-test-<pid>-<uuid8>` and unlinked at
teardown, also when the test fails, so no run leaves segments in /dev/shm.
Long-running children are always killed and reaped.
"""

from __future__ import annotations

import subprocess
from collections.abc import Callable, Iterator

import pytest

import quillmere
from qm_support import Child, new_channel_name, run_python


@pytest.fixture
def channel_name() -> Iterator[str]:
    """A fresh channel name, unlinked after the test whatever happened."""
    name = new_channel_name()
    try:
        yield name
    finally:
        quillmere.unlink(name)


@pytest.fixture
def make_channel_name() -> Iterator[Callable[[], str]]:
    """Factory for tests that need several channels; all are unlinked."""
    names: list[str] = []

    def make() -> str:
        names.append(new_channel_name())
        return names[-1]

    try:
        yield make
    finally:
        for name in names:
            quillmere.unlink(name)


@pytest.fixture(name="run_python")
def run_python_fixture() -> Callable[..., subprocess.CompletedProcess[str]]:
    """Run a snippet in a fresh interpreter (bounded by a timeout)."""
    return run_python


@pytest.fixture
def spawn() -> Iterator[Callable[..., Child]]:
    """Start long-running child interpreters (or programs: `argv`); all are reaped at teardown."""
    children: list[Child] = []

    def start(code: str, *args: str, argv: list[str] | None = None) -> Child:
        children.append(Child(code, *args, argv=argv))
        return children[-1]

    try:
        yield start
    finally:
        for child in children:
            child.close()
