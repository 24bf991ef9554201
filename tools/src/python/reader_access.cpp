// The one place that couples the companion to the module's internals: the module's readers
// expose no channel name or mapping, so we check that an object is exactly one of the
// module's reader classes and then read its endpoint through the instance layout the module
// itself uses (quillmere/src/python/objects.hpp; both extensions are built from this tree by
// the same compiler). Like the module's own methods, we touch the endpoint only on the
// reader's owning thread and under its exclusive borrow.
#include "tools/src/python/reader_access.hpp"

#include "quillmere/src/python/objects.hpp"
#include "tools/src/python/support.hpp"

namespace quillmere_tools::python {

namespace {

PyObject* bytes_reader_type = nullptr;  // strong references, kept for the process
PyObject* float64_reader_type = nullptr;

// The reader object, or nullptr with TypeError / RuntimeError set.
quillmere::python::ReaderObject* checked_reader(PyObject* object) noexcept {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  if (type != bytes_reader_type && type != float64_reader_type) {
    PyErr_Format(PyExc_TypeError,
                 "expected a quillmere.BytesReader or quillmere.Float64Reader, got %R", type);
    return nullptr;
  }
  auto* reader = quillmere::python::as_reader(object);
  // A fork child's copy keeps the owning thread's id: only the process tells it apart, and it
  // must not connect or claim anything for the child (the roles are the parent's).
  const quillmere::python::Binding& binding = reader->binding;
  if (static_cast<std::uint64_t>(binding.owner_process) != process_id()) {
    PyErr_Format(PyExc_RuntimeError,
                 "%s was created in process %d and cannot be used in a fork child; create a new "
                 "one in the child",
                 binding.type_path, static_cast<int>(binding.owner_process));
    return nullptr;
  }
  if (!binding.on_owner_thread()) {
    PyErr_SetString(PyExc_RuntimeError,
                    "a reader can only be waited on from the thread that created it");
    return nullptr;
  }
  return reader;
}

// The exclusive borrow as the module's methods take it, without the module's exception
// helpers: -1 is exclusive, 0 free.
class Borrow {
 public:
  explicit Borrow(quillmere::python::Binding& binding) noexcept : binding_(binding) {
    std::int64_t expected = 0;
    // acquire: pairs with the release of the module's borrow guards
    held_ = std::atomic_ref<std::int64_t>(binding_.borrow)
                .compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                         std::memory_order_relaxed);
    if (!held_) PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
  }
  ~Borrow() {
    // release: pairs with the acquire of the next borrow
    if (held_) std::atomic_ref<std::int64_t>(binding_.borrow).store(0, std::memory_order_release);
  }
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  explicit operator bool() const noexcept { return held_; }

 private:
  quillmere::python::Binding& binding_;
  bool held_;
};

}  // namespace

int add_reader_access(PyObject*) {
  if (bytes_reader_type != nullptr) return 0;
  PyObject* module = PyImport_ImportModule("quillmere");
  if (module == nullptr) return -1;
  bytes_reader_type = PyObject_GetAttrString(module, "BytesReader");
  float64_reader_type = PyObject_GetAttrString(module, "Float64Reader");
  Py_DECREF(module);
  return bytes_reader_type != nullptr && float64_reader_type != nullptr ? 0 : -1;
}

std::optional<ReaderState> reader_state(PyObject* object) noexcept {
  auto* reader = checked_reader(object);
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
  auto* reader = checked_reader(object);
  if (reader == nullptr) return nullptr;
  const std::string& name = reader->endpoint.name();
  return PyUnicode_DecodeUTF8(name.data(), static_cast<Py_ssize_t>(name.size()), "replace");
}

}  // namespace quillmere_tools::python
