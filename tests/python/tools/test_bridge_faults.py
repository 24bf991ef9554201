"""A bridge pair through the faults it must ride out: either end going away and coming back,
the local writer crashing and restarting, the local channel made anew, a far side that
stops reading for a while."""

from __future__ import annotations

import json
import os
import signal
import uuid
from collections.abc import Callable

import pytest

import quillmere
from bridge_support import (bridge_pair, free_port, number_of, numbered, publisher, pump,
                            subscriber)
from cli_support import CLI_BOUND_BY_PERMISSIONS
from qm_support import Child, shm_path

pytest.importorskip("zenoh")

LENGTH = 64


def new_key() -> str:
    return f"qm/test/{uuid.uuid4().hex[:12]}"


def flowing(writer: quillmere.BytesWriter, reader: quillmere.BytesReader,
            count: int = 5) -> list[tuple[int, bytes]]:
    """Writes until `count` more entries came out of the far channel."""
    return pump(lambda n: writer.write(numbered(n, LENGTH)), reader.read,
                lambda got: len(got) >= count)


def test_subscriber_away_and_back(make_channel_name: Callable[[], str]) -> None:
    near, far = make_channel_name(), make_channel_name()
    key, port = new_key(), free_port()
    writer = quillmere.BytesWriter(near, entry_length=LENGTH, entry_count=16)
    with publisher(near, key, port):
        with subscriber(key, far, port) as sub:
            flowing(writer, quillmere.BytesReader(far))
            assert sub.stop()[0] == 0
        with subscriber(key, far, port):  # the publisher reconnects by itself
            flowing(writer, quillmere.BytesReader(far))


def test_publisher_crash_and_restart(make_channel_name: Callable[[], str]) -> None:
    near, far = make_channel_name(), make_channel_name()
    key, port = new_key(), free_port()
    writer = quillmere.BytesWriter(near, entry_length=LENGTH, entry_count=16)
    reader = quillmere.BytesReader(far)
    with subscriber(key, far, port):
        with publisher(near, key, port) as pub:
            before = flowing(writer, reader)
            pub.proc.send_signal(signal.SIGKILL)
        with publisher(near, key, port):
            after = flowing(writer, reader)
    seqs = [seq for seq, _ in before + after]
    assert seqs == sorted(seqs) and len(set(seqs)) == len(seqs)  # one far numbering throughout


WRITER_CHILD = """
writer = quillmere.BytesWriter(sys.argv[1])
for line in sys.stdin:
    writer.write(int(line).to_bytes(8, "little") * 8)
    print("ok", flush=True)
"""


def test_local_writer_crash_and_restart(make_channel_name: Callable[[], str],
                                        spawn: Callable[..., Child]) -> None:
    near, far = make_channel_name(), make_channel_name()
    keeper = quillmere.BytesReader(near, entry_length=LENGTH, entry_count=16)  # holds the name
    reader = quillmere.BytesReader(far)
    with bridge_pair(near, far, new_key()):
        crashing = spawn(WRITER_CHILD, near)

        def write_in_child(number: int) -> None:
            crashing.send(str(number))
            crashing.expect("ok")

        before = pump(write_in_child, reader.read, lambda got: len(got) >= 5)
        crashing.kill()  # SIGKILL: the writer role is left to a dead process
        restarted = quillmere.BytesWriter(near)
        after = pump(lambda n: restarted.write(numbered(10_000 + n, LENGTH)), reader.read,
                     lambda got: len(got) >= 5)
    assert number_of(before[-1][1]) < 10_000 < number_of(after[-1][1])
    del keeper


def test_local_channel_removed_and_created_again(make_channel_name: Callable[[], str]) -> None:
    near, far = make_channel_name(), make_channel_name()
    reader = quillmere.BytesReader(far)
    writer = quillmere.BytesWriter(near, entry_length=LENGTH, entry_count=16)
    with bridge_pair(near, far, new_key()):
        flowing(writer, reader)
        del writer  # its owner: the name goes with it
        writer = quillmere.BytesWriter(near, entry_length=LENGTH, entry_count=16)
        after = pump(lambda n: writer.write(numbered(10_000 + n, LENGTH)), reader.read,
                     lambda got: len(got) >= 5)
    assert number_of(after[-1][1]) > 10_000


def test_far_side_that_stops_reading_drops_entries_and_recovers(
        make_channel_name: Callable[[], str]) -> None:
    near, far = make_channel_name(), make_channel_name()
    writer = quillmere.BytesWriter(near, entry_length=4096, entry_count=64)
    reader = quillmere.BytesReader(far)
    with bridge_pair(near, far, new_key(), "--json", subscriber_extra=("--queue", "4")) as (
            _, sub):
        pump(lambda n: writer.write(numbered(n, 4096)), reader.read, lambda got: len(got) >= 5)
        sub.proc.send_signal(signal.SIGSTOP)
        for number in range(20_000):  # 80 MB: more than any socket or queue holds
            writer.write(numbered(number, 4096))  # never waits for the stopped process
        sub.proc.send_signal(signal.SIGCONT)
        pump(lambda n: writer.write(numbered(100_000 + n, 4096)), reader.read,
             lambda got: bool(got) and number_of(got[-1][1]) > 100_000)
        code, out, _ = sub.stop()
    assert code == 0 and json.loads(out)["missed"] > 0


def test_publisher_polls_a_channel_it_may_read_but_not_write(
        make_channel_name: Callable[[], str], spawn: Callable[..., Child]) -> None:
    near, far = make_channel_name(), make_channel_name()
    key, port = new_key(), free_port()
    writer = quillmere.BytesWriter(near, entry_length=LENGTH, entry_count=16)
    os.chmod(shm_path(near), 0o444)
    with subscriber(key, far, port):
        pub = spawn(CLI_BOUND_BY_PERMISSIONS, "bridge", "publish", near, "--key", key,
                    "--connect", f"tcp/127.0.0.1:{port}")
        flowing(writer, quillmere.BytesReader(far))
        if pub.proc.poll() == 99:
            pytest.skip("cannot drop the capabilities that let root write any file")
        pub.proc.send_signal(signal.SIGTERM)
        assert pub.wait() == 0
    assert pub.proc.stderr is not None
    said = pub.proc.stderr.read().decode()
    assert "(no write access for its doorbell: polling)" in said and "Traceback" not in said
