"""The binding machinery shared by the reader and writer classes: thread binding,
the wrong-thread drop, the borrow guard against re-entrant use, the argument
binder and the once-per-process class objects."""

from __future__ import annotations

import gc
import importlib.util
import os
import sys
import threading
from collections.abc import Callable
from typing import Any

import numpy
import pytest

import quillmere

TYPE_PATHS = {
    "BytesWriter": "quillmere::python::writer::PyBytesWriter",
    "Float64Writer": "quillmere::python::writer::PyFloat64Writer",
    "BytesReader": "quillmere::python::reader::PyBytesReader",
    "Float64Reader": "quillmere::python::reader::PyFloat64Reader",
}
READERS = [quillmere.BytesReader, quillmere.Float64Reader]
WRONG_THREAD = " is unsendable, but sent to another thread"


def make(cls: type, name: str, **kwargs: Any) -> Any:
    """An instance on a fresh 64-byte, 4-slot channel."""
    sizes = {"entry_length": 64 if cls.__name__.startswith("Bytes") else 8, "entry_count": 4}
    return cls(name, **sizes, **kwargs)


def in_thread(call: Callable[[], object]) -> dict[str, object]:
    """Runs `call` on a new thread; returns its result or whatever it raised."""
    outcome: dict[str, object] = {}

    def run() -> None:
        try:
            outcome["result"] = call()
        except BaseException as error:  # noqa: BLE001 - PanicException is the point
            outcome["error"] = error

    thread = threading.Thread(target=run)
    # Earlier garbage (e.g. readers held by a caught exception's traceback) is collected here,
    # not on the new thread, which would report those objects as dropped on another thread.
    gc.collect()
    thread.start()
    thread.join()
    return outcome


def assert_panic(error: object, message: str) -> None:
    assert type(error).__name__ == "PanicException"
    assert isinstance(error, BaseException) and not isinstance(error, Exception)
    assert error.args == (message,)


def entries_written(writer: Any, count: int) -> None:
    for seq in range(count):
        if isinstance(writer, quillmere.Float64Writer):
            writer.write(numpy.full(8, float(seq)))
        else:
            writer.write(bytes([seq]) * 64)


class CallsBack:
    """An `__index__` that runs `callback` (re-entering the object) and records
    what it raised."""

    def __init__(self, callback: Callable[[], object], value: int = 0) -> None:
        self.callback = callback
        self.value = value
        self.raised: BaseException | None = None

    def __index__(self) -> int:
        try:
            self.callback()
        except BaseException as error:  # noqa: BLE001
            self.raised = error
        return self.value


# ---------------------------------------------------------------- thread binding


@pytest.mark.parametrize("cls_name", sorted(TYPE_PATHS))
def test_every_member_refuses_another_thread(cls_name: str, channel_name: str) -> None:
    obj = make(getattr(quillmere, cls_name), channel_name)
    calls: list[Callable[[], object]] = [
        lambda: obj.entry_length,
        lambda: obj.last_entry_seq,
        obj.try_acquire,
    ]
    if cls_name.endswith("Reader"):
        calls += [obj.read, lambda: obj.writer_entry_seq]
    else:
        calls.append(lambda: obj.write(b"\0" * 64))
    message = TYPE_PATHS[cls_name] + WRONG_THREAD
    for call in calls:
        assert_panic(in_thread(call).get("error"), message)
    assert obj.entry_length in (8, 64)  # still usable on its own thread


def test_panic_escapes_an_except_exception_handler(channel_name: str) -> None:
    reader = quillmere.BytesReader(channel_name)

    def guarded() -> str:
        try:
            reader.read()
        except Exception:  # noqa: BLE001 - must not catch PanicException
            return "caught"
        return "returned"

    outcome = in_thread(guarded)
    assert "result" not in outcome
    assert_panic(outcome["error"], TYPE_PATHS["BytesReader"] + WRONG_THREAD)
    assert type(outcome["error"]).__module__ != "quillmere"
    assert not hasattr(quillmere, "PanicException")


def test_try_acquire_converts_its_argument_before_the_thread_check(channel_name: str) -> None:
    reader = make(quillmere.BytesReader, channel_name, enable_zero_copy=True)
    error = in_thread(lambda: reader.try_acquire(from_entry_seq="one")).get("error")
    assert isinstance(error, TypeError) and "from_entry_seq" in str(error)
    error = in_thread(lambda: reader.try_acquire(from_entry_seq=-1)).get("error")
    assert isinstance(error, OverflowError)
    assert_panic(
        in_thread(lambda: reader.try_acquire(from_entry_seq=0)).get("error"),
        TYPE_PATHS["BytesReader"] + WRONG_THREAD,
    )


# ---------------------------------------------------------------- wrong-thread drop


@pytest.mark.parametrize(
    ("cls", "kwargs", "role"),
    [
        (quillmere.BytesWriter, {}, "writer"),
        (quillmere.Float64Writer, {}, "writer"),
        (quillmere.BytesReader, {"enable_zero_copy": True}, "zero-copy reader"),
        (quillmere.Float64Reader, {"enable_zero_copy": True}, "zero-copy reader"),
    ],
)
def test_drop_on_another_thread_keeps_the_role_and_reports(
    cls: type,
    kwargs: dict[str, bool],
    role: str,
    channel_name: str,
    monkeypatch: pytest.MonkeyPatch,
) -> None:
    reports: list[Any] = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    holder = [make(cls, channel_name, **kwargs)]
    assert "error" not in in_thread(holder.clear)  # the last reference dies on that thread

    assert len(reports) == 1
    assert type(reports[0].exc_value) is RuntimeError
    assert str(reports[0].exc_value) == (
        TYPE_PATHS[cls.__name__] + " is unsendable, but is being dropped on another thread"
    )
    with pytest.raises(quillmere.ChannelRoleConflict) as conflict:
        make(cls, channel_name, **kwargs)
    assert str(conflict.value) == (
        f"the {role} role on channel '{channel_name}' is held by process {os.getpid()}"
    )


def test_drop_on_the_owning_thread_gives_the_role_back(
    channel_name: str, monkeypatch: pytest.MonkeyPatch
) -> None:
    reports: list[Any] = []
    monkeypatch.setattr(sys, "unraisablehook", reports.append)
    reader = make(quillmere.BytesReader, channel_name)  # creates, so owns the segment name
    writer = quillmere.BytesWriter(channel_name)
    entries_written(writer, 1)
    del writer
    writer = quillmere.BytesWriter(channel_name)
    assert writer.last_entry_seq == 1
    assert reader.read() == (1, b"\0" * 64)
    assert reports == []


# ---------------------------------------------------------------- borrow guard


@pytest.mark.parametrize("cls", READERS)
def test_read_reentered_through_index_is_already_borrowed(cls: type, channel_name: str) -> None:
    writer_cls = quillmere.BytesWriter if cls is quillmere.BytesReader else quillmere.Float64Writer
    writer = make(writer_cls, channel_name)
    entries_written(writer, 3)
    reader = cls(channel_name)
    seq = CallsBack(reader.read, value=1)
    entry = reader.read(from_entry_seq=seq)
    assert type(seq.raised) is RuntimeError and str(seq.raised) == "Already borrowed"
    assert entry is not None and entry[0] == 2  # the outer call went on undisturbed
    assert reader.last_entry_seq == 2


@pytest.mark.parametrize("cls", READERS)
def test_error_raised_by_index_propagates_unchanged(cls: type, channel_name: str) -> None:
    reader = make(cls, channel_name)

    class Reenters:
        def __index__(self) -> int:
            return reader.read() or 0

    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        reader.read(from_entry_seq=Reenters())
    assert reader.read() is None  # the borrow was given back


@pytest.mark.parametrize("prop", ["entry_length", "last_entry_seq", "writer_entry_seq"])
def test_property_during_read_is_already_mutably_borrowed(prop: str, channel_name: str) -> None:
    reader = make(quillmere.BytesReader, channel_name)
    seq = CallsBack(lambda: getattr(reader, prop))
    assert reader.read(from_entry_seq=seq) is None
    assert type(seq.raised) is RuntimeError and str(seq.raised) == "Already mutably borrowed"
    assert getattr(reader, prop) in (0, 64)


@pytest.mark.parametrize("cls", READERS)
def test_try_acquire_during_read_panics(cls: type, channel_name: str) -> None:
    reader = make(cls, channel_name, enable_zero_copy=True)
    seq = CallsBack(reader.try_acquire)
    assert reader.read(from_entry_seq=seq) is None
    assert seq.raised is not None and type(seq.raised).__name__ == "PanicException"
    assert not isinstance(seq.raised, Exception)
    assert str(seq.raised).startswith("Already borrowed")


def test_try_acquire_converts_from_entry_seq_before_borrowing(channel_name: str) -> None:
    writer = make(quillmere.BytesWriter, channel_name)
    entries_written(writer, 2)
    reader = quillmere.BytesReader(channel_name, enable_zero_copy=True)
    seq = CallsBack(reader.read, value=0)  # runs with no borrow held yet
    handle = reader.try_acquire(from_entry_seq=seq)
    assert seq.raised is None
    assert handle is not None and handle.entry_seq == 1
    handle.release()
    assert reader.last_entry_seq == 1


def test_borrow_is_given_back_after_every_failure(channel_name: str) -> None:
    writer = make(quillmere.BytesWriter, channel_name)
    reader = make(quillmere.BytesReader, channel_name)
    for bad in (lambda: writer.write(b"short"), lambda: writer.write(bytearray(64))):
        with pytest.raises((ValueError, TypeError)):
            bad()
    writer.write(b"\1" * 64)
    for bad in (
        lambda: reader.read(out=numpy.zeros(3, numpy.uint8)),
        lambda: reader.read(out=numpy.zeros(64)),
        lambda: reader.read(from_entry_seq="x"),
    ):
        with pytest.raises((ValueError, TypeError)):
            bad()
    assert reader.read() == (1, b"\1" * 64)
    assert writer.entry_length == reader.entry_length == 64


# ---------------------------------------------------------------- argument binder


def test_keywords_built_at_run_time_are_matched_by_value(channel_name: str) -> None:
    writer = make(quillmere.BytesWriter, channel_name)
    writer.write(**{"".join(["da", "ta"]): b"\2" * 64})
    reader = quillmere.BytesReader(**{"".join(["na", "me"]): channel_name})
    out = numpy.zeros(64, numpy.uint8)
    entry = reader.read(**{"".join(["o", "ut"]): out, "".join(["from_", "entry_seq"]): 0})
    assert entry is not None and entry[1] is out and out[0] == 2


SHAPE_ERRORS: list[tuple[Callable[[Any, Any], object], str]] = [
    (lambda w, r: w.write(b"", data=b""), "write() got multiple values for argument 'data'"),
    (lambda w, r: w.write(), "write() missing required argument 'data' (pos 1)"),
    (lambda w, r: w.write(b"", b""), "write() takes 1 positional argument but 2 were given"),
    (lambda w, r: w.write(b"", datum=b""), "write() got an unexpected keyword argument 'datum'"),
    (lambda w, r: r.read(None), "read() takes 0 positional arguments but 1 was given"),
    (
        lambda w, r: r.read(out=None, outs=None),
        "read() got an unexpected keyword argument 'outs'",
    ),
    (
        lambda w, r: r.try_acquire(0),
        "try_acquire() takes 0 positional arguments but 1 was given",
    ),
    (
        lambda w, r: quillmere.BytesReader("/x", "y"),
        "BytesReader() takes 1 positional argument but 2 were given",
    ),
    (
        lambda w, r: quillmere.Float64Writer(entry_length=1),
        "Float64Writer() missing required argument 'name' (pos 1)",
    ),
    (
        lambda w, r: quillmere.BytesWriter("/x", name="/x"),
        "BytesWriter() got multiple values for argument 'name'",
    ),
    (
        lambda w, r: quillmere.BytesWriter("/x", enable_zero_copy=True),
        "BytesWriter() got an unexpected keyword argument 'enable_zero_copy'",
    ),
]


@pytest.mark.parametrize(("call", "message"), SHAPE_ERRORS)
def test_call_shape_errors(
    call: Callable[[Any, Any], object], message: str, channel_name: str
) -> None:
    writer = make(quillmere.BytesWriter, channel_name)
    reader = quillmere.BytesReader(channel_name)
    with pytest.raises(TypeError) as error:
        call(writer, reader)
    assert str(error.value) == message


def test_string_argument_with_surrogates_is_refused_cleanly() -> None:
    with pytest.raises(UnicodeEncodeError):
        quillmere.BytesReader("/qm-\udcff")
    with pytest.raises(UnicodeEncodeError):
        quillmere.unlink("/qm-\udcff")


# ---------------------------------------------------------------- class objects


def test_a_second_module_object_gets_the_same_classes() -> None:
    spec = importlib.util.find_spec("quillmere")
    assert spec is not None
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)  # type: ignore[union-attr]
    assert again is not quillmere
    for name in quillmere.__all__:
        if name != "unlink":
            assert getattr(again, name) is getattr(quillmere, name)
    assert again.__all__ == quillmere.__all__
    assert again.unlink is not quillmere.unlink and again.unlink.__self__ is again
