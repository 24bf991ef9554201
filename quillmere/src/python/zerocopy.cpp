// ReadHandle and WriteHandle: one ring slot each, exported in place through the buffer protocol.
//
// The two classes share their layout and their export bookkeeping (one template over a `Side`
// traits struct); they differ in the slot they cover, how they finish (release / commit), what a
// finished handle says, and whether exports are writable.
//
// Lifetime rules, which together keep every view inside a live mapping and a slot that nobody
// else can recycle:
//   - an export holds a strong reference to its handle (`view->obj`);
//   - a handle counts its live exports and refuses to finish while the count is not 0;
//   - a handle holds a strong reference to its reader or writer, which owns the mapping.
#include "quillmere/src/python/zerocopy.hpp"

#include <cstddef>
#include <cstdint>
#include <new>
#include <optional>
#include <utility>

#include "quillmere-core/src/format.hpp"
#include "quillmere/src/python/binding.hpp"
#include "quillmere/src/python/class_support.hpp"
#include "quillmere/src/python/errors.hpp"
#include "quillmere/src/python/objects.hpp"

namespace quillmere::python::zerocopy {
namespace {

using quillmere_core::format;
using quillmere_core::reader::ReadSlot;
using quillmere_core::writer::WriteSlot;

struct ReadSide {
  using Slot = ReadSlot;
  static constexpr const char* type_path = "quillmere::python::zerocopy::PyReadHandle";
  static constexpr const char* finished = "this handle has already been released";
  static constexpr bool read_only = true;
  // Nothing in a read export can change the handle, so a shared borrow is enough.
  static SharedBorrow borrow_for_export(Binding& binding) { return SharedBorrow::take(binding); }
};

struct WriteSide {
  using Slot = WriteSlot;
  static constexpr const char* type_path = "quillmere::python::zerocopy::PyWriteHandle";
  static constexpr const char* finished = "this handle has already been committed";
  static constexpr bool read_only = false;
  // A writable export hands out the right to change the slot: exclusive, like commit.
  static ExclusiveBorrow borrow_for_export(Binding& binding) {
    return ExclusiveBorrow::take(binding);
  }
};

// What every export of a handle shows besides its address. It is fixed for the handle's life and
// the handle outlives each of its exports (they hold it), so the views' shape and strides point
// straight in here instead of into a record allocated per export.
struct ViewLayout {
  const char* format;  // "B" or "d", a string literal
  Py_ssize_t itemsize;
  Py_ssize_t shape;   // items: payload bytes / itemsize (entry_length is a multiple of 8)
  Py_ssize_t stride;  // itemsize: one contiguous dimension
};

// The C++ part of a handle, constructed in place after allocation and destroyed on the owning
// thread only (see dealloc).
template <class Side>
struct HandleState {
  Binding binding;
  std::optional<typename Side::Slot> slot;  // absent once released / committed
  Ref owner;                                // the reader or writer object; kept until dealloc
  int tag;                                  // 0 bytes class, 1 float64 class
  ViewLayout layout;
  std::uint64_t entry_seq;  // read handles: the held entry's number, kept after release
  Py_ssize_t exports;       // live buffer exports
};

template <class Side>
struct HandleObject {
  PyObject_HEAD HandleState<Side> state;
};

template <class Side>
HandleState<Side>& state_of(PyObject* self) {
  return reinterpret_cast<HandleObject<Side>*>(self)->state;
}

// Keeps an exception that was pending on entry (a view released while an exception unwinds)
// out of the way of the one a failed check sets and reports.
class PendingError {
 public:
  PendingError() { PyErr_Fetch(&type_, &value_, &traceback_); }
  ~PendingError() { PyErr_Restore(type_, value_, traceback_); }
  PendingError(const PendingError&) = delete;
  PendingError& operator=(const PendingError&) = delete;

 private:
  PyObject* type_;
  PyObject* value_;
  PyObject* traceback_;
};

void outstanding_exports(const char* operation, Py_ssize_t count) {
  const std::string message = format(
      "cannot {} this handle: {} buffer export{} still outstanding. Every memoryview or numpy "
      "array derived from `payload` must be dropped first (`del arr`), since the ring slot is "
      "recycled as soon as the handle is finished. Copy the data out (`bytes(...)`, "
      "`numpy.array(...)`) if it needs to outlive the handle.",
      operation, count, count == 1 ? " is" : "s are");
  PyErr_SetString(PyExc_BufferError, message.c_str());
}

int fill_view(Py_buffer* view, int flags, PyObject* handle, std::byte* address,
              std::uint64_t length, ViewLayout& layout, bool read_only) {
  if (view == nullptr) {
    PyErr_SetString(PyExc_BufferError, "buffer view is null");
    return -1;
  }
  if (read_only && (flags & PyBUF_WRITABLE) == PyBUF_WRITABLE) {
    PyErr_SetString(PyExc_BufferError, "a read handle exports a read-only buffer");
    return -1;
  }
  view->buf = address;
  view->obj = Py_NewRef(handle);
  view->len = static_cast<Py_ssize_t>(length);
  view->readonly = read_only ? 1 : 0;
  view->itemsize = layout.itemsize;
  view->ndim = 1;
  const bool with_format = (flags & PyBUF_FORMAT) == PyBUF_FORMAT;
  view->format = with_format ? const_cast<char*>(layout.format) : nullptr;
  view->shape = (flags & PyBUF_ND) == PyBUF_ND ? &layout.shape : nullptr;
  view->strides = (flags & PyBUF_STRIDES) == PyBUF_STRIDES ? &layout.stride : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

// A write slot claimed before the writer's latest commit may have been published by that commit
// (a second handle over the same slot, or a `write`) and even claimed afresh since: writing
// through it would corrupt somebody else's entry. The ring writer's commit refuses such a slot
// by the same test; new exports of it are refused here.
bool slot_is_stale(const HandleState<WriteSide>& handle) {
  auto* ring = as_writer(handle.owner.get())->endpoint.ring();
  return ring == nullptr || ring->last_entry_seq() != handle.slot->claimed_after;
}

bool slot_is_stale(const HandleState<ReadSide>&) {
  return false;
}

template <class Side>
int get_buffer(PyObject* self, Py_buffer* view, int flags) {
  auto& handle = state_of<Side>(self);
  if (!check_thread(handle.binding)) return -1;
  auto guard = Side::borrow_for_export(handle.binding);
  if (!guard) return -1;
  if (!handle.slot) {
    PyErr_SetString(PyExc_BufferError, Side::finished);
    return -1;
  }
  if (slot_is_stale(handle)) {
    PyErr_SetString(PyExc_BufferError,
                    format("write slot {} was reclaimed by a later commit; this handle can no "
                           "longer be filled",
                           handle.slot->index)
                        .c_str());
    return -1;
  }
  if (fill_view(view, flags, self, handle.slot->payload, handle.slot->length, handle.layout,
                Side::read_only) < 0)
    return -1;
  ++handle.exports;
  return 0;
}

// Never raises. The count is only touched on the owning thread, and a failed check leaves it
// high, which keeps the handle from finishing (the safe side: no slot is recycled under a view we
// cannot account for).
template <class Side>
void release_buffer(PyObject* self, Py_buffer*) {
  auto& handle = state_of<Side>(self);
  PendingError pending;
  if (!check_thread(handle.binding)) return PyErr_WriteUnraisable(self);
  auto guard = SharedBorrow::take(handle.binding);
  if (!guard) return PyErr_WriteUnraisable(self);
  if (handle.exports > 0) --handle.exports;
}

// ---- members shared by both classes ----

template <class Side>
PyObject* payload(PyObject* self, void*) {
  // The buffer request does the thread and state checks.
  return PyMemoryView_FromObject(self);
}

template <class Side>
PyObject* exports(PyObject* self, void*) {
  auto& handle = state_of<Side>(self);
  if (!check_thread(handle.binding)) return nullptr;
  auto guard = SharedBorrow::take(handle.binding);
  if (!guard) return nullptr;
  return PyLong_FromSsize_t(handle.exports);
}

template <class Side>
PyObject* enter(PyObject* self, PyObject*) {
  auto& handle = state_of<Side>(self);
  if (!check_thread(handle.binding)) return nullptr;
  auto guard = SharedBorrow::take(handle.binding);
  if (!guard) return nullptr;
  return Py_NewRef(self);
}

// Binds __exit__(exc_type=None, exc_value=None, traceback=None), each by position or keyword.
// Only exc_type matters: nullptr when omitted. False with a TypeError set.
bool bind_exit_args(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject*& exc_type) {
  static Parameters<3> params{"__exit__", {"exc_type", "exc_value", "traceback"}, 3, 0};
  Bound<3> bound;
  if (!params.bind(args, nargs, kwnames, bound)) return false;
  exc_type = bound[0];
  return true;
}

// ---- ReadHandle ----

// Shared by release(), __exit__ and finalisation; the caller holds the handle's exclusive
// borrow. False with the exception set; the handle then stays held.
bool release_slot(HandleState<ReadSide>& handle) {
  if (!handle.slot) return true;
  if (handle.exports != 0) {
    outstanding_exports("release", handle.exports);
    return false;
  }
  // The reader's own rules apply: its thread, and its exclusive borrow.
  ReaderObject* reader = as_reader(handle.owner.get());
  if (!check_thread(reader->binding)) return false;
  auto owner_guard = ExclusiveBorrow::take(reader->binding);
  if (!owner_guard) return false;
  const ReadSlot slot = *std::exchange(handle.slot, std::nullopt);
  // A held handle implies a connected reader; the check only guards the invariant.
  if (auto* ring = reader->endpoint.ring()) ring->release(slot);
  return true;
}

PyObject* read_entry_seq(PyObject* self, void*) {
  auto& handle = state_of<ReadSide>(self);
  if (!check_thread(handle.binding)) return nullptr;
  auto guard = SharedBorrow::take(handle.binding);
  if (!guard) return nullptr;
  return PyLong_FromUnsignedLongLong(handle.entry_seq);
}

PyObject* read_released(PyObject* self, void*) {
  auto& handle = state_of<ReadSide>(self);
  if (!check_thread(handle.binding)) return nullptr;
  auto guard = SharedBorrow::take(handle.binding);
  if (!guard) return nullptr;
  return PyBool_FromLong(!handle.slot);
}

PyObject* read_release(PyObject* self, PyObject*) {
  auto& handle = state_of<ReadSide>(self);
  if (!check_thread(handle.binding)) return nullptr;
  auto guard = ExclusiveBorrow::take(handle.binding);
  if (!guard || !release_slot(handle)) return nullptr;
  Py_RETURN_NONE;
}

// Releases whatever the block did; a leaked view turns into a BufferError that replaces the
// block's own exception (which becomes its __context__).
PyObject* read_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* exc_type = nullptr;
  if (!bind_exit_args(args, nargs, kwnames, exc_type)) return nullptr;
  auto& handle = state_of<ReadSide>(self);
  if (!check_thread(handle.binding)) return nullptr;
  auto guard = ExclusiveBorrow::take(handle.binding);
  if (!guard || !release_slot(handle)) return nullptr;
  Py_RETURN_FALSE;
}

// ---- WriteHandle ----

// Shared by commit() and __exit__; the caller holds the handle's exclusive borrow. The slot
// leaves the handle only once the ring has published it: a refused commit (stale slot) leaves
// the handle uncommitted, and its exports are refused from then on.
std::optional<std::uint64_t> commit_slot(HandleState<WriteSide>& handle) {
  if (!handle.slot) {
    PyErr_SetString(PyExc_ValueError, "handle has already been committed");
    return std::nullopt;
  }
  if (handle.exports != 0) {
    outstanding_exports("commit", handle.exports);
    return std::nullopt;
  }
  WriterObject* writer = as_writer(handle.owner.get());
  if (!check_thread(writer->binding)) return std::nullopt;
  auto owner_guard = ExclusiveBorrow::take(writer->binding);
  if (!owner_guard) return std::nullopt;
  auto* ring = writer->endpoint.ring();
  if (ring == nullptr) {
    raise_panic("connected");
    return std::nullopt;
  }
  auto seq = writer->endpoint.commit(*handle.slot);
  if (!seq) {
    to_py_err(std::move(seq.error()));
    return std::nullopt;
  }
  handle.slot.reset();
  return *seq;
}

PyObject* write_committed(PyObject* self, void*) {
  auto& handle = state_of<WriteSide>(self);
  if (!check_thread(handle.binding)) return nullptr;
  auto guard = SharedBorrow::take(handle.binding);
  if (!guard) return nullptr;
  return PyBool_FromLong(!handle.slot);
}

PyObject* write_commit(PyObject* self, PyObject*) {
  auto& handle = state_of<WriteSide>(self);
  if (!check_thread(handle.binding)) return nullptr;
  auto guard = ExclusiveBorrow::take(handle.binding);
  if (!guard) return nullptr;
  const auto seq = commit_slot(handle);
  return seq ? PyLong_FromUnsignedLongLong(*seq) : nullptr;
}

// Commits on a clean exit; a block that raised abandons the entry (the slot stays claimed and
// empty, and the handle stays usable).
PyObject* write_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* exc_type = nullptr;
  if (!bind_exit_args(args, nargs, kwnames, exc_type)) return nullptr;
  auto& handle = state_of<WriteSide>(self);
  if (!check_thread(handle.binding)) return nullptr;
  auto guard = ExclusiveBorrow::take(handle.binding);
  if (!guard) return nullptr;
  if (exc_type != nullptr && exc_type != Py_None) Py_RETURN_FALSE;
  if (handle.slot && !commit_slot(handle)) return nullptr;
  Py_RETURN_FALSE;
}

// ---- finalisation ----

// On the owning thread (dealloc_bound decides): an unreleased read slot goes back to the ring;
// if that fails the error is dropped and the slot stays held. An uncommitted write slot is
// simply left claimed and empty: the writer reclaims it on its next write.
void destroy_read_contents(PyObject* self) {
  auto& handle = state_of<ReadSide>(self);
  {
    PendingError pending;
    if (!release_slot(handle)) PyErr_Clear();
  }
  handle.~HandleState();
}

void destroy_write_contents(PyObject* self) {
  state_of<WriteSide>(self).~HandleState();
}

template <class Side, void (*destroy_contents)(PyObject*)>
void dealloc(PyObject* self) {
  dealloc_bound(self, state_of<Side>(self).binding, destroy_contents);
}

// ---- construction ----

// Takes `owner` only once the object exists, so that on failure the caller still holds it
// while it gives the slot back.
template <class Side>
PyObject* make_handle(PyTypeObject* type, Ref& owner, int tag, const typename Side::Slot& slot,
                      std::uint64_t entry_seq, const char* format, Py_ssize_t itemsize) {
  if (type == nullptr) return nullptr;
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  PyObject* self = alloc(type, 0);
  if (self == nullptr) return nullptr;
  new (&state_of<Side>(self)) HandleState<Side>{
      Binding::for_current_thread(Side::type_path),
      slot,
      std::move(owner),
      tag,
      ViewLayout{format, itemsize, static_cast<Py_ssize_t>(slot.length) / itemsize, itemsize},
      entry_seq,
      0,
  };
  return self;
}

// ---- type objects ----

constexpr const char* kReadHandleDoc =
    "A borrowed, in-place view of one committed entry (zero-copy read path).\n\nHanded out by "
    "`BytesReader.try_acquire()` and\n`Float64Reader.try_acquire()`. The slot's `entry_seq` is "
    "negative for as\nlong as the handle is held, so the writer skips it and the payload "
    "cannot\nchange underfoot. Releasing is mandatory — an unreleased slot is retired\nfrom the "
    "ring — so prefer the context manager:\n\n```python\nwith reader.try_acquire() as handle:\n"
    "    total = numpy.asarray(handle.payload).sum()\n```\n\nThe handle exports the buffer "
    "protocol, so every view derived from\n`payload` keeps it alive and counted. `release()` "
    "raises `BufferError`\nrather than recycling a slot somebody is still reading, which means "
    "a\n`numpy` array must not survive the `with` block:\n\n```python\nwith reader.try_acquire() "
    "as handle:\n    arr = numpy.asarray(handle.payload)\n    ...\n    del arr          # "
    "required: `arr` aliases the ring slot\n```";

constexpr const char* kWriteHandleDoc =
    "An exclusive, not-yet-published view of one ring slot (zero-copy write path).\n\nHanded "
    "out by `BytesWriter.try_acquire()` and\n`Float64Writer.try_acquire()`. The slot's "
    "`entry_seq` is `0` while the\nhandle is held, so readers skip it. Fill `payload` in place "
    "and call\n`commit()`; an abandoned handle simply leaves the slot empty for the next\nwrite."
    "\n\nUsed as a context manager, the entry is committed on a clean exit and\nabandoned if the "
    "block raises:\n\n```python\nwith writer.try_acquire() as handle:\n    "
    "numpy.asarray(handle.payload)[:] = joint_state\n```\n\nA freshly acquired slot is **not** "
    "zeroed: it still holds the bytes of the\nentry written `entry_count` writes ago. Fill every "
    "byte, or zero it first.\n\nAs on the read side, `commit()` raises `BufferError` while any "
    "view into\n`payload` is still alive.";

constexpr const char* kExportsDoc =
    "Number of `memoryview`/`numpy` views currently borrowing the payload.";
constexpr const char* kEnterDoc = "__enter__($self)\n--\n\n";
constexpr const char* kExitDoc =
    "__exit__($self, exc_type=None, exc_value=None, traceback=None)\n--\n\n";

PyGetSetDef read_getset[] = {
    {"entry_seq", entry<&read_entry_seq>, nullptr, "Sequence number of the held entry.", nullptr},
    {"payload", entry<&payload<ReadSide>>, nullptr,
     "The entry payload as a read-only `memoryview` over shared memory.\n\nTyped as `uint8` on a "
     "byte channel and `float64` on a `float64`\nchannel, so `numpy.asarray(handle.payload)` is "
     "a zero-copy typed view.\nEach access creates a fresh view; the handle cannot be released "
     "while\nany of them is alive.",
     nullptr},
    {"released", entry<&read_released>, nullptr,
     "True once the slot has been handed back to the ring.", nullptr},
    {"exports", entry<&exports<ReadSide>>, nullptr, kExportsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef read_methods[] = {
    {"release", entry<&read_release>, METH_NOARGS,
     "release($self)\n--\n\nReturn the slot to the ring. Idempotent.\n\nRaises `BufferError` if "
     "any view into `payload` is still alive; the\nhandle stays valid and can be released once "
     "they are gone."},
    {"__enter__", entry<&enter<ReadSide>>, METH_NOARGS, kEnterDoc},
    {"__exit__", fastcall_method<entry<&read_exit>>(), METH_FASTCALL | METH_KEYWORDS, kExitDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef write_getset[] = {
    {"payload", entry<&payload<WriteSide>>, nullptr,
     "The entry payload as a writable `memoryview` over shared memory.\n\nTyped as `uint8` on a "
     "byte channel and `float64` on a `float64`\nchannel, so `numpy.asarray(handle.payload)[:] = "
     "...` fills the slot in\nplace. Each access creates a fresh view; the handle cannot be "
     "committed\nwhile any of them is alive.",
     nullptr},
    {"committed", entry<&write_committed>, nullptr, "True once the entry has been published.",
     nullptr},
    {"exports", entry<&exports<WriteSide>>, nullptr, kExportsDoc, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef write_methods[] = {
    {"commit", entry<&write_commit>, METH_NOARGS,
     "commit($self)\n--\n\nPublish the entry and return its sequence number.\n\nRaises "
     "`BufferError` if any view into `payload` is still alive — writing\nthrough one after the "
     "entry is visible would corrupt a published entry."},
    {"__enter__", entry<&enter<WriteSide>>, METH_NOARGS, kEnterDoc},
    {"__exit__", fastcall_method<entry<&write_exit>>(), METH_FASTCALL | METH_KEYWORDS, kExitDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot read_slots[] = {
    {Py_tp_doc, const_cast<char*>(kReadHandleDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(entry<&dealloc<ReadSide, destroy_read_contents>>)},
    {Py_tp_methods, read_methods},
    {Py_tp_getset, read_getset},
    {Py_bf_getbuffer, reinterpret_cast<void*>(entry<&get_buffer<ReadSide>>)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(entry<&release_buffer<ReadSide>>)},
    {0, nullptr},
};

PyType_Slot write_slots[] = {
    {Py_tp_doc, const_cast<char*>(kWriteHandleDoc)},
    {Py_tp_dealloc, reinterpret_cast<void*>(entry<&dealloc<WriteSide, destroy_write_contents>>)},
    {Py_tp_methods, write_methods},
    {Py_tp_getset, write_getset},
    {Py_bf_getbuffer, reinterpret_cast<void*>(entry<&get_buffer<WriteSide>>)},
    {Py_bf_releasebuffer, reinterpret_cast<void*>(entry<&release_buffer<WriteSide>>)},
    {0, nullptr},
};

// Like every class of the module, and besides not constructible from Python: handles come only
// from try_acquire.
constexpr unsigned int kHandleFlags = kClassFlags | Py_TPFLAGS_DISALLOW_INSTANTIATION;

PyType_Spec read_spec{"quillmere.ReadHandle", sizeof(HandleObject<ReadSide>), 0, kHandleFlags,
                      read_slots};
PyType_Spec write_spec{"quillmere.WriteHandle", sizeof(HandleObject<WriteSide>), 0, kHandleFlags,
                       write_slots};

OnceObject read_type_cell;
OnceObject write_type_cell;

}  // namespace

PyTypeObject* read_handle_type() {
  return heap_type(read_type_cell, read_spec);
}

PyTypeObject* write_handle_type() {
  return heap_type(write_type_cell, write_spec);
}

PyObject* make_read_handle(PyObject* owner, int tag, const ReadSlot& slot, const char* format,
                           Py_ssize_t itemsize) {
  Ref owner_ref = Ref::steal(owner);
  PyObject* handle = make_handle<ReadSide>(read_handle_type(), owner_ref, tag, slot, slot.entry_seq,
                                           format, itemsize);
  // Without a handle nobody would ever release the pinned entry: give it back now, while
  // owner_ref still keeps the reader (and so the mapping) alive.
  if (handle == nullptr) {
    if (auto* ring = as_reader(owner)->endpoint.ring()) ring->release(slot);
  }
  return handle;
}

PyObject* make_write_handle(PyObject* owner, int tag, const WriteSlot& slot, const char* format,
                            Py_ssize_t itemsize) {
  Ref owner_ref = Ref::steal(owner);
  // An abandoned write slot needs nothing: its word stays 0 and the next write reclaims it.
  return make_handle<WriteSide>(write_handle_type(), owner_ref, tag, slot, 0, format, itemsize);
}

}  // namespace quillmere::python::zerocopy
