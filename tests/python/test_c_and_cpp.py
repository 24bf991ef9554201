"""C and C++ programs on the same channels as Python: entries, waking, roles and takeovers.

The programs (tests/helpers/qm_peer.c and the two examples) are built with the C++ tests into
one directory; QUILLMERE_HELPERS names it (the test scripts set it, and then a missing program
fails the run). Without it the plain build's directory is used when present.
"""

from __future__ import annotations

import os
import signal
import subprocess
import time
from collections.abc import Callable
from pathlib import Path

import numpy
import pytest

import quillmere
import quillmere_tools
from qm_support import Child
from quillmere_tools.frames import FrameReader

ENTRIES = 6
_DEFAULT = Path(__file__).resolve().parents[2] / "build" / "plain" / "helpers"


def _helpers() -> Path:
    configured = os.environ.get("QUILLMERE_HELPERS")
    if configured:
        return Path(configured)
    if not _DEFAULT.is_dir():
        pytest.skip("C helpers not built (set QUILLMERE_HELPERS to their directory)")
    return _DEFAULT


@pytest.fixture
def program(spawn: Callable[..., Child]) -> Callable[..., Child]:
    """Starts a helper program by name; `spawn` kills and reaps them all at teardown."""

    def start(name: str, *args: object) -> Child:
        path = _helpers() / name
        assert path.is_file(), f"{path} was not built"
        return spawn("", argv=[str(path), *map(str, args)])

    return start


def finish(child: Child) -> None:
    """Closes the program's stdin (it then lets its channel go) and checks it succeeded."""
    assert child.proc.stdin is not None
    child.proc.stdin.close()
    if child.wait() != 0:
        child.fail(f"exited with {child.proc.returncode}")


def peer_entry(kind: str, length: int, seq: int) -> bytes | numpy.ndarray:
    """Entry `seq` as qm_peer writes and checks it."""
    if kind == "bytes":
        return bytes((seq * 7 + i) % 256 for i in range(length))
    return numpy.arange(length, dtype=numpy.float64) + seq * 1000


def test_cpp_frames_reach_a_frame_reader_and_a_bytes_reader(program, channel_name) -> None:
    producer = program("frame_producer", channel_name, ENTRIES)
    producer.expect(f"wrote {ENTRIES} frames to {channel_name}")
    frames = FrameReader(channel_name)  # no dtype or shape: the record gives them
    raw = quillmere.BytesReader(channel_name)
    rows = numpy.arange(480, dtype=numpy.uint8)[:, None, None]
    for seq in range(1, ENTRIES + 1):
        got = frames.read()
        assert got is not None
        assert got[0] == seq and got[1].dtype == numpy.uint8 and got[1].shape == (480, 640, 3)
        numpy.testing.assert_array_equal(got[1], numpy.broadcast_to(rows + (seq - 1), got[1].shape))
        entry = raw.read()
        assert entry is not None and entry[0] == seq and entry[1] == got[1].tobytes()
    assert frames.read() is None and raw.read() is None
    del frames, raw
    finish(producer)


@pytest.mark.parametrize("kind", ["bytes", "float64"])
@pytest.mark.parametrize("mode", ["copying", "zero-copy"])
def test_python_writer_to_c_reader(program, channel_name, kind: str, mode: str) -> None:
    reader = program("qm_peer", "read", channel_name, kind, ENTRIES, mode)  # deferred
    writer_class = quillmere.BytesWriter if kind == "bytes" else quillmere.Float64Writer
    writer = writer_class(channel_name, entry_length=64, entry_count=ENTRIES * 2)
    for seq in range(1, ENTRIES + 1):
        writer.write(peer_entry(kind, 64, seq))
    assert [reader.readline() for _ in range(ENTRIES)] == [f"{s} ok" for s in range(1, ENTRIES + 1)]
    finish(reader)
    del writer


def test_c_reader_asleep_on_the_doorbell_is_woken_by_python(program, channel_name) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=64, entry_count=8)
    reader = program("blocking_reader", channel_name, 1)
    deadline = time.monotonic() + 60  # bounds a broken build only
    while quillmere_tools.trailer_state(channel_name).waiters == 0:
        assert time.monotonic() < deadline, "the C reader never went to sleep on the doorbell"
        time.sleep(0.001)
    writer.write(bytes(range(64)))
    reader.expect(f"entry 1: 64 bytes, sum {sum(range(64))}")
    finish(reader)


def test_python_follow_is_woken_by_a_c_writer(program, channel_name) -> None:
    reader = quillmere.BytesReader(channel_name)  # deferred: the C writer creates the channel
    writer = program("qm_peer", "write", channel_name, "bytes", 64, ENTRIES * 2, ENTRIES)
    got = []
    for seq, payload in quillmere_tools.follow(reader, timeout=60):
        assert payload == peer_entry("bytes", 64, seq)
        got.append(seq)
        if len(got) == ENTRIES:
            break
    assert got == list(range(1, ENTRIES + 1))
    writer.expect("done")
    del reader
    finish(writer)


def test_one_role_conflict_with_one_message_in_both_languages(program, channel_name) -> None:
    holder = program("qm_peer", "hold-writer", channel_name, "bytes", 64, 8)
    holder.expect("ready")
    with pytest.raises(quillmere.ChannelRoleConflict) as refused:
        quillmere.BytesWriter(channel_name)
    expected = f"the writer role on channel '{channel_name}' is held by process"
    assert str(refused.value) == f"{expected} {holder.pid}"
    finish(holder)

    writer = quillmere.BytesWriter(channel_name, entry_length=64, entry_count=8)
    attempt = program("qm_peer", "open-writer", channel_name, "bytes")
    assert attempt.readline() == f"ROLE_CONFLICT {expected} {os.getpid()}"
    del writer


def test_a_killed_c_writer_is_taken_over_by_python(program, channel_name) -> None:
    holder = program("qm_peer", "hold-writer", channel_name, "bytes", 64, 8)
    holder.expect("ready")
    os.kill(holder.pid, signal.SIGKILL)
    holder.wait()
    writer = quillmere.BytesWriter(channel_name, entry_length=64, entry_count=8)
    writer.write(bytes(64))
    assert writer.last_entry_seq == 1


def test_a_killed_python_writer_is_taken_over_by_c(program, spawn, channel_name) -> None:
    holder = spawn(
        "w = quillmere.BytesWriter(sys.argv[1], entry_length=64, entry_count=8)\n"
        "print('ready', flush=True)\nsys.stdin.readline()\n",
        channel_name,
    )
    holder.expect("ready")
    os.kill(holder.pid, signal.SIGKILL)
    holder.wait()
    attempt = program("qm_peer", "open-writer", channel_name, "bytes")
    assert attempt.readline() == "OK "


def test_the_package_locates_its_c_library() -> None:
    cmake_dir = Path(quillmere_tools.get_cmake_dir())
    assert (cmake_dir / "quillmereConfig.cmake").is_file()
    assert (Path(quillmere_tools.get_include()) / "quillmere" / "quillmere.hpp").is_file()
    assert (Path(quillmere_tools.get_library_dir()) / "libquillmere.so.1").is_file()


def test_the_documented_first_program_builds_and_runs(tmp_path, channel_name) -> None:
    page = (Path(__file__).resolve().parents[2] / "docs" / "c-and-cpp.md").read_text()
    source = page.split("## A first program", 1)[1].split("```cpp\n", 1)[1].split("```", 1)[0]
    (tmp_path / "first.cpp").write_text(source.replace("/docs-example", channel_name))
    libdir = quillmere_tools.get_library_dir()
    subprocess.run(
        ["g++", "-std=c++20", "-Wall", "-Wextra", "-Werror", "-o", str(tmp_path / "first"),
         str(tmp_path / "first.cpp"), "-I", quillmere_tools.get_include(), "-L", libdir,
         "-l:libquillmere.so.1", f"-Wl,-rpath,{libdir}"],
        check=True,
        # The compiler is not ours to leak-check (the sanitizer pass preloads ASan).
        env={key: value for key, value in os.environ.items() if key != "LD_PRELOAD"},
    )
    ran = subprocess.run([str(tmp_path / "first")], capture_output=True, text=True, timeout=60)
    assert (ran.returncode, ran.stdout) == (0, "entry 1\n"), ran.stderr
    assert not os.path.exists("/dev/shm" + channel_name)
