// quillmere_tools._native.Segment: a channel opened read-only by file name inside a
// directory, for the command line; plus NotAChannelError and remove(directory, file).
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cerrno>
#include <memory>
#include <optional>
#include <string_view>

#include "tools/src/python/parts.hpp"
#include "tools/src/python/support.hpp"
#include "tools/src/segment_view.hpp"

namespace quillmere_tools::python {
namespace {

namespace metadata = quillmere_core::metadata;
namespace trailer = quillmere_core::trailer;
using quillmere::shm::ReadOnlyShmem;

constexpr const char* kNotAChannelName = "NotAChannelError";

// The view and its one copying reader; the reader points into the view's mapping.
struct Open {
  explicit Open(SegmentView opened) : view(std::move(opened)), reader(view.reader()) {}
  SegmentView view;
  quillmere_core::reader::RawReader reader;
};

struct SegmentObject {
  PyObject_HEAD Open* open;  // nullptr once closed
};

Open* open_of(PyObject* self) {
  Open* open = reinterpret_cast<SegmentObject*>(self)->open;
  if (open == nullptr) PyErr_SetString(PyExc_ValueError, "segment is closed");
  return open;
}

void raise_not_a_channel(PyTypeObject* type, std::string_view why) {
  PyObject* module = PyType_GetModule(type);
  if (module == nullptr) return;
  PyObject* error = PyObject_GetAttrString(module, kNotAChannelName);
  if (error == nullptr) return;
  PyObject* text = PyUnicode_DecodeUTF8(why.data(), static_cast<Py_ssize_t>(why.size()), "replace");
  if (text != nullptr) PyErr_SetObject(error, text);
  Py_XDECREF(text);
  Py_DECREF(error);
}

// An errno from opening: the objects that exist but can never be channels are NotAChannel,
// everything else the OSError subclass of its errno (FileNotFoundError, PermissionError, ...).
void raise_open_failure(PyTypeObject* type, int error, PyObject* file) {
  switch (error) {
    case ENODEV:
    case ELOOP:
      return raise_not_a_channel(type, "it is not a regular file");
    case EINVAL:
      return raise_not_a_channel(type, "it is empty");
    default:
      errno = error;
      PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file);
  }
}

std::string_view bytes_view(PyObject* bytes) {
  return std::string_view(PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes)));
}

// Segment(directory: bytes, file: bytes)
PyObject* segment_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  PyObject *directory = nullptr, *file = nullptr;
  static const char* keywords[] = {"directory", "file", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "SS:Segment", const_cast<char**>(keywords),
                                   &directory, &file))
    return nullptr;
  auto shmem = ReadOnlyShmem::open(bytes_view(directory), bytes_view(file));
  if (!shmem) {
    raise_open_failure(type, shmem.error(), file);
    return nullptr;
  }
  auto view = SegmentView::open(std::move(*shmem));
  if (!view) {
    if (view.error().kind == quillmere_core::ErrorKind::InvalidInput)
      raise_not_a_channel(type, view.error().message);
    else
      raise_channel_error(view.error());
    return nullptr;
  }
  return new_holding(type, &SegmentObject::open, std::make_unique<Open>(std::move(*view)));
}

void segment_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<SegmentObject*>(self)->open;
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* segment_close(PyObject* self, PyObject*) {
  auto* object = reinterpret_cast<SegmentObject*>(self);
  delete object->open;
  object->open = nullptr;
  Py_RETURN_NONE;
}

PyObject* holder_pid(const Holder& holder) {
  return PyLong_FromUnsignedLong(holder.pid);
}

PyObject* liveness_text(const Holder& holder) {
  const std::string_view name = liveness_name(holder.liveness);
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* optional_int(const std::optional<std::uint64_t>& value) {
  if (!value) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*value);
}

// [(pid, liveness), ...] of the registered waiters.
PyObject* waiting_list(const std::vector<Holder>& waiting) {
  PyObject* list = PyList_New(0);
  if (list == nullptr) return nullptr;
  for (const Holder& holder : waiting) {
    PyObject* item = Py_BuildValue("(NN)", holder_pid(holder), liveness_text(holder));
    if (item == nullptr || PyList_Append(list, item) < 0) {
      Py_XDECREF(item);
      Py_DECREF(list);
      return nullptr;
    }
    Py_DECREF(item);
  }
  return list;
}

// facts() -> dict: the header, the holders and their liveness, the trailer; taken now.
PyObject* segment_facts(PyObject* self, PyObject*) {
  Open* open = open_of(self);
  if (open == nullptr) return nullptr;
  const ChannelFacts facts = open->view.facts();
  const auto& file = open->view.file();
  const std::string_view dtype = metadata::dtype_name(facts.dtype);
  // "N" steals the new references made by the helpers; a failed one fails the whole build.
  return Py_BuildValue(
      "{s:s#,s:K,s:K,s:K,s:N,s:N,s:N,s:N,s:N,s:N,s:K,s:N,s:N,s:s,s:I,s:N,s:K}", "dtype",
      dtype.data(), static_cast<Py_ssize_t>(dtype.size()), "entry_length",
      static_cast<unsigned long long>(facts.entry_length), "entry_count",
      static_cast<unsigned long long>(facts.entry_count), "size",
      static_cast<unsigned long long>(facts.size), "owner_pid", holder_pid(facts.owner), "owner",
      liveness_text(facts.owner), "writer_pid", holder_pid(facts.writer), "writer",
      liveness_text(facts.writer), "reader_pid", holder_pid(facts.reader), "reader",
      liveness_text(facts.reader), "writer_entry_seq",
      static_cast<unsigned long long>(facts.writer_entry_seq), "waiters",
      optional_int(facts.waiters), "waiting", waiting_list(facts.waiting), "trailer_state",
      trailer::state_name(facts.trailer_state), "trailer_version",
      static_cast<unsigned>(facts.trailer_version), "record_length",
      optional_int(facts.record_length), "inode", static_cast<unsigned long long>(file.inode));
}

// census() -> (held, empty, oldest, newest)
PyObject* segment_census(PyObject* self, PyObject*) {
  Open* open = open_of(self);
  if (open == nullptr) return nullptr;
  const SlotCensus census = open->view.census();
  PyObject* held = PyList_New(static_cast<Py_ssize_t>(census.held.size()));
  if (held == nullptr) return nullptr;
  for (std::size_t i = 0; i < census.held.size(); ++i) {
    PyObject* entry_seq = PyLong_FromUnsignedLongLong(census.held[i]);
    if (entry_seq == nullptr) {
      Py_DECREF(held);
      return nullptr;
    }
    PyList_SetItem(held, static_cast<Py_ssize_t>(i), entry_seq);  // steals entry_seq
  }
  return Py_BuildValue("(NKNN)", held, static_cast<unsigned long long>(census.empty),
                       optional_int(census.oldest), optional_int(census.newest));
}

PyObject* segment_writer_entry_seq(PyObject* self, PyObject*) {
  Open* open = open_of(self);
  if (open == nullptr) return nullptr;
  return PyLong_FromUnsignedLongLong(open->view.writer_entry_seq());
}

// record() -> bytes | None: a copy of the frame-type record, None when there is none.
PyObject* segment_record(PyObject* self, PyObject*) {
  Open* open = open_of(self);
  if (open == nullptr) return nullptr;
  const auto record = open->view.record();
  if (!record) Py_RETURN_NONE;
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(record->data()),
                                   static_cast<Py_ssize_t>(record->size()));
}

// read(after) -> (entry_seq, bytes) | None: a copy of the oldest entry newer than `after`.
PyObject* segment_read(PyObject* self, PyObject* after_object) {
  Open* open = open_of(self);
  if (open == nullptr) return nullptr;
  const unsigned long long after = PyLong_AsUnsignedLongLong(after_object);
  if (after == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return nullptr;
  const auto length = static_cast<Py_ssize_t>(open->view.entry_length());
  PyObject* payload = PyBytes_FromStringAndSize(nullptr, length);
  if (payload == nullptr) return nullptr;
  auto* bytes = reinterpret_cast<std::byte*>(PyBytes_AsString(payload));
  auto got = open->reader.read_into(std::span(bytes, static_cast<std::size_t>(length)), after);
  if (!got || !*got) {
    Py_DECREF(payload);
    if (!got) {
      raise_channel_error(got.error());
      return nullptr;
    }
    Py_RETURN_NONE;
  }
  return Py_BuildValue("(KN)", static_cast<unsigned long long>(**got), payload);
}

// remove(directory: bytes, file: bytes) -> None
// rename(directory: bytes, old: bytes, new: bytes) -> None; never replaces an existing `new`.
PyObject* rename_file(PyObject*, PyObject* args) {
  PyObject *directory = nullptr, *from = nullptr, *to = nullptr;
  if (!PyArg_ParseTuple(args, "SSS:rename", &directory, &from, &to)) return nullptr;
  if (int error =
          quillmere::shm::rename_in(bytes_view(directory), bytes_view(from), bytes_view(to))) {
    errno = error;
    return PyErr_SetFromErrnoWithFilenameObjects(PyExc_OSError, from, to);
  }
  Py_RETURN_NONE;
}

PyObject* remove_file(PyObject*, PyObject* args) {
  PyObject *directory = nullptr, *file = nullptr;
  if (!PyArg_ParseTuple(args, "SS:remove", &directory, &file)) return nullptr;
  if (int error = quillmere::shm::remove_in(bytes_view(directory), bytes_view(file))) {
    errno = error;
    return PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, file);
  }
  Py_RETURN_NONE;
}

PyMethodDef segment_methods[] = {
    {"facts", guarded<&segment_facts>, METH_NOARGS,
     "facts() -> dict\n--\n\nHeader, holders with their liveness, and trailer, as of now."},
    {"census", guarded<&segment_census>, METH_NOARGS,
     "census() -> (held, empty, oldest, newest)\n--\n\nWhat the slot words say now."},
    {"writer_entry_seq", guarded<&segment_writer_entry_seq>, METH_NOARGS,
     "writer_entry_seq() -> int\n--\n\nThe writer's newest entry_seq, loaded now."},
    {"record", guarded<&segment_record>, METH_NOARGS,
     "record() -> bytes | None\n--\n\nA copy of the frame-type record, or None."},
    {"read", guarded<&segment_read>, METH_O,
     "read(after) -> (entry_seq, bytes) | None\n--\n\nA copy of the oldest entry newer than "
     "`after`, or None."},
    {"close", guarded<&segment_close>, METH_NOARGS, "close()\n--\n\nUnmaps the segment."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot segment_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<&segment_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<&segment_dealloc>)},
    {Py_tp_methods, segment_methods},
    {Py_tp_doc, const_cast<char*>("Segment(directory, file)\n--\n\nA channel's segment mapped "
                                  "read-only, looked at without a role.")},
    {0, nullptr},
};

PyType_Spec segment_spec = {
    .name = "quillmere_tools._native.Segment",
    .basicsize = sizeof(SegmentObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = segment_slots,
};

PyMethodDef functions[] = {
    {"rename", guarded<&rename_file>, METH_VARARGS,
     "rename(directory, old, new)\n--\n\nRenames a file of the directory; never replaces one."},
    {"remove", guarded<&remove_file>, METH_VARARGS,
     "remove(directory, file)\n--\n\nRemoves the file's name from the directory."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_segment_type(PyObject* module) {
  PyObject* error =
      PyErr_NewException("quillmere_tools._native.NotAChannelError", PyExc_ValueError, nullptr);
  if (error == nullptr || PyModule_AddObjectRef(module, kNotAChannelName, error) < 0) {
    Py_XDECREF(error);
    return -1;
  }
  Py_DECREF(error);
  PyObject* type = PyType_FromModuleAndSpec(module, &segment_spec, nullptr);
  if (type == nullptr) return -1;
  const int added = PyModule_AddObjectRef(module, "Segment", type);
  Py_DECREF(type);
  if (added < 0) return -1;
  return PyModule_AddFunctions(module, functions);
}

}  // namespace quillmere_tools::python
