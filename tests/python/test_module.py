"""The module object: its names, the exception class, class properties and docstrings."""

from __future__ import annotations

import gc
import importlib.util
import inspect
import weakref

import pytest

import quillmere

ALL = [
    "BytesWriter",
    "BytesReader",
    "Float64Writer",
    "Float64Reader",
    "ReadHandle",
    "WriteHandle",
    "unlink",
    "ChannelRoleConflict",
]
CLASSES = ALL[:6]

ROLE_CONFLICT_DOC = (
    "An exclusive channel role is already held by a live process.\n\nRaised when a second "
    "writer, or a second `enable_zero_copy` reader, tries to attach to a channel that "
    "already has one. Deliberately not a subclass of `BlockingIOError`: a role conflict "
    "is not transient and retrying will not clear it."
)

UNLINK_DOC = (
    "unlink(name)\n--\n\nRemove a channel's shared-memory segment by name.\n\nThe escape "
    "hatch for reclaiming a leaked segment: a channel abandoned by a\ncrashed process keeps "
    "its name until something removes it. A later writer\nadopts the stale role claim and "
    "carries on, so this is only needed when the\nsegment itself must go — supervisors "
    "reclaiming a name, and test fixtures\nthat must not leak state between runs.\n\n"
    "Processes already attached keep their mapping; only the name goes away, so\nthe next "
    "open creates a fresh segment. Does nothing if the segment is\nabsent."
)

WRITER_ENTRY_LENGTH_DOC = {
    "BytesWriter": "Bytes per entry (0 while a deferred channel is unconnected).",
    "Float64Writer": "Number of `float64` elements per entry (0 while deferred).",
    "BytesReader": "Bytes per entry (0 while a deferred channel is unconnected).",
    "Float64Reader": "Number of `float64` elements per entry (0 while deferred).",
}

# (class name, member, full docstring in the signature-prefix convention).
DOCSTRINGS = [
    (
        "BytesWriter",
        None,
        "BytesWriter(name, *, entry_length=None, entry_count=None, delayed_connect=False)"
        "\n--\n\nSingle-writer end of a byte-oriented Quillmere.\n\n`entry_length` is "
        "measured in bytes and must be a multiple of 8, so that\nevery slot's `entry_seq` "
        "word stays naturally aligned.",
    ),
    (
        "Float64Writer",
        None,
        "Float64Writer(name, *, entry_length=None, entry_count=None, delayed_connect=False)"
        "\n--\n\nSingle-writer end of a `float64` Quillmere.\n\n`entry_length` is measured "
        "in `float64` elements.",
    ),
    (
        "BytesReader",
        None,
        "BytesReader(name, *, entry_length=None, entry_count=None, delayed_connect=True, "
        "enable_zero_copy=False)\n--\n\nReader end of a byte-oriented Quillmere.",
    ),
    (
        "Float64Reader",
        None,
        "Float64Reader(name, *, entry_length=None, entry_count=None, delayed_connect=True, "
        "enable_zero_copy=False)\n--\n\nReader end of a `float64` Quillmere.",
    ),
    *[
        (cls, "write", "write($self, data)\n--\n\nWrite one entry. `len(data)` must equal "
         "`entry_length`.")
        for cls in ("BytesWriter", "Float64Writer")
    ],
    (
        "BytesReader",
        "read",
        "read($self, *, out=None, from_entry_seq=None)\n--\n\nRead the next entry newer "
        "than the watermark.\n\nReturns `(entry_seq, payload)` for exactly one entry, or "
        "`None` when\nnothing newer is available. `payload` is a `bytes` object unless a\n"
        "pre-allocated `out` array is supplied, in which case it is filled in\nplace and "
        "returned.\n\n`out` must be a contiguous 1-D `uint8` array of `entry_length` "
        "elements.\n`from_entry_seq` overrides the reader's own watermark.",
    ),
    (
        "Float64Reader",
        "read",
        "read($self, *, out=None, from_entry_seq=None)\n--\n\nRead the next entry newer "
        "than the watermark.\n\nReturns `(entry_seq, payload)` for exactly one entry, or "
        "`None` when\nnothing newer is available. `payload` is a 1-D `float64` array of\n"
        "`entry_length` elements — the pre-allocated `out` array when one is\nsupplied, "
        "otherwise a freshly allocated one.\n\n`out` must be a contiguous 1-D `float64` "
        "array of `entry_length`\nelements. `from_entry_seq` overrides the reader's own "
        "watermark.",
    ),
    (
        "BytesWriter",
        "try_acquire",
        "try_acquire($self)\n--\n\nAcquire the next ring slot for in-place construction "
        "(zero-copy path).\n\nReturns a `WriteHandle` whose `payload` is a writable "
        "`memoryview` of\n`entry_length` bytes, or `None` while a deferred channel is "
        "still\nunconnected. The entry becomes visible only on `commit()`.\n\nRaises "
        "`BlockingIOError` if every ring slot is held by a reader.",
    ),
    (
        "Float64Writer",
        "try_acquire",
        "try_acquire($self)\n--\n\nAcquire the next ring slot for in-place construction "
        "(zero-copy path).\n\nReturns a `WriteHandle` whose `payload` is a writable "
        "`float64`\n`memoryview` of `entry_length` elements, or `None` while a deferred\n"
        "channel is still unconnected. The entry becomes visible only on\n`commit()`.\n\n"
        "Raises `BlockingIOError` if every ring slot is held by a reader.",
    ),
    (
        "BytesReader",
        "try_acquire",
        "try_acquire($self, *, from_entry_seq=None)\n--\n\nAcquire the next entry newer "
        "than the watermark (zero-copy path).\n\nReturns a `ReadHandle` borrowing the entry "
        "in place, or `None` when\nnothing newer is available. `from_entry_seq` overrides "
        "the reader's own\nwatermark, exactly as for `read()`.\n\nSingle-reader only: the "
        "slot is pinned by driving its `entry_seq`\nnegative, a state only one reader can "
        "own. The handle must be released.",
    ),
    (
        "Float64Reader",
        "try_acquire",
        "try_acquire($self, *, from_entry_seq=None)\n--\n\nAcquire the next entry newer "
        "than the watermark (zero-copy path).\n\nReturns a `ReadHandle` borrowing the entry "
        "in place as a `float64`\n`memoryview`, or `None` when nothing newer is available.\n"
        "`from_entry_seq` overrides the reader's own watermark, exactly as for\n`read()`."
        "\n\nSingle-reader only: the slot is pinned by driving its `entry_seq`\nnegative, a "
        "state only one reader can own. The handle must be released.",
    ),
    (
        "ReadHandle",
        "release",
        "release($self)\n--\n\nReturn the slot to the ring. Idempotent.\n\nRaises "
        "`BufferError` if any view into `payload` is still alive; the\nhandle stays valid "
        "and can be released once they are gone.",
    ),
    (
        "WriteHandle",
        "commit",
        "commit($self)\n--\n\nPublish the entry and return its sequence number.\n\nRaises "
        "`BufferError` if any view into `payload` is still alive — writing\nthrough one "
        "after the entry is visible would corrupt a published entry.",
    ),
    *[
        (cls, "__exit__", "__exit__($self, exc_type=None, exc_value=None, traceback=None)"
         "\n--\n\n")
        for cls in ("ReadHandle", "WriteHandle")
    ],
    *[(cls, "__enter__", "__enter__($self)\n--\n\n") for cls in ("ReadHandle", "WriteHandle")],
]

PROPERTY_DOCS = [
    *[(cls, "entry_length", doc) for cls, doc in WRITER_ENTRY_LENGTH_DOC.items()],
    *[
        (cls, "last_entry_seq", "Sequence number of the most recently committed entry (0 if none).")
        for cls in ("BytesWriter", "Float64Writer")
    ],
    *[
        (cls, "last_entry_seq", "Sequence number of the last entry this reader returned (0 if none).")
        for cls in ("BytesReader", "Float64Reader")
    ],
    *[
        (cls, "writer_entry_seq", "The writer's high watermark, straight from the segment header.")
        for cls in ("BytesReader", "Float64Reader")
    ],
    ("ReadHandle", "entry_seq", "Sequence number of the held entry."),
    ("ReadHandle", "released", "True once the slot has been handed back to the ring."),
    ("WriteHandle", "committed", "True once the entry has been published."),
    *[
        (cls, "exports", "Number of `memoryview`/`numpy` views currently borrowing the payload.")
        for cls in ("ReadHandle", "WriteHandle")
    ],
    (
        "ReadHandle",
        "payload",
        "The entry payload as a read-only `memoryview` over shared memory.\n\nTyped as "
        "`uint8` on a byte channel and `float64` on a `float64`\nchannel, so "
        "`numpy.asarray(handle.payload)` is a zero-copy typed view.\nEach access creates a "
        "fresh view; the handle cannot be released while\nany of them is alive.",
    ),
    (
        "WriteHandle",
        "payload",
        "The entry payload as a writable `memoryview` over shared memory.\n\nTyped as "
        "`uint8` on a byte channel and `float64` on a `float64`\nchannel, so "
        "`numpy.asarray(handle.payload)[:] = ...` fills the slot in\nplace. Each access "
        "creates a fresh view; the handle cannot be committed\nwhile any of them is alive.",
    ),
]


def split_signature(full: str) -> tuple[str, str | None]:
    """(text signature, docstring) as the interpreter derives them from `full`."""
    head, _, body = full.partition("\n--\n\n")
    return head[head.index("(") :], body or None


# ---------------------------------------------------------------- module frame


def test_all_lists_exactly_the_eight_names_in_order() -> None:
    assert quillmere.__all__ == ALL
    assert type(quillmere.__all__) is list


def test_module_has_no_other_public_attributes() -> None:
    public = {name for name in dir(quillmere) if not name.startswith("_")}
    assert public == set(ALL)
    assert not hasattr(quillmere, "__version__")
    assert not hasattr(quillmere, "PanicException")


def test_module_docstring_names_the_load_bearing_module_name() -> None:
    doc = quillmere.__doc__
    assert doc is not None
    first, blank, *rest = doc.split("\n")
    assert first == "The `quillmere` native extension module."
    assert blank == ""
    assert "PyInit_quillmere" in "\n".join(rest)


def test_a_second_module_object_shares_the_class_objects() -> None:
    spec = importlib.util.find_spec("quillmere")
    assert spec is not None and spec.loader is not None
    again = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(again)
    assert again is not quillmere
    assert again.__all__ == ALL
    for name in CLASSES + ["ChannelRoleConflict"]:
        assert getattr(again, name) is getattr(quillmere, name), name


# ---------------------------------------------------------- ChannelRoleConflict


def test_channel_role_conflict_class() -> None:
    cls = quillmere.ChannelRoleConflict
    assert cls.__bases__ == (RuntimeError,)
    assert not issubclass(cls, OSError)
    assert not issubclass(cls, BlockingIOError)
    assert cls.__module__ == "quillmere"
    assert cls.__name__ == "ChannelRoleConflict"
    assert cls.__doc__ == ROLE_CONFLICT_DOC


def test_channel_role_conflict_carries_only_its_message() -> None:
    err = quillmere.ChannelRoleConflict("the writer role on channel '/x' is held by process 1")
    assert err.args == ("the writer role on channel '/x' is held by process 1",)
    assert isinstance(err, RuntimeError)


# ------------------------------------------------------------- the six classes


@pytest.mark.parametrize("name", CLASSES)
def test_class_identity(name: str) -> None:
    cls = getattr(quillmere, name)
    assert cls.__module__ == "quillmere"
    assert cls.__name__ == name
    assert cls.__qualname__ == name
    assert cls.__bases__ == (object,)
    assert repr(cls) == f"<class 'quillmere.{name}'>"


@pytest.mark.parametrize("name", CLASSES)
def test_classes_are_final(name: str) -> None:
    cls = getattr(quillmere, name)
    with pytest.raises(TypeError):
        type("Derived", (cls,), {})


@pytest.mark.parametrize("name", CLASSES)
def test_classes_have_no_dict_and_no_weakref_slot(name: str) -> None:
    cls = getattr(quillmere, name)
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


@pytest.mark.parametrize("name", ["ReadHandle", "WriteHandle"])
def test_handles_cannot_be_instantiated(name: str) -> None:
    with pytest.raises(TypeError):
        getattr(quillmere, name)()


def _instances(name: str) -> list[object]:
    """One unconnected reader and writer of each kind on a name nobody creates."""
    return [
        quillmere.BytesWriter(name, delayed_connect=True),
        quillmere.Float64Writer(name, delayed_connect=True),
        quillmere.BytesReader(name),
        quillmere.Float64Reader(name),
    ]


def test_instances_have_no_dict_no_weakrefs_and_are_untracked(channel_name: str) -> None:
    for obj in _instances(channel_name):
        assert not hasattr(obj, "__dict__"), type(obj)
        with pytest.raises(AttributeError):
            obj.extra = 1  # type: ignore[attr-defined]
        with pytest.raises(TypeError):
            weakref.ref(obj)
        # They hold no references to other Python objects.
        assert not gc.is_tracked(obj), type(obj)


def test_properties_are_read_only(channel_name: str) -> None:
    for obj in _instances(channel_name):
        for prop in ("entry_length", "last_entry_seq"):
            with pytest.raises(AttributeError):
                setattr(obj, prop, 1)
    with pytest.raises(AttributeError):
        quillmere.BytesReader(channel_name).writer_entry_seq = 1  # type: ignore[misc]


def test_handle_instances_have_no_dict(channel_name: str) -> None:
    writer = quillmere.BytesWriter(channel_name, entry_length=8, entry_count=2)
    reader = quillmere.BytesReader(channel_name, enable_zero_copy=True)
    write_handle = writer.try_acquire()
    assert isinstance(write_handle, quillmere.WriteHandle)
    assert not hasattr(write_handle, "__dict__")
    with pytest.raises(TypeError):
        weakref.ref(write_handle)
    write_handle.commit()
    read_handle = reader.try_acquire()
    assert isinstance(read_handle, quillmere.ReadHandle)
    assert not hasattr(read_handle, "__dict__")
    read_handle.release()


# ---------------------------------------------------------------- docstrings


@pytest.mark.parametrize(("cls", "member", "full"), DOCSTRINGS, ids=lambda v: str(v)[:20])
def test_docstrings_and_text_signatures(cls: str, member: str | None, full: str) -> None:
    obj = getattr(quillmere, cls)
    if member is not None:
        obj = getattr(obj, member)
    signature, doc = split_signature(full)
    assert obj.__text_signature__ == signature
    assert (obj.__doc__ or None) == doc


@pytest.mark.parametrize(("cls", "member", "doc"), PROPERTY_DOCS, ids=lambda v: str(v)[:20])
def test_property_docstrings(cls: str, member: str, doc: str) -> None:
    prop = getattr(quillmere, cls).__dict__[member]
    assert prop.__doc__ == doc


@pytest.mark.parametrize(
    ("cls", "expected"),
    [
        ("BytesWriter", "(name, *, entry_length=None, entry_count=None, delayed_connect=False)"),
        ("BytesReader", "(name, *, entry_length=None, entry_count=None, delayed_connect=True, "
         "enable_zero_copy=False)"),
    ],
)
def test_inspect_reads_constructor_signatures(cls: str, expected: str) -> None:
    assert str(inspect.signature(getattr(quillmere, cls))) == expected


def test_inspect_reads_method_signatures() -> None:
    # `$self` in a text signature is positional-only.
    assert str(inspect.signature(quillmere.Float64Writer.write)) == "(self, /, data)"
    assert str(inspect.signature(quillmere.Float64Reader.read)) == (
        "(self, /, *, out=None, from_entry_seq=None)"
    )


def test_unlink_docstring_and_signature() -> None:
    signature, doc = split_signature(UNLINK_DOC)
    assert quillmere.unlink.__text_signature__ == signature == "(name)"
    assert quillmere.unlink.__doc__ == doc
    assert str(inspect.signature(quillmere.unlink)) == "(name)"
