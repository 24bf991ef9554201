"""ReadHandle and WriteHandle: exports, finishing, context managers, finalisation.

Channels come from the `channel_name` fixture (unique, unlinked afterwards).
"""

from __future__ import annotations

import ctypes
import gc
import sys
import threading

import numpy
import pytest

import quillmere
from quillmere import (
    BytesReader,
    BytesWriter,
    Float64Reader,
    Float64Writer,
    ReadHandle,
    WriteHandle,
)

READ_PATH = "quillmere::python::zerocopy::PyReadHandle"
WRITE_PATH = "quillmere::python::zerocopy::PyWriteHandle"


def outstanding(operation: str, count: int) -> str:
    suffix = " is" if count == 1 else "s are"
    return (
        f"cannot {operation} this handle: {count} buffer export{suffix} still outstanding. "
        "Every memoryview or numpy array derived from `payload` must be dropped first "
        "(`del arr`), since the ring slot is recycled as soon as the handle is finished. "
        "Copy the data out (`bytes(...)`, `numpy.array(...)`) if it needs to outlive the handle."
    )


def fill_bytes(entry_length: int, seed: int) -> bytes:
    return bytes((seed + i) % 256 for i in range(entry_length))


@pytest.fixture
def byte_channel(channel_name):
    """A 16-byte, 4-slot byte channel with entries 1..3 and a zero-copy reader."""
    writer = BytesWriter(channel_name, entry_length=16, entry_count=4)
    for seq in (1, 2, 3):
        writer.write(fill_bytes(16, seq))
    reader = BytesReader(channel_name, enable_zero_copy=True)
    return writer, reader


@pytest.fixture
def float_channel(channel_name):
    """A 4-element, 4-slot float64 channel with entry 1 and a zero-copy reader."""
    writer = Float64Writer(channel_name, entry_length=4, entry_count=4)
    writer.write(numpy.arange(4, dtype=numpy.float64))
    reader = Float64Reader(channel_name, enable_zero_copy=True)
    return writer, reader


def run_in_thread(fn):
    """Run fn on another thread; return what it raised (BaseException included) or None."""
    caught = []

    def target():
        try:
            fn()
        except BaseException as exc:  # noqa: BLE001 - PanicException is a BaseException
            caught.append(exc)

    thread = threading.Thread(target=target)
    # Earlier garbage (e.g. readers held by a caught exception's traceback) is collected here,
    # not on the new thread, which would report those objects as dropped on another thread.
    gc.collect()
    thread.start()
    thread.join(timeout=60)
    assert not thread.is_alive()
    return caught[0] if caught else None


def panic_type(handle) -> type:
    """PanicException is not a module attribute: fetch it from a wrong-thread call."""
    return type(run_in_thread(lambda: handle.exports))


# ---------------------------------------------------------------- the classes


class TestClasses:
    @pytest.mark.parametrize("cls", [ReadHandle, WriteHandle])
    def test_not_instantiable_final_and_slotless(self, cls):
        assert cls.__module__ == "quillmere"
        with pytest.raises(TypeError):
            cls()
        with pytest.raises(TypeError):
            type("Sub", (cls,), {})
        assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__
        assert "__weakref__" not in dir(cls)

    def test_docstrings(self):
        assert ReadHandle.__doc__.startswith(
            "A borrowed, in-place view of one committed entry (zero-copy read path).\n\n"
        )
        assert ReadHandle.__doc__.endswith("del arr          # required: `arr` aliases the ring slot\n```")
        assert WriteHandle.__doc__.startswith(
            "An exclusive, not-yet-published view of one ring slot (zero-copy write path).\n\n"
        )
        assert WriteHandle.__doc__.endswith(
            "As on the read side, `commit()` raises `BufferError` while any view into\n"
            "`payload` is still alive."
        )
        assert ReadHandle.entry_seq.__doc__ == "Sequence number of the held entry."
        assert ReadHandle.released.__doc__ == "True once the slot has been handed back to the ring."
        assert WriteHandle.committed.__doc__ == "True once the entry has been published."
        for cls in (ReadHandle, WriteHandle):
            assert cls.exports.__doc__ == (
                "Number of `memoryview`/`numpy` views currently borrowing the payload."
            )
            assert cls.__enter__.__text_signature__ == "($self)"
            assert cls.__exit__.__text_signature__ == (
                "($self, exc_type=None, exc_value=None, traceback=None)"
            )
        assert ReadHandle.release.__text_signature__ == "($self)"
        assert ReadHandle.release.__doc__ == (
            "Return the slot to the ring. Idempotent.\n\nRaises `BufferError` if any view into "
            "`payload` is still alive; the\nhandle stays valid and can be released once they are gone."
        )
        assert WriteHandle.commit.__doc__ == (
            "Publish the entry and return its sequence number.\n\nRaises `BufferError` if any view "
            "into `payload` is still alive — writing\nthrough one after the entry is visible would "
            "corrupt a published entry."
        )
        assert ReadHandle.payload.__doc__.startswith(
            "The entry payload as a read-only `memoryview` over shared memory.\n\n"
        )
        assert WriteHandle.payload.__doc__.startswith(
            "The entry payload as a writable `memoryview` over shared memory.\n\n"
        )

    def test_handles_are_the_module_classes(self, byte_channel):
        writer, reader = byte_channel
        read = reader.try_acquire()
        write = writer.try_acquire()
        assert type(read) is quillmere.ReadHandle
        assert type(write) is quillmere.WriteHandle
        with pytest.raises(AttributeError):
            read.anything = 1
        read.release()


# ---------------------------------------------------------------- export counting


class TestExportCounting:
    def test_one_view_blocks_release_until_dropped(self, byte_channel):
        _, reader = byte_channel
        handle = reader.try_acquire()
        assert handle.exports == 0
        view = handle.payload
        assert handle.exports == 1
        with pytest.raises(BufferError) as info:
            handle.release()
        assert str(info.value) == outstanding("release", 1)
        assert not handle.released
        del view
        assert handle.exports == 0
        assert handle.release() is None
        assert handle.released

    def test_explicit_view_release_counts_down(self, byte_channel):
        _, reader = byte_channel
        handle = reader.try_acquire()
        view = handle.payload
        view.release()
        assert handle.exports == 0
        handle.release()

    def test_two_views_give_the_plural_message(self, byte_channel):
        writer, reader = byte_channel
        handle = reader.try_acquire()
        first, second = handle.payload, handle.payload
        assert first is not second
        assert handle.exports == 2
        with pytest.raises(BufferError) as info:
            handle.release()
        assert str(info.value) == outstanding("release", 2)
        del first, second
        handle.release()

        write = writer.try_acquire()
        views = [write.payload, write.payload, write.payload]
        with pytest.raises(BufferError) as info:
            write.commit()
        assert str(info.value) == outstanding("commit", 3)
        assert not write.committed
        del views
        assert write.commit() == 4

    def test_numpy_array_keeps_the_export_alive(self, float_channel):
        _, reader = float_channel
        handle = reader.try_acquire()
        view = handle.payload
        array = numpy.asarray(view)
        del view
        gc.collect()
        assert handle.exports == 1
        with pytest.raises(BufferError):
            handle.release()
        assert array.tolist() == [0.0, 1.0, 2.0, 3.0]
        del array
        assert handle.exports == 0
        handle.release()

    def test_memoryview_and_asarray_of_the_handle_itself_count(self, float_channel):
        _, reader = float_channel
        handle = reader.try_acquire()
        view = memoryview(handle)
        assert handle.exports == 1
        array = numpy.asarray(handle)
        assert handle.exports == 2
        assert array.dtype == numpy.float64 and array.shape == (4,)
        assert not array.flags.writeable
        with pytest.raises(BufferError):
            handle.release()
        del view, array
        assert handle.exports == 0
        handle.release()

    def test_views_over_a_view_do_not_add_exports(self, byte_channel):
        _, reader = byte_channel
        handle = reader.try_acquire()
        view = handle.payload
        sliced = view[4:8]
        cast = view.cast("B", (4, 4))
        assert handle.exports == 1
        del view
        assert handle.exports == 1  # the slices still hold the original export
        del sliced, cast
        assert handle.exports == 0
        handle.release()

    def test_consumer_that_refuses_the_export_gives_it_back(self, byte_channel):
        _, reader = byte_channel
        handle = reader.try_acquire()
        with pytest.raises(TypeError):
            ctypes.c_char.from_buffer(handle)  # asks for a plain view, then wants it writable
        assert handle.exports == 0
        handle.release()


# ---------------------------------------------------------------- buffer layout


class PyBuffer(ctypes.Structure):
    _fields_ = [
        ("buf", ctypes.c_void_p),
        ("obj", ctypes.c_void_p),
        ("len", ctypes.c_ssize_t),
        ("itemsize", ctypes.c_ssize_t),
        ("readonly", ctypes.c_int),
        ("ndim", ctypes.c_int),
        ("format", ctypes.c_char_p),
        ("shape", ctypes.POINTER(ctypes.c_ssize_t)),
        ("strides", ctypes.POINTER(ctypes.c_ssize_t)),
        ("suboffsets", ctypes.c_void_p),
        ("internal", ctypes.c_void_p),
    ]


PyBUF_WRITABLE = 0x0001
PyBUF_FORMAT = 0x0004
PyBUF_ND = 0x0008
PyBUF_STRIDES = 0x0010 | PyBUF_ND

get_buffer = ctypes.pythonapi.PyObject_GetBuffer
get_buffer.argtypes = [ctypes.py_object, ctypes.POINTER(PyBuffer), ctypes.c_int]
get_buffer.restype = ctypes.c_int
release_buffer = ctypes.pythonapi.PyBuffer_Release
release_buffer.argtypes = [ctypes.POINTER(PyBuffer)]
release_buffer.restype = None


class TestBufferLayout:
    def test_float64_read_payload(self, channel_name):
        writer = Float64Writer(channel_name, entry_length=4, entry_count=2)
        writer.write(numpy.array([0.5, 1.5, 2.5, 3.5]))
        handle = Float64Reader(channel_name, enable_zero_copy=True).try_acquire()
        view = handle.payload
        assert (view.format, view.itemsize, view.ndim) == ("d", 8, 1)
        assert (view.shape, view.strides, view.nbytes) == ((4,), (8,), 32)
        assert view.readonly and view.c_contiguous
        assert view.tolist() == [0.5, 1.5, 2.5, 3.5]
        with pytest.raises(TypeError):
            view[0] = 9.0
        array = numpy.asarray(view)
        with pytest.raises(ValueError):
            array[0] = 9.0
        del view, array
        handle.release()

    def test_byte_read_payload(self, byte_channel):
        _, reader = byte_channel
        handle = reader.try_acquire()
        view = handle.payload
        assert (view.format, view.itemsize, view.ndim) == ("B", 1, 1)
        assert (view.shape, view.strides, view.nbytes) == ((16,), (1,), 16)
        assert view.readonly
        assert bytes(view) == fill_bytes(16, 1)
        with pytest.raises(TypeError):
            view[0] = 1
        del view
        handle.release()

    def test_write_payload_is_writable_and_lands_in_the_slot(self, channel_name):
        writer = Float64Writer(channel_name, entry_length=4, entry_count=2)
        reader = Float64Reader(channel_name)
        handle = writer.try_acquire()
        view = handle.payload
        assert (view.format, view.itemsize, view.shape, view.strides) == ("d", 8, (4,), (8,))
        assert not view.readonly
        numpy.asarray(view)[:] = [1.0, 2.0, 3.0, 4.0]
        view[3] = 40.0
        del view
        seq = handle.commit()
        entry_seq, payload = reader.read()
        assert entry_seq == seq == 1
        assert payload.tolist() == [1.0, 2.0, 3.0, 40.0]

    @pytest.mark.parametrize(
        ("flags", "has_format", "has_shape", "has_strides"),
        [
            (0, False, False, False),
            (PyBUF_FORMAT, True, False, False),
            (PyBUF_ND, False, True, False),
            (PyBUF_ND | PyBUF_FORMAT, True, True, False),
            (PyBUF_STRIDES | PyBUF_FORMAT, True, True, True),
        ],
    )
    def test_request_flags_decide_what_is_filled(
        self, float_channel, flags, has_format, has_shape, has_strides
    ):
        _, reader = float_channel
        handle = reader.try_acquire()
        view = PyBuffer()
        assert get_buffer(handle, ctypes.byref(view), flags) == 0
        try:
            assert handle.exports == 1
            assert (view.len, view.itemsize, view.ndim, view.readonly) == (32, 8, 1, 1)
            assert view.format == (b"d" if has_format else None)
            assert bool(view.shape) == has_shape
            assert bool(view.strides) == has_strides
            if has_shape:
                assert view.shape[0] == 4
            if has_strides:
                assert view.strides[0] == 8
            assert not view.suboffsets
        finally:
            release_buffer(ctypes.byref(view))
        assert handle.exports == 0
        handle.release()

    def test_writable_request_on_a_read_handle_is_refused(self, float_channel):
        _, reader = float_channel
        handle = reader.try_acquire()
        view = PyBuffer()
        with pytest.raises(BufferError, match="^a read handle exports a read-only buffer$"):
            get_buffer(handle, ctypes.byref(view), PyBUF_WRITABLE | PyBUF_FORMAT)
        assert handle.exports == 0
        handle.release()

    def test_writable_request_on_a_write_handle_is_served(self, float_channel):
        writer, _ = float_channel
        handle = writer.try_acquire()
        view = PyBuffer()
        assert get_buffer(handle, ctypes.byref(view), PyBUF_WRITABLE) == 0
        assert view.readonly == 0
        release_buffer(ctypes.byref(view))
        assert handle.exports == 0

    def test_null_view_is_refused(self, float_channel):
        _, reader = float_channel
        handle = reader.try_acquire()
        with pytest.raises(BufferError, match="^buffer view is null$"):
            get_buffer(handle, None, 0)
        assert handle.exports == 0
        handle.release()


# ---------------------------------------------------------------- finishing twice


class TestFinishing:
    def test_release_twice(self, byte_channel):
        _, reader = byte_channel
        handle = reader.try_acquire()
        assert handle.entry_seq == 1
        assert handle.release() is None
        assert handle.release() is None
        assert handle.released
        assert handle.entry_seq == 1
        assert handle.exports == 0

    def test_commit_twice(self, byte_channel):
        writer, _ = byte_channel
        handle = writer.try_acquire()
        handle.payload[:] = fill_bytes(16, 4)
        assert handle.commit() == 4
        assert handle.committed
        with pytest.raises(ValueError, match="^handle has already been committed$"):
            handle.commit()
        assert writer.last_entry_seq == 4

    def test_finished_handles_export_nothing(self, byte_channel):
        writer, reader = byte_channel
        read = reader.try_acquire()
        read.release()
        for request in (lambda: read.payload, lambda: memoryview(read)):
            with pytest.raises(BufferError, match="^this handle has already been released$"):
                request()
        write = writer.try_acquire()
        write.commit()
        for request in (lambda: write.payload, lambda: memoryview(write)):
            with pytest.raises(BufferError, match="^this handle has already been committed$"):
                request()
        assert read.exports == write.exports == 0

    def test_release_gives_the_slot_back(self, channel_name):
        writer = BytesWriter(channel_name, entry_length=8, entry_count=1)
        writer.write(b"a" * 8)
        reader = BytesReader(channel_name, enable_zero_copy=True)
        handle = reader.try_acquire()
        with pytest.raises(BlockingIOError, match="^all 1 ring slots are held by a reader$"):
            writer.write(b"b" * 8)
        handle.release()
        writer.write(b"b" * 8)
        assert writer.last_entry_seq == 2


# ---------------------------------------------------------------- context managers


class TestContextManagers:
    def test_write_block_commits_on_clean_exit(self, byte_channel, channel_name):
        writer, _ = byte_channel
        reader = BytesReader(channel_name)
        with writer.try_acquire() as handle:
            handle.payload[:] = b"x" * 16
        assert handle.committed
        assert writer.last_entry_seq == 4
        assert reader.read(from_entry_seq=3) == (4, b"x" * 16)

    def test_write_block_that_raises_abandons_the_entry(self, channel_name):
        writer = BytesWriter(channel_name, entry_length=8, entry_count=4)
        for seq in range(1, 5):
            writer.write(bytes([seq]) * 8)
        reader = BytesReader(channel_name)
        with pytest.raises(KeyError):
            with writer.try_acquire() as handle:
                handle.payload[:] = b"z" * 8
                raise KeyError("boom")
        assert not handle.committed
        assert writer.last_entry_seq == 4
        # Entry 1 was in the claimed slot and is gone; nothing new was published.
        assert [reader.read(from_entry_seq=0)[0]] + [reader.read()[0] for _ in range(2)] == [2, 3, 4]
        assert reader.read() is None
        # The next write reuses the abandoned slot: entries 2..4 all survive it.
        writer.write(b"5" * 8)
        assert [reader.read(from_entry_seq=0)[0]] + [reader.read()[0] for _ in range(3)] == [2, 3, 4, 5]

    def test_abandoned_handle_stays_usable(self, byte_channel):
        writer, _ = byte_channel
        handle = writer.try_acquire()
        assert handle.__exit__(ValueError, ValueError("x"), None) is False
        assert not handle.committed
        handle.payload[:] = b"y" * 16
        assert handle.commit() == 4

    def test_commit_inside_the_block(self, byte_channel):
        writer, _ = byte_channel
        with writer.try_acquire() as handle:
            assert handle.commit() == 4
        assert writer.last_entry_seq == 4

    def test_write_block_with_a_live_view_raises_on_exit(self, byte_channel):
        writer, _ = byte_channel
        with pytest.raises(BufferError) as info:
            with writer.try_acquire() as handle:
                view = handle.payload
        assert str(info.value) == outstanding("commit", 1)
        assert not handle.committed
        del view
        assert handle.commit() == 4

    def test_read_block_releases(self, byte_channel):
        _, reader = byte_channel
        with reader.try_acquire() as handle:
            assert bytes(handle.payload) == fill_bytes(16, 1)
        assert handle.released

    def test_read_block_that_raises_still_releases(self, byte_channel):
        _, reader = byte_channel
        with pytest.raises(KeyError):
            with reader.try_acquire() as handle:
                raise KeyError("boom")
        assert handle.released

    def test_read_block_leaking_an_array_raises_and_stays_held(self, float_channel):
        _, reader = float_channel
        with pytest.raises(BufferError) as info:
            with reader.try_acquire() as handle:
                array = numpy.asarray(handle.payload)
        assert str(info.value) == outstanding("release", 1)
        assert not handle.released
        del array
        handle.release()

    def test_leak_replaces_the_block_exception(self, float_channel):
        _, reader = float_channel
        with pytest.raises(BufferError) as info:
            with reader.try_acquire() as handle:
                array = numpy.asarray(handle.payload)
                raise KeyError("boom")
        assert isinstance(info.value.__context__, KeyError)
        del array
        handle.release()

    def test_release_inside_the_block(self, byte_channel):
        _, reader = byte_channel
        with reader.try_acquire() as handle:
            handle.release()
        assert handle.released

    def test_enter_returns_the_handle_in_any_state(self, byte_channel):
        writer, reader = byte_channel
        read = reader.try_acquire()
        read.release()
        assert read.__enter__() is read
        write = writer.try_acquire()
        write.commit()
        assert write.__enter__() is write
        assert write.__exit__() is False

    def test_exit_arguments(self, byte_channel):
        writer, reader = byte_channel
        read = reader.try_acquire()
        assert read.__exit__(exc_type=None, exc_value=None, traceback=None) is False
        assert read.released
        write = writer.try_acquire()
        assert write.__exit__(KeyError, traceback=None) is False
        assert write.__exit__(exc_type=KeyError) is False
        assert not write.committed
        with pytest.raises(TypeError):
            write.__exit__(None, None, None, None)
        with pytest.raises(TypeError):
            write.__exit__(bogus=None)
        assert not write.committed
        assert write.__exit__(None, None, None) is False
        assert write.committed


# ---------------------------------------------------------------- finalisation and ownership


class TestFinalisation:
    def test_dropped_read_handle_gives_its_slot_back(self, channel_name):
        writer = BytesWriter(channel_name, entry_length=8, entry_count=1)
        writer.write(b"a" * 8)
        reader = BytesReader(channel_name, enable_zero_copy=True)
        handle = reader.try_acquire()
        del handle
        writer.write(b"b" * 8)  # would raise BlockingIOError if the slot were still held

    def test_dropped_write_handle_leaves_its_slot_empty(self, channel_name):
        writer = BytesWriter(channel_name, entry_length=8, entry_count=2)
        writer.write(b"1" * 8)
        writer.write(b"2" * 8)
        reader = BytesReader(channel_name)
        handle = writer.try_acquire()  # slot 0, which held entry 1
        handle.payload[:] = b"x" * 8
        del handle
        assert reader.read(from_entry_seq=0) == (2, b"2" * 8)
        assert reader.read() is None
        writer.write(b"3" * 8)
        assert reader.read(from_entry_seq=0) == (2, b"2" * 8)
        assert reader.read() == (3, b"3" * 8)

    def test_handles_keep_their_owners_alive(self, channel_name):
        keeper = BytesReader(channel_name, entry_length=8, entry_count=2)  # owns the segment
        writer = BytesWriter(channel_name)
        reader = BytesReader(channel_name, enable_zero_copy=True)
        write = writer.try_acquire()
        del writer
        gc.collect()
        with pytest.raises(quillmere.ChannelRoleConflict):
            BytesWriter(channel_name)
        write.payload[:] = b"k" * 8
        assert write.commit() == 1
        read = reader.try_acquire()
        del reader
        gc.collect()
        with pytest.raises(quillmere.ChannelRoleConflict):
            BytesReader(channel_name, enable_zero_copy=True)
        assert bytes(read.payload) == b"k" * 8
        read.release()
        del read, write
        gc.collect()
        BytesWriter(channel_name)  # both roles are free again
        BytesReader(channel_name, enable_zero_copy=True)
        assert keeper.read() == (1, b"k" * 8)

    def test_handle_on_a_float_writer_keeps_the_mapping(self, channel_name):
        handle = Float64Writer(channel_name, entry_length=2, entry_count=2).try_acquire()
        gc.collect()
        array = numpy.asarray(handle.payload)
        array[:] = [7.0, 8.0]
        del array
        assert handle.commit() == 1


# ---------------------------------------------------------------- ring interplay


class TestRing:
    def test_writer_blocks_when_the_reader_holds_every_slot(self, channel_name):
        writer = BytesWriter(channel_name, entry_length=8, entry_count=3)
        for seq in range(3):
            writer.write(bytes([seq]) * 8)
        reader = BytesReader(channel_name, enable_zero_copy=True)
        handles = [reader.try_acquire() for _ in range(3)]
        assert [h.entry_seq for h in handles] == [1, 2, 3]
        assert reader.try_acquire() is None
        message = "^all 3 ring slots are held by a reader$"
        with pytest.raises(BlockingIOError, match=message):
            writer.write(b"x" * 8)
        with pytest.raises(BlockingIOError, match=message) as info:
            writer.try_acquire()
        assert info.value.errno is None
        handles[1].release()
        with writer.try_acquire() as handle:
            handle.payload[:] = b"n" * 8
        assert writer.last_entry_seq == 4
        for handle in handles:
            handle.release()

    def test_held_entry_is_stable_while_the_writer_laps(self, channel_name):
        writer = BytesWriter(channel_name, entry_length=8, entry_count=2)
        writer.write(b"held----")
        reader = BytesReader(channel_name, enable_zero_copy=True)
        with reader.try_acquire() as handle:
            for seq in range(2, 20):
                writer.write(seq.to_bytes(8, "little"))
            assert bytes(handle.payload) == b"held----"
        assert writer.last_entry_seq == 19

    def test_second_write_handle_covers_the_same_slot(self, channel_name):
        writer = BytesWriter(channel_name, entry_length=8, entry_count=4)
        reader = BytesReader(channel_name)
        first = writer.try_acquire()
        second = writer.try_acquire()
        second.payload[:] = b"second.."
        assert bytes(first.payload) == b"second.."  # one slot, two handles
        first.payload[:] = b"first..."
        assert first.commit() == 1
        with pytest.raises(ValueError, match="^write slot 0 was reclaimed before commit$"):
            second.commit()
        assert not second.committed
        assert writer.last_entry_seq == 1
        assert reader.read() == (1, b"first...")
        assert reader.read() is None
        # The stale handle may no longer write into the published entry.
        with pytest.raises(BufferError, match="^write slot 0 was reclaimed"):
            second.payload
        with pytest.raises(ValueError, match="reclaimed before commit"):
            with second:
                pass
        assert reader.read(from_entry_seq=0) == (1, b"first...")

    def test_write_after_try_acquire_makes_the_handle_stale(self, channel_name):
        writer = BytesWriter(channel_name, entry_length=8, entry_count=4)
        handle = writer.try_acquire()
        writer.write(b"copied..")
        with pytest.raises(ValueError, match="reclaimed before commit"):
            handle.commit()
        assert writer.last_entry_seq == 1

    def test_stale_handle_after_a_full_lap_publishes_nothing(self, channel_name):
        # The slot comes round again and is claimed afresh: the old handle must not publish
        # the new claimant's half-filled payload.
        writer = BytesWriter(channel_name, entry_length=8, entry_count=2)
        reader = BytesReader(channel_name)
        stale = writer.try_acquire()  # slot 0
        writer.write(b"1" * 8)  # slot 0
        writer.write(b"2" * 8)  # slot 1
        fresh = writer.try_acquire()  # slot 0 again
        fresh.payload[:] = b"half...."
        with pytest.raises(ValueError, match="reclaimed before commit"):
            stale.commit()
        assert fresh.commit() == 3
        assert [reader.read(from_entry_seq=0), reader.read(), reader.read()] == [
            (2, b"2" * 8),
            (3, b"half...."),
            None,
        ]

    def test_try_acquire_from_entry_seq_zero_pins_the_oldest(self, byte_channel):
        _, reader = byte_channel
        with reader.try_acquire(from_entry_seq=2) as handle:
            assert handle.entry_seq == 3
        assert reader.last_entry_seq == 3
        with reader.try_acquire(from_entry_seq=0) as handle:
            assert handle.entry_seq == 1
            assert reader.last_entry_seq == 1
        assert reader.try_acquire().entry_seq == 2

    def test_held_entry_is_skipped_by_copying_readers(self, byte_channel, channel_name):
        _, reader = byte_channel
        copier = BytesReader(channel_name)
        with reader.try_acquire(from_entry_seq=1) as handle:
            assert handle.entry_seq == 2
            assert copier.read(from_entry_seq=1)[0] == 3
        assert copier.read(from_entry_seq=1)[0] == 2


# ---------------------------------------------------------------- acquiring


class TestAcquiring:
    def test_plain_reader_refuses(self, channel_name):
        message = "^zero-copy reads require a reader built with new_zero_copy$"
        unconnected = BytesReader(channel_name)
        with pytest.raises(ValueError, match=message):
            unconnected.try_acquire()
        Float64Writer(channel_name, entry_length=2, entry_count=2).write(numpy.zeros(2))
        for reader in (BytesReader(channel_name), Float64Reader(channel_name), unconnected):
            with pytest.raises(ValueError, match=message):
                reader.try_acquire()

    def test_deferred_objects_return_none(self, channel_name):
        assert BytesWriter(channel_name, delayed_connect=True).try_acquire() is None
        assert Float64Writer(channel_name, delayed_connect=True).try_acquire() is None
        assert BytesReader(channel_name, enable_zero_copy=True).try_acquire() is None
        assert Float64Reader(channel_name, enable_zero_copy=True).try_acquire() is None

    def test_nothing_newer_returns_none(self, byte_channel):
        _, reader = byte_channel
        handles = [reader.try_acquire() for _ in range(3)]
        assert reader.try_acquire() is None
        for handle in handles:
            handle.release()

    def test_float_writer_handle_shape(self, channel_name):
        writer = Float64Writer(channel_name, entry_length=3, entry_count=2)
        with writer.try_acquire() as handle:
            view = handle.payload
            assert (view.format, view.shape, view.nbytes) == ("d", (3,), 24)
            view[:] = numpy.array([1.0, 2.0, 3.0]).data
            del view
        assert Float64Reader(channel_name).read()[1].tolist() == [1.0, 2.0, 3.0]


class TestLiveViewsOfUncommittedHandles:
    """A view of an uncommitted WriteHandle points into a slot that another claim of the same
    writer would publish: while such a view lives, the writer claims and publishes nothing."""

    @staticmethod
    def refused(operation: str, count: int) -> str:
        plural = "" if count == 1 else "s"
        return (
            f"^cannot {operation} while an uncommitted WriteHandle of this writer has {count} "
            f"buffer export{plural} outstanding"
        )

    def test_write_and_try_acquire_wait_for_the_views(self, channel_name):
        writer = BytesWriter(channel_name, entry_length=16, entry_count=4)
        reader = BytesReader(channel_name)
        handle = writer.try_acquire()
        view = handle.payload
        with pytest.raises(BufferError, match=self.refused("write", 1)):
            writer.write(b"A" * 16)
        array = numpy.asarray(handle.payload)
        with pytest.raises(BufferError, match=self.refused("acquire a slot", 2)):
            writer.try_acquire()
        assert writer.last_entry_seq == 0
        view[:] = b"Z" * 16  # still the handle's own, unpublished slot
        del view, array
        assert handle.commit() == 1
        writer.write(b"A" * 16)
        assert [reader.read(), reader.read()] == [(1, b"Z" * 16), (2, b"A" * 16)]

    def test_another_handles_commit_waits_for_the_views(self, channel_name):
        writer = Float64Writer(channel_name, entry_length=2, entry_count=4)
        reader = Float64Reader(channel_name)
        first = writer.try_acquire()
        second = writer.try_acquire()  # the same slot
        kept = numpy.asarray(first.payload)
        numpy.asarray(second.payload)[:] = 2.0
        with pytest.raises(BufferError, match=self.refused("commit this handle", 1)):
            second.commit()
        assert not second.committed
        with pytest.raises(BufferError, match=self.refused("commit this handle", 1)):
            with second:
                pass
        kept[:] = [1.0, 1.0]
        del kept
        assert first.commit() == 1
        entry = reader.read()
        assert entry[0] == 1 and entry[1].tolist() == [1.0, 1.0]
        with pytest.raises(ValueError, match="reclaimed before commit"):
            second.commit()

    def test_own_views_keep_their_message(self, byte_channel):
        writer, _ = byte_channel
        handle = writer.try_acquire()
        view = handle.payload
        with pytest.raises(BufferError) as info:
            handle.commit()
        assert str(info.value) == outstanding("commit", 1)
        del view
        assert handle.commit() == 4

    def test_stale_views_can_no_longer_change_a_published_entry(self, channel_name):
        # Without the rule above, `view` would rewrite entry 1 after publication.
        writer = BytesWriter(channel_name, entry_length=16, entry_count=1)
        reader = BytesReader(channel_name)
        handle = writer.try_acquire()
        view = handle.payload
        with pytest.raises(BufferError):
            writer.write(b"A" * 16)
        del view
        writer.write(b"A" * 16)
        with pytest.raises(BufferError, match="^write slot 0 was reclaimed by a later commit"):
            handle.payload
        assert reader.read() == (1, b"A" * 16)


# ---------------------------------------------------------------- threads and re-entrancy


class TestThreads:
    def test_members_from_another_thread_panic(self, byte_channel):
        writer, reader = byte_channel
        read = reader.try_acquire()
        write = writer.try_acquire()
        calls = {
            READ_PATH: [
                lambda: read.entry_seq,
                lambda: read.released,
                lambda: read.exports,
                lambda: read.payload,
                lambda: memoryview(read),
                read.release,
                read.__enter__,
                lambda: read.__exit__(None, None, None),
            ],
            WRITE_PATH: [
                lambda: write.committed,
                lambda: write.exports,
                lambda: write.payload,
                lambda: memoryview(write),
                write.commit,
                write.__enter__,
                lambda: write.__exit__(None, None, None),
            ],
        }
        for path, members in calls.items():
            for member in members:
                exc = run_in_thread(member)
                assert exc is not None
                assert not isinstance(exc, Exception)  # `except Exception` lets it through
                assert type(exc).__name__ == "PanicException"
                assert str(exc) == f"{path} is unsendable, but sent to another thread"
        assert not read.released and not write.committed
        assert read.exports == write.exports == 0
        read.release()
        assert write.commit() == 4

    def test_panic_is_not_caught_by_except_exception(self, byte_channel):
        _, reader = byte_channel
        handle = reader.try_acquire()
        panic = panic_type(handle)
        assert issubclass(panic, BaseException) and not issubclass(panic, Exception)

        def guarded():
            try:
                handle.release()
            except Exception:  # noqa: BLE001 - the point is that this does not catch it
                pytest.fail("PanicException was caught by `except Exception`")

        assert type(run_in_thread(guarded)) is panic
        handle.release()

    def test_view_dropped_on_another_thread_is_reported_and_counted(
        self, byte_channel, monkeypatch
    ):
        writer, reader = byte_channel
        handle = reader.try_acquire()
        held = writer.try_acquire()
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        box = [numpy.asarray(handle.payload), numpy.asarray(held.payload)]
        assert run_in_thread(box.clear) is None
        assert sorted(str(report.exc_value) for report in reports) == [
            f"{READ_PATH} is unsendable, but sent to another thread",
            f"{WRITE_PATH} is unsendable, but sent to another thread",
        ]
        # The views are gone whichever thread dropped them: nothing keeps the slots.
        assert handle.exports == 0 and held.exports == 0
        handle.release()
        held.payload[:] = b"w" * 16
        assert held.commit() == 4
        writer.write(b"x" * 16)  # the writer counts no export of its handles either

    @pytest.mark.parametrize("path", [READ_PATH, WRITE_PATH])
    def test_dropped_on_another_thread(self, channel_name, monkeypatch, path):
        writer = BytesWriter(channel_name, entry_length=8, entry_count=1)
        writer.write(b"a" * 8)
        reader = BytesReader(channel_name, enable_zero_copy=True)
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)
        box = [reader.try_acquire() if path == READ_PATH else writer.try_acquire()]
        assert run_in_thread(box.clear) is None
        assert len(reports) == 1
        assert isinstance(reports[0].exc_value, RuntimeError)
        assert str(reports[0].exc_value) == f"{path} is unsendable, but is being dropped on another thread"
        if path == READ_PATH:
            # The slot was not given back: it is retired from the ring.
            with pytest.raises(BlockingIOError, match="^all 1 ring slots are held by a reader$"):
                writer.write(b"b" * 8)

    def test_release_while_the_reader_is_busy(self, byte_channel):
        _, reader = byte_channel
        handle = reader.try_acquire()
        seen = []

        class Index:
            def __index__(self):
                try:
                    handle.release()
                except RuntimeError as exc:
                    seen.append(str(exc))
                return 0

        assert reader.read(from_entry_seq=Index())[0] == 2  # entry 1 is still held
        assert seen == ["Already borrowed"]
        assert not handle.released
        handle.release()
        assert handle.released

    def test_handle_finalised_while_the_reader_is_busy_gives_its_slot_back(
        self, channel_name, monkeypatch
    ):
        writer = BytesWriter(channel_name, entry_length=8, entry_count=1)
        writer.write(b"a" * 8)
        reader = BytesReader(channel_name, enable_zero_copy=True)
        box = [reader.try_acquire()]
        reports = []
        monkeypatch.setattr(sys, "unraisablehook", reports.append)

        class Index:
            def __index__(self):
                box.clear()  # the handle's last reference goes while read() borrows the reader
                return 0

        assert reader.read(from_entry_seq=Index()) == (1, b"a" * 8)
        assert reports == []
        writer.write(b"b" * 8)  # BlockingIOError if the only slot were still held

    def test_try_acquire_while_the_reader_is_busy_panics(self, byte_channel):
        _, reader = byte_channel
        seen = []

        class Index:
            def __index__(self):
                try:
                    reader.try_acquire()
                except BaseException as exc:  # noqa: BLE001
                    seen.append(exc)
                return 0

        reader.read(from_entry_seq=Index())
        assert len(seen) == 1 and type(seen[0]).__name__ == "PanicException"
        assert str(seen[0]).startswith("Already borrowed")
