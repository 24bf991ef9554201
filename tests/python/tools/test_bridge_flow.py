"""Entries across a bridge pair of real `quillmere bridge` processes on loopback: both element
types, geometry from the first sample, refusals, exit codes and clean stops."""

from __future__ import annotations

import json
import os
import queue
import signal
import subprocess
import sys
import uuid
from collections.abc import Callable
from pathlib import Path

import numpy
import pytest

import quillmere
from quillmere_tools.frames import FrameReader, FrameWriter, channel_frame_type
from bridge_support import (CLI, FLOW_TIMEOUT, BridgeProcess, bridge_pair, free_port, loopback,
                            number_of, numbered, publisher, pump, subscriber)

zenoh = pytest.importorskip("zenoh")
from quillmere_tools import bridge  # noqa: E402
from quillmere_tools.bridge._local import geometry, look  # noqa: E402


def geometry_of(name: str) -> tuple[str, int, int] | None:
    info = look(name)
    return None if info is None else geometry(info)


def new_key() -> str:
    return f"qm/test/{uuid.uuid4().hex[:12]}"


def test_bytes_entries_arrive_in_order_numbered_by_the_far_channel(
        make_channel_name: Callable[[], str]) -> None:
    near, far = make_channel_name(), make_channel_name()
    writer = quillmere.BytesWriter(near, entry_length=64, entry_count=16)
    for number in range(1, 101):  # history the publisher does not resend
        writer.write(numbered(number, 64))
    reader = quillmere.BytesReader(far)
    with bridge_pair(near, far, new_key(), "--reliable"):
        got = pump(lambda n: writer.write(numbered(100 + n, 64)), reader.read,
                   lambda got: len(got) >= 50)
    seqs = [seq for seq, _ in got]
    numbers = [number_of(payload) for _, payload in got]
    assert seqs == list(range(1, len(got) + 1))  # the far channel's own numbering
    assert numbers == list(range(numbers[0], numbers[0] + len(got)))  # reliable: no gaps
    assert numbers[0] > 100
    assert geometry_of(far) == ("u8", 64, 16)


def test_a_burst_travels_in_batches_and_arrives_entry_by_entry(
        make_channel_name: Callable[[], str]) -> None:
    near, far = make_channel_name(), make_channel_name()
    writer = quillmere.BytesWriter(near, entry_length=64, entry_count=4096)
    reader = quillmere.BytesReader(far)
    with bridge_pair(near, far, new_key(), "--reliable"):
        pump(lambda n: writer.write(numbered(n, 64)), reader.read, lambda got: len(got) >= 1)
        for number in range(10_001, 13_001):  # far more than one sample carries
            writer.write(numbered(number, 64))
        got = pump(lambda n: None, reader.read,
                   lambda got: bool(got) and number_of(got[-1][1]) == 13_000)
    burst = [number_of(payload) for _, payload in got if number_of(payload) > 10_000]
    assert burst == list(range(10_001, 13_001))


def test_a_single_slot_channel_is_carried_too(make_channel_name: Callable[[], str]) -> None:
    near, far = make_channel_name(), make_channel_name()
    writer = quillmere.BytesWriter(near, entry_length=8, entry_count=1)
    reader = quillmere.BytesReader(far)
    with bridge_pair(near, far, new_key()):
        got = pump(lambda n: writer.write(numbered(n, 8)), reader.read, lambda got: len(got) >= 5)
    numbers = [number_of(payload) for _, payload in got]
    assert numbers == sorted(numbers) and geometry_of(far) == ("u8", 8, 1)


def test_float64_entries_keep_their_element_type(make_channel_name: Callable[[], str]) -> None:
    near, far = make_channel_name(), make_channel_name()
    writer = quillmere.Float64Writer(near, entry_length=5, entry_count=8)
    reader = quillmere.Float64Reader(far)  # refuses a far channel of another element type
    with bridge_pair(near, far, new_key()):
        got = pump(lambda n: writer.write(numpy.arange(5.0) * n), reader.read,
                   lambda got: len(got) >= 10)
    first = got[0][1][1]
    for index, (_, values) in enumerate(got):
        numpy.testing.assert_array_equal(values, numpy.arange(5.0) * (first + index))
    assert geometry_of(far) == ("f64", 40, 8)


def test_typed_frames_arrive_with_their_frame_type(make_channel_name: Callable[[], str]) -> None:
    near, far, other = make_channel_name(), make_channel_name(), make_channel_name()
    pose = numpy.dtype([("t", "<f8"), ("xyz", ">f4", (3,))])
    writer = FrameWriter(near, dtype=pose, shape=(2,), entry_count=8)
    reader = FrameReader(far)  # deferred: the far channel and its record come with the first sample
    with bridge_pair(near, far, new_key()):
        frame = numpy.zeros(2, pose)

        def write(number: int) -> None:
            frame["t"] = number
            writer.write(frame)
        got = pump(write, reader.read, lambda got: len(got) >= 3)
    assert channel_frame_type(far) == channel_frame_type(near)
    assert reader.dtype == pose and reader.shape == (2,)
    times = [entry[1]["t"][0] for entry in got]
    assert times == list(range(int(times[0]), int(times[0]) + len(times)))

    # A far channel typed otherwise is refused, naming both types.
    length = writer.dtype.itemsize * 2
    existing = quillmere.BytesReader(other, entry_length=length, entry_count=8)  # owns the name
    FrameWriter(other, dtype=numpy.uint8, shape=(length,))  # records its type, lets go the role
    port, key = free_port(), new_key()
    with subscriber(key, other, port) as sub, publisher(near, key, port):
        pump(write, lambda: None, lambda _: sub.proc.poll() is not None)
        code, _, err = sub.finish()
    assert code == 1 and "holds frames of another type" in err and "uint8" in err
    del existing


@pytest.mark.parametrize(("far_type", "far_length", "far_count"),
                         [(quillmere.BytesReader, 16, 8), (quillmere.BytesReader, 32, 4),
                          (quillmere.Float64Reader, 4, 8)],
                         ids=["entry_length", "entry_count", "element type"])
def test_an_existing_far_channel_of_another_geometry_is_refused(
        make_channel_name: Callable[[], str], far_type: type, far_length: int,
        far_count: int) -> None:
    near, far = make_channel_name(), make_channel_name()
    key = new_key()
    writer = quillmere.BytesWriter(near, entry_length=32, entry_count=8)
    existing = far_type(far, entry_length=far_length, entry_count=far_count)
    port = free_port()
    with subscriber(key, far, port) as sub, publisher(near, key, port):
        pump(lambda n: writer.write(numbered(n, 32)), lambda: None,
             lambda _: sub.proc.poll() is not None)
        code, _, err = sub.finish()
    assert code == 1
    assert f"channel '{far}' holds" in err and "u8 entries of 32 bytes in 8 slots" in err
    assert "Traceback" not in err
    del existing


@pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM])
@pytest.mark.parametrize("keep", [False, True])
def test_a_stopped_bridge_leaves_only_the_names_it_was_asked_to_keep(
        make_channel_name: Callable[[], str], signum: int, keep: bool) -> None:
    near, far = make_channel_name(), make_channel_name()
    writer = quillmere.BytesWriter(near, entry_length=8, entry_count=4)
    reader = quillmere.BytesReader(far)
    with bridge_pair(near, far, new_key(), "--json",
                     subscriber_extra=("--keep",) if keep else ()) as (pub, sub):
        pump(lambda n: writer.write(numbered(n, 8)), reader.read, lambda got: len(got) >= 3)
        sub_code, sub_out, _ = sub.stop(signum)
        pub_code, pub_out, _ = pub.stop(signum)
    assert (sub_code, pub_code) == (0, 0)
    assert (look(far) is not None) == keep
    assert geometry_of(near) == ("u8", 8, 4)  # the publisher never removes
    assert json.loads(sub_out)["received"] >= 3 and json.loads(pub_out)["sent"] >= 3


def run_cli(*args: str, code_before: str = "") -> subprocess.CompletedProcess[str]:
    program = code_before + "import sys\nfrom quillmere_tools.cli import main\n" \
        "sys.exit(main(sys.argv[1:]))"
    return subprocess.run([sys.executable, "-c", program, *args], capture_output=True,
                          text=True, timeout=60, stdin=subprocess.DEVNULL)


def test_without_zenoh_the_command_says_how_to_install_it() -> None:
    done = run_cli("bridge", "publish", "/x", "--key", "k",
                   code_before="import sys\nsys.modules['zenoh'] = None\n")
    assert done.returncode == 1
    assert "pip install 'quillmere[bridge]'" in done.stderr and "Traceback" not in done.stderr


def test_the_package_and_its_command_line_load_without_importing_zenoh() -> None:
    done = subprocess.run(
        [sys.executable, "-c", "import sys, quillmere_tools, quillmere_tools.cli\n"
         "assert 'zenoh' not in sys.modules"], capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr


BAD_JSON5 = "{ listen: "


@pytest.mark.parametrize(("args", "code", "says"), [
    (["publish", "/x"], 2, "the following arguments are required: --key"),
    (["subscribe", "k"], 2, "the following arguments are required: --into"),
    (["subscribe", "k", "--into", "/x", "--queue", "many"], 2, "invalid int value: 'many'"),
    (["subscribe", "k", "--into", "/x", "--queue", "0"], 1, "queue must be at least 1, got 0"),
    (["publish", "/x", "--key", "k", "--connect", "foo"], 1,
     "bridge: connect endpoint 'foo' refused: Endpoints must be of the form <protocol>/<address>"),
    (["publish", "/x", "--key", "k", "--listen", "tcp/127.0.0.1:not-a-port"], 1,
     "bridge: cannot start a Zenoh session (listen tcp/127.0.0.1:not-a-port): invalid port"),
    (["publish", "/x", "--key", "a/**/**", "--listen", "tcp/127.0.0.1:0"], 1,
     "bridge: key 'a/**/**' is not a Zenoh key expression: "),
    (["publish", "/x", "--key", "k", "--config", os.devnull + "/missing.json5"], 1,
     f"bridge: cannot read the Zenoh configuration file '{os.devnull}/missing.json5': "
     "Not a directory"),
    (["subscribe", "k", "--into", "/x", "--config", "BAD_JSON5"], 1,
     "is not valid: line 1, column 11: "),
])
def test_refused_command_lines_say_why_in_one_line(args: list[str], code: int, says: str,
                                                   tmp_path: Path) -> None:
    bad = tmp_path / "bad.json5"
    bad.write_text(BAD_JSON5)
    done = run_cli("bridge", *[str(bad) if arg == "BAD_JSON5" else arg for arg in args])
    assert done.returncode == code, done.stderr
    assert says in done.stderr and "Traceback" not in done.stderr, done.stderr
    if code == 1:
        assert done.stderr.count("\n") == 1 and ".rs:" not in done.stderr, done.stderr


def test_status_lines_on_stderr_and_none_with_json(make_channel_name: Callable[[], str]) -> None:
    near, far = make_channel_name(), make_channel_name()
    writer = quillmere.BytesWriter(near, entry_length=64, entry_count=16)
    reader = quillmere.BytesReader(far)
    with bridge_pair(near, far, new_key(), subscriber_extra=("--json",)) as (pub, sub):
        pump(lambda n: writer.write(numbered(n, 64)), reader.read, lambda got: len(got) >= 3)
        (code, _, said), (sub_code, _, sub_said) = pub.stop(), sub.stop()
    assert code == sub_code == 0 and sub_said == ""
    lines = [line.removeprefix("quillmere bridge: ") for line in said.splitlines()]
    assert lines[0].startswith("connecting to tcp/127.0.0.1:")
    following = [line for line in lines if line.startswith("following channel")]
    assert following and following[0].startswith(
        f"following channel '{near}' (u8 entries of 64 bytes in 16 slots) from entry ")
    assert any(line.startswith("forwarding: entry ") for line in lines), lines


@pytest.mark.parametrize("start", ["channel made later", "from oldest"])
def test_a_publisher_starts_at_the_first_entry_of_a_channel_made_later_or_when_asked(
        make_channel_name: Callable[[], str], start: str) -> None:
    near, far = make_channel_name(), make_channel_name()
    key, port = new_key(), free_port()
    told: queue.Queue[str] = queue.Queue()
    writer = None
    if start == "from oldest":
        writer = quillmere.BytesWriter(near, entry_length=64, entry_count=64)
        for number in range(1, 31):
            writer.write(numbered(number, 64))
    reader = quillmere.BytesReader(far)
    with bridge.subscribe(key, far, listen=[loopback(port)], reliable=True), \
            bridge.publish(near, key, connect=[loopback(port)], reliable=True,
                           from_oldest=start == "from oldest", status=told.put):
        if writer is None:
            while not told.get(timeout=FLOW_TIMEOUT).startswith("waiting for channel"):
                pass
            writer = quillmere.BytesWriter(near, entry_length=64, entry_count=64)
            for number in range(1, 31):
                writer.write(numbered(number, 64))
        got = pump(lambda n: None, reader.read, lambda got: len(got) >= 30)
    assert [number_of(payload) for _, payload in got] == list(range(1, 31))


def sockets_of(pid: int) -> list[tuple[str, str, str]]:
    """(protocol, local address, remote address) of every inet socket the process holds."""
    inodes = set()
    for fd in os.listdir(f"/proc/{pid}/fd"):
        target = os.readlink(f"/proc/{pid}/fd/{fd}") if os.path.exists(
            f"/proc/{pid}/fd/{fd}") else ""
        if target.startswith("socket:["):
            inodes.add(target[8:-1])
    found = []
    for protocol in ("tcp", "tcp6", "udp", "udp6"):
        with open(f"/proc/{pid}/net/{protocol}") as table:
            for line in table.readlines()[1:]:
                fields = line.split()
                if fields[9] in inodes:
                    found.append((protocol, fields[1], fields[2]))
    return found


def test_bridge_processes_hold_loopback_tcp_sockets_only(
        make_channel_name: Callable[[], str]) -> None:
    near, far = make_channel_name(), make_channel_name()
    writer = quillmere.BytesWriter(near, entry_length=8, entry_count=4)
    reader = quillmere.BytesReader(far)
    with bridge_pair(near, far, new_key()) as (pub, sub):
        pump(lambda n: writer.write(numbered(n, 8)), reader.read, lambda got: len(got) >= 3)
        held = sockets_of(pub.pid) + sockets_of(sub.pid)
    loopback_v4 = "0100007F"  # 127.0.0.1 as /proc/net/tcp writes it
    assert held and all(protocol == "tcp" for protocol, _, _ in held), held
    assert all(local.startswith(loopback_v4) for _, local, _ in held), held
    assert all(remote.startswith((loopback_v4, "00000000")) for _, _, remote in held), held
