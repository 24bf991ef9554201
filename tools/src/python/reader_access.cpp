// The one place that couples the companion to the module's internals: the module's readers
// and writers expose no channel name or mapping, so we check that an object is exactly one of
// the module's classes and then reach its endpoint through the instance layout the module
// itself uses (quillmere/src/python/objects.hpp; both extensions are built from this tree by
// the same compiler). Like the module's own methods, we touch the endpoint only on the
// object's owning thread and under its exclusive borrow.
#include "tools/src/python/reader_access.hpp"

#include "tools/src/python/support.hpp"

namespace quillmere_tools::python {

namespace {

// The module's classes, strong references kept for the process.
struct Classes {
  PyObject* bytes = nullptr;
  PyObject* float64 = nullptr;
};
Classes readers, writers;

int look_up(PyObject* module, Classes& classes, const char* bytes, const char* float64) {
  classes.bytes = PyObject_GetAttrString(module, bytes);
  classes.float64 = PyObject_GetAttrString(module, float64);
  return classes.bytes != nullptr && classes.float64 != nullptr ? 0 : -1;
}

// `object` as Object when its class is one of `classes` and it is used where it was made.
template <class Object>
Object* checked(PyObject* object, const Classes& classes, const char* kind, const char* use) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  if (type != classes.bytes && type != classes.float64) {
    PyErr_Format(PyExc_TypeError, "expected a quillmere.Bytes%s or quillmere.Float64%s, got %R",
                 kind, kind, type);
    return nullptr;
  }
  auto* checked = reinterpret_cast<Object*>(object);
  // A fork child's copy keeps the owning thread's id: only the process tells it apart, and it
  // must not connect, claim or publish anything for the child (the roles are the parent's).
  const quillmere::python::Binding& binding = checked->binding;
  if (static_cast<std::uint64_t>(binding.owner_process) != process_id()) {
    PyErr_Format(PyExc_RuntimeError,
                 "%s was created in process %d and cannot be used in a fork child; create a new "
                 "one in the child",
                 binding.type_path, static_cast<int>(binding.owner_process));
    return nullptr;
  }
  if (!binding.on_owner_thread()) {
    PyErr_Format(PyExc_RuntimeError, "a %s can only be %s from the thread that created it",
                 kind[0] == 'R' ? "reader" : "writer", use);
    return nullptr;
  }
  return checked;
}

}  // namespace

int add_reader_access(PyObject*) {
  if (readers.bytes != nullptr) return 0;
  PyObject* module = PyImport_ImportModule("quillmere");
  if (module == nullptr) return -1;
  const int found = look_up(module, readers, "BytesReader", "Float64Reader") == 0 &&
                            look_up(module, writers, "BytesWriter", "Float64Writer") == 0
                        ? 0
                        : -1;
  Py_DECREF(module);
  return found;
}

ReaderObject* checked_reader(PyObject* object, const char* use) noexcept {
  return checked<ReaderObject>(object, readers, "Reader", use);
}

WriterObject* checked_writer(PyObject* object, const char* use) noexcept {
  return checked<WriterObject>(object, writers, "Writer", use);
}

bool is_float64(PyObject* object) noexcept {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  return type == readers.float64 || type == writers.float64;
}

Borrow::Borrow(quillmere::python::Binding& binding) noexcept : binding_(binding) {
  std::int64_t expected = 0;
  // acquire: pairs with the release of the module's borrow guards
  held_ = std::atomic_ref<std::int64_t>(binding_.borrow)
              .compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                       std::memory_order_relaxed);
  if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
}

Borrow::~Borrow() {
  // release: pairs with the acquire of the next borrow
  if (held_) std::atomic_ref<std::int64_t>(binding_.borrow).store(0, std::memory_order_release);
}

std::optional<ReaderState> reader_state(PyObject* object) noexcept {
  auto* reader = checked_reader(object, "waited on");
  if (reader == nullptr) return std::nullopt;
  Borrow borrow(reader->binding);
  if (!borrow) return std::nullopt;
  quillmere::reader::RawReader& endpoint = reader->endpoint;
  auto connected = endpoint.ensure_connected();
  if (!connected) {
    raise_channel_error(connected.error());
    return std::nullopt;
  }
  if (!*connected || endpoint.ring() == nullptr) return ReaderState{std::nullopt, 0};
  const std::uint64_t length = endpoint.ring()->entry_length();
  const std::uint64_t count = endpoint.ring()->entry_count();
  return ReaderState{make_bell(endpoint.base(), endpoint.mapped_size(), length, count),
                     endpoint.last_entry_seq(),
                     endpoint.fd(),
                     endpoint.mapped_size(),
                     length,
                     count};
}

PyObject* reader_channel_name(PyObject* object) noexcept {
  auto* reader = checked_reader(object, "waited on");
  if (reader == nullptr) return nullptr;
  const std::string& name = reader->endpoint.name();
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
}

}  // namespace quillmere_tools::python
