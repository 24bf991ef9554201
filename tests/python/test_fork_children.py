"""Objects inherited through fork: a child's copy of a reader, writer or handle performs no
ring operation (the parent still owns the role, the holds and the numbering), and its
finalisation gives nothing back.

Children come from `multiprocessing` with the fork start method (the common way to get
there) or from `os.fork` in a fresh interpreter whose child exits normally.
"""

from __future__ import annotations

import multiprocessing
import os

import pytest

from quillmere import BytesReader, BytesWriter

FORK = multiprocessing.get_context("fork")
ANSWER_TIMEOUT = 60.0


def in_fork_child(action) -> str:
    """Runs `action` in a fork child; returns "ok" or "<exception type>: <message>"."""
    receive, send = FORK.Pipe(duplex=False)

    def target() -> None:
        try:
            action()
            send.send("ok")
        except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
            send.send(f"{type(exc).__name__}: {exc}")

    process = FORK.Process(target=target)
    process.start()
    answer = receive.recv() if receive.poll(ANSWER_TIMEOUT) else "no answer"
    process.join(ANSWER_TIMEOUT)
    assert process.exitcode == 0
    return answer


def refused(type_path: str) -> str:
    return (
        f"RuntimeError: {type_path} was created in process {os.getpid()} and cannot be used "
        "in a fork child; create a new one in the child"
    )


READ_HANDLE = "quillmere::python::zerocopy::PyReadHandle"
WRITE_HANDLE = "quillmere::python::zerocopy::PyWriteHandle"
BYTES_WRITER = "quillmere::python::writer::PyBytesWriter"
BYTES_READER = "quillmere::python::reader::PyBytesReader"


@pytest.fixture
def held(channel_name):
    """A 1-slot byte channel whose only entry the parent holds: (writer, box with the handle)."""
    writer = BytesWriter(channel_name, entry_length=8, entry_count=1)
    writer.write(b"held----")
    reader = BytesReader(channel_name, enable_zero_copy=True)
    return writer, [reader.try_acquire()]


def assert_still_held(writer, handle) -> None:
    with pytest.raises(BlockingIOError, match="^all 1 ring slots are held by a reader$"):
        writer.write(b"over----")
    assert bytes(handle.payload) == b"held----"
    assert not handle.released


class TestHoldsOfTheParent:
    def test_release_in_a_child_is_refused(self, held):
        writer, box = held
        assert in_fork_child(box[0].release) == refused(READ_HANDLE)
        assert_still_held(writer, box[0])
        box[0].release()
        writer.write(b"next----")

    def test_finalisation_in_a_child_gives_nothing_back(self, held):
        writer, box = held
        # In the child, clearing the box drops the last reference to its copy of the handle.
        assert in_fork_child(box.clear) == "ok"
        assert_still_held(writer, box[0])

    def test_normal_exit_of_an_os_fork_child(self, channel_name, run_python):
        script = """
        writer = quillmere.BytesWriter(sys.argv[1], entry_length=8, entry_count=1)
        writer.write(b"held----")
        reader = quillmere.BytesReader(sys.argv[1], enable_zero_copy=True)
        handle = reader.try_acquire()
        pid = os.fork()
        if pid == 0:
            sys.exit(0)  # finalises the child's copies of every object above
        assert os.waitpid(pid, 0)[1] == 0
        try:
            writer.write(b"over----")
            print("written", bytes(handle.payload).decode())
        except BlockingIOError:
            print("held", bytes(handle.payload).decode())
        """
        assert run_python(script, channel_name).stdout.split() == ["held", "held----"]

    def test_a_finalised_child_copy_leaves_the_parents_name(self, channel_name, run_python):
        script = """
        writer = quillmere.BytesWriter(sys.argv[1], entry_length=8, entry_count=1)  # owns it
        pid = os.fork()
        if pid == 0:
            del writer  # the child's copy goes; the channel must stay findable by name
            sys.exit(0)
        assert os.waitpid(pid, 0)[1] == 0
        writer.write(b"late----")
        print(quillmere.BytesReader(sys.argv[1], delayed_connect=False).read()[1].decode())
        """
        assert run_python(script, channel_name).stdout.split() == ["late----"]


class TestWriterOfTheParent:
    def test_ring_operations_in_a_child_are_refused(self, channel_name):
        writer = BytesWriter(channel_name, entry_length=8, entry_count=4)
        reader = BytesReader(channel_name)
        writer.write(b"parent-1")
        handle = writer.try_acquire()
        assert in_fork_child(lambda: writer.write(b"child-2-")) == refused(BYTES_WRITER)
        assert in_fork_child(writer.try_acquire) == refused(BYTES_WRITER)
        assert in_fork_child(handle.commit) == refused(WRITE_HANDLE)
        assert in_fork_child(reader.read) == refused(BYTES_READER)
        assert writer.last_entry_seq == 1
        handle.payload[:] = b"parent-2"
        assert handle.commit() == 2
        assert [reader.read(), reader.read(), reader.read()] == [
            (1, b"parent-1"),
            (2, b"parent-2"),
            None,
        ]

    def test_a_child_makes_its_own_writer_once_the_parent_lets_go(self, channel_name):
        reader = BytesReader(channel_name, entry_length=8, entry_count=4)  # owns the name
        writer = BytesWriter(channel_name)
        writer.write(b"parent-1")
        del writer  # gives the writer role back

        def write_in_child() -> None:
            BytesWriter(channel_name).write(b"child-2-")

        assert in_fork_child(write_in_child) == "ok"
        assert [reader.read(), reader.read()] == [(1, b"parent-1"), (2, b"child-2-")]
