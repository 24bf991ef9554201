"""Exhausted resources: memory behind /dev/shm and file descriptors.

Each case runs in a child interpreter, so a SIGBUS (a ring touched past what
tmpfs could back) fails the test instead of killing pytest. Real exhaustion of
/dev/shm happens only inside a private 64 MiB tmpfs mounted over /dev/shm in a
mount namespace of the child's own; the machine's /dev/shm is never filled.
"""

from __future__ import annotations

import json
import os
import re
import shutil
import subprocess
import sys
import textwrap
from collections.abc import Iterator

import pytest

from qm_support import CHILD_TIMEOUT, child_code, new_channel_name, segment_exists



def snippet(*parts: str) -> str:
    return "".join(textwrap.dedent(part) for part in parts)


@pytest.fixture
def name_prefix() -> Iterator[str]:
    """A prefix for many channel names; every segment under it is removed afterwards."""
    prefix = new_channel_name()
    try:
        yield prefix
    finally:
        for entry in os.listdir("/dev/shm"):
            if ("/" + entry).startswith(prefix):
                os.unlink("/dev/shm/" + entry)


def private_shm_available() -> bool:
    if os.geteuid() != 0 or shutil.which("unshare") is None:
        return False
    probe = ["unshare", "-m", "sh", "-c", "mount -t tmpfs -o size=1M tmpfs /dev/shm"]
    return subprocess.run(probe, capture_output=True).returncode == 0


needs_private_shm = pytest.mark.skipif(
    not private_shm_available(), reason="needs root and unshare -m for a private /dev/shm"
)


def run_with_private_shm(code: str, size: str = "64M") -> dict:
    """Runs `code` with /dev/shm a fresh tmpfs of `size`; returns its last line as JSON."""
    mount = f'mount -t tmpfs -o size={size} tmpfs /dev/shm && exec "$0" -c "$1"'
    proc = subprocess.run(
        ["unshare", "-m", "sh", "-c", mount, sys.executable, child_code(code)],
        capture_output=True,
        text=True,
        timeout=CHILD_TIMEOUT,
    )
    assert proc.returncode == 0, f"child exited with {proc.returncode}\n{proc.stderr}"
    return json.loads(proc.stdout.splitlines()[-1])


def clear_out_of_space(outcome: str) -> bool:
    """An OSError that says why: the errno (ENOSPC, 28) or the bytes needed and free."""
    return outcome.startswith("OSError: ") and bool(re.search(r"\b28\b|bytes free", outcome))


SHM_HELPERS = """
def shm_free():
    st = os.statvfs("/dev/shm")
    return st.f_bavail * st.f_frsize

def shm_total():
    st = os.statvfs("/dev/shm")
    return st.f_blocks * st.f_frsize

def exists(name):
    return os.path.exists("/dev/shm" + name)

def refused(make):
    try:
        make()
    except OSError as e:
        return type(e).__name__ + ": " + str(e)
    return "accepted"
"""


@needs_private_shm
def test_ring_larger_than_the_whole_tmpfs_is_refused_at_construction() -> None:
    result = run_with_private_shm(
        SHM_HELPERS
        + """
name = "/qm-resources-huge"
outcomes = {}
for cls in (quillmere.BytesWriter, quillmere.BytesReader):
    outcomes[cls.__name__] = refused(lambda: cls(name, entry_length=1 << 20, entry_count=256))
    outcomes[cls.__name__ + " left a name"] = exists(name)
for cls in (quillmere.Float64Writer, quillmere.Float64Reader):
    outcomes[cls.__name__] = refused(lambda: cls(name, entry_length=1 << 17, entry_count=256))
    outcomes[cls.__name__ + " left a name"] = exists(name)
outcomes["space in use"] = shm_total() - shm_free()
print(json.dumps(outcomes))
"""
    )
    for cls in ("BytesWriter", "BytesReader", "Float64Writer", "Float64Reader"):
        assert clear_out_of_space(result[cls]), result
        assert result[cls + " left a name"] is False, result
    assert result["space in use"] == 0, result


@needs_private_shm
def test_ring_that_no_longer_fits_is_refused_and_fits_once_space_is_freed() -> None:
    result = run_with_private_shm(
        SHM_HELPERS
        + """
first = quillmere.BytesWriter("/qm-resources-a", entry_length=1 << 20, entry_count=40)
first.write(bytes(1 << 20))
outcome = {"second": refused(
    lambda: quillmere.BytesWriter("/qm-resources-b", entry_length=1 << 20, entry_count=40))}
outcome["second left a name"] = exists("/qm-resources-b")
reader = quillmere.BytesReader("/qm-resources-a")
outcome["first still reads"] = reader.read()[0]
del first, reader  # the creator removes its segment and gives the memory back
outcome["first left a name"] = exists("/qm-resources-a")
second = quillmere.BytesWriter("/qm-resources-b", entry_length=1 << 20, entry_count=40)
second.write(bytes(1 << 20))
outcome["second written"] = second.last_entry_seq
print(json.dumps(outcome))
"""
    )
    assert clear_out_of_space(result["second"]), result
    assert result == {
        "second": result["second"],
        "second left a name": False,
        "first still reads": 1,
        "first left a name": False,
        "second written": 1,
    }


def test_ring_beyond_the_address_space_is_refused_without_a_trace(
    channel_name, run_python
) -> None:
    """2^62 bytes: more than any tmpfs holds or a process can map, so this is safe to ask
    of the machine's own /dev/shm."""
    child = run_python(
        """
        outcome = {}
        for kind in ("BytesWriter", "BytesReader"):
            try:
                getattr(quillmere, kind)(sys.argv[1], entry_length=8, entry_count=1 << 58)
                outcome[kind] = "accepted"
            except OSError as e:
                outcome[kind] = str(e)
        print(json.dumps(outcome))
        """,
        channel_name,
    )
    for kind, message in json.loads(child.stdout).items():
        assert clear_out_of_space("OSError: " + message), (kind, message)
    assert not segment_exists(channel_name)


FD_LIMIT = """
import resource
prefix = sys.argv[1]
soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
resource.setrlimit(resource.RLIMIT_NOFILE, (len(os.listdir("/proc/self/fd")) + 6, hard))
writers, names = [], []
for i in range(64):
    names.append(f"{prefix}-{i}")
    try:
        writers.append(quillmere.BytesWriter(names[-1], entry_length=8, entry_count=2))
    except OSError as e:
        failure = str(e)
        break
"""


def test_too_many_open_channels_fail_cleanly_and_recover(name_prefix, run_python) -> None:
    child = run_python(
        snippet(
            FD_LIMIT,
            """
            outcome = {"opened": len(writers), "failure": failure,
                       "failed name exists": os.path.exists("/dev/shm" + names[-1])}
            try:  # the channel exists: running out of descriptors is an error, not absence
                quillmere.BytesReader(names[0])
            except OSError as e:
                outcome["deferred while out of descriptors"] = str(e)
            writers.pop()  # frees one descriptor
            deferred = quillmere.BytesReader(names[0])
            writers[0].write(b"x" * 8)
            outcome["deferred read afterwards"] = list(deferred.read())
            print(json.dumps(outcome, default=lambda b: b.decode()))
            """,
        ),
        name_prefix,
    )
    outcome = json.loads(child.stdout)
    assert outcome["opened"] >= 1, outcome
    assert outcome["failure"].startswith("failed to create shared memory: "), outcome
    assert "24" in outcome["failure"], outcome  # EMFILE, named
    assert outcome["failed name exists"] is False, outcome
    assert "os error 24" in outcome["deferred while out of descriptors"], outcome
    assert outcome["deferred read afterwards"] == [1, "xxxxxxxx"], outcome


def test_attach_out_of_descriptors_names_the_real_cause(name_prefix, run_python) -> None:
    """An existing channel that cannot be opened must not be reported as missing."""
    child = run_python(
        snippet(
            FD_LIMIT,
            """
            try:
                quillmere.BytesReader(names[0], delayed_connect=False)
                message = "attached"
            except OSError as e:
                message = str(e)
            exists = os.path.exists("/dev/shm" + names[0])
            print(json.dumps({"message": message, "exists": exists}))
            """,
        ),
        name_prefix,
    )
    outcome = json.loads(child.stdout)
    assert outcome["exists"] is True
    assert "does not exist" not in outcome["message"], outcome
    assert "24" in outcome["message"], outcome  # EMFILE, named
