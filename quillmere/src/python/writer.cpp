// BytesWriter and Float64Writer: one class template over a traits struct.
#include "quillmere/src/python/writer.hpp"

#include <cstddef>
#include <optional>
#include <span>

#include "quillmere/src/python/arrays.hpp"
#include "quillmere/src/python/class_support.hpp"
#include "quillmere/src/python/convert.hpp"
#include "quillmere/src/python/objects.hpp"
#include "quillmere/src/python/traits.hpp"
#include "quillmere/src/python/unlocked_copy.hpp"
#include "quillmere/src/python/zerocopy.hpp"

namespace quillmere::python::writer {
namespace {

using quillmere_core::Result;
using Endpoint = quillmere::writer::RawWriter;

// One write's payload: the bytes to copy and a reference keeping their owner alive meanwhile.
struct Payload {
  std::span<const std::byte> bytes;
  Ref keep;
};

struct BytesWriterTraits : BytesChannel {
  static constexpr const char* class_name = "BytesWriter";
  static constexpr const char* qualified_name = "quillmere.BytesWriter";
  static constexpr const char* type_path = "quillmere::python::writer::PyBytesWriter";
  static constexpr const char* doc =
      "BytesWriter(name, *, entry_length=None, entry_count=None, delayed_connect=False)\n--\n\n"
      "Single-writer end of a byte-oriented Quillmere.\n\n`entry_length` is measured in bytes "
      "and must be a multiple of 8, so that\nevery slot's `entry_seq` word stays naturally "
      "aligned.";
  static constexpr const char* try_acquire_doc =
      "try_acquire($self)\n--\n\nAcquire the next ring slot for in-place construction "
      "(zero-copy path).\n\nReturns a `WriteHandle` whose `payload` is a writable `memoryview` "
      "of\n`entry_length` bytes, or `None` while a deferred channel is still\nunconnected. The "
      "entry becomes visible only on `commit()`.\n\nRaises `BlockingIOError` if every ring slot "
      "is held by a reader.";

  // `bytes` and its subclasses only; other buffers are refused.
  static bool payload(PyObject* data, Payload& out) noexcept {
    if (!PyBytes_Check(data)) [[unlikely]] {
      raise_not_instance("data", data, "bytes");
      return false;
    }
    char* buffer = nullptr;
    Py_ssize_t size = 0;
    if (PyBytes_AsStringAndSize(data, &buffer, &size) < 0) return false;
    out.bytes = std::as_bytes(std::span(buffer, static_cast<std::size_t>(size)));
    return true;  // immutable, and the caller's reference keeps it alive
  }
};

struct Float64WriterTraits : Float64Channel {
  static constexpr const char* class_name = "Float64Writer";
  static constexpr const char* qualified_name = "quillmere.Float64Writer";
  static constexpr const char* type_path = "quillmere::python::writer::PyFloat64Writer";
  static constexpr const char* doc =
      "Float64Writer(name, *, entry_length=None, entry_count=None, delayed_connect=False)\n--\n\n"
      "Single-writer end of a `float64` Quillmere.\n\n`entry_length` is measured in `float64` "
      "elements.";
  static constexpr const char* try_acquire_doc =
      "try_acquire($self)\n--\n\nAcquire the next ring slot for in-place construction "
      "(zero-copy path).\n\nReturns a `WriteHandle` whose `payload` is a writable `float64`\n"
      "`memoryview` of `entry_length` elements, or `None` while a deferred\nchannel is still "
      "unconnected. The entry becomes visible only on\n`commit()`.\n\nRaises `BlockingIOError` "
      "if every ring slot is held by a reader.";

  // A 1-D native float64 array; unless empty, aligned and contiguous.
  static bool payload(PyObject* data, Payload& out) noexcept {
    if (!check_vector("data", data, element_type, element_name)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(data);
    npy_intp length = PyArray_DIM(array, 0);
    if (length == 0) return true;
    if (!is_plain_memory(array)) {
      PyErr_SetString(PyExc_TypeError, kMisalignedArray);
      return false;
    }
    out.keep = Ref::borrow(data);  // held across the unlocked copy
    out.bytes = std::span(static_cast<const std::byte*>(PyArray_DATA(array)),
                          static_cast<std::size_t>(length) * sizeof(double));
    return true;
  }
};

constexpr const char* kWriteDoc =
    "write($self, data)\n--\n\nWrite one entry. `len(data)` must equal `entry_length`.";
constexpr const char* kLastEntrySeqDoc =
    "Sequence number of the most recently committed entry (0 if none).";

enum class WriteOutcome { Stored, Dropped, NoRing };

// Connects a deferred endpoint if it can, then copies the payload into the ring. Runs with or
// without the interpreter lock; touches nothing of Python.
Result<WriteOutcome> connect_and_write(Endpoint& endpoint, std::span<const std::byte> bytes) {
  Result<bool> connected = endpoint.ensure_connected();
  if (!connected) return std::unexpected(std::move(connected.error()));
  if (!*connected) return WriteOutcome::Dropped;  // deferred and still absent: dropped
  quillmere_core::writer::RawWriter* ring = endpoint.ring();
  if (ring == nullptr) return WriteOutcome::NoRing;
  if (Result<void> written = endpoint.write(bytes); !written)
    return std::unexpected(std::move(written.error()));
  return WriteOutcome::Stored;
}

// The interpreter lock is released around a connection attempt (system calls) and around a
// copy large enough to be worth it.
Result<WriteOutcome> write_entry(Endpoint& endpoint, std::span<const std::byte> bytes) {
  if (endpoint.connected() && !worth_unlocking(bytes.size())) [[likely]]
    return connect_and_write(endpoint, bytes);
  AllowThreads unlocked;
  return connect_and_write(endpoint, bytes);
}

template <class Traits>
struct WriterClass {
  static PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static Parameters<4> params{
        Traits::class_name, {"name", "entry_length", "entry_count", "delayed_connect"}, 1, 1};
    EndpointArguments arguments;
    if (!parse_endpoint_arguments(params, false, args, kwargs, arguments)) return nullptr;
    Result<Endpoint> endpoint =
        Endpoint::make(arguments.name, arguments.entry_length.transform(to_bytes<Traits>),
                       arguments.entry_count, Traits::dtype, arguments.delayed_connect);
    if (!endpoint) {
      to_py_err(std::move(endpoint.error()));
      return nullptr;
    }
    return new_instance<WriterObject>(type, Traits::type_path, std::move(*endpoint));
  }

  static PyObject* write(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
    static Parameters<1> params{"write", {"data"}, 1, 1};
    Bound<1> bound;
    if (!params.bind(args, nargs, kwnames, bound)) return nullptr;
    WriterObject* writer = as_writer(self);
    if (!check_thread(writer->binding)) return nullptr;
    ExclusiveBorrow borrow = ExclusiveBorrow::take(writer->binding);
    if (!borrow) return nullptr;
    Payload payload;
    if (!Traits::payload(bound[0], payload)) return nullptr;
    Result<WriteOutcome> outcome = write_entry(writer->endpoint, payload.bytes);
    if (!outcome) {
      to_py_err(std::move(outcome.error()));
      return nullptr;
    }
    if (*outcome == WriteOutcome::NoRing) {
      raise_panic("connected");
      return nullptr;
    }
    Py_RETURN_NONE;
  }

  static PyObject* try_acquire(PyObject* self, PyObject*) {
    WriterObject* writer = as_writer(self);
    if (!check_thread(writer->binding)) return nullptr;
    ExclusiveBorrow borrow = ExclusiveBorrow::take(writer->binding, OnConflict::Panic);
    if (!borrow) return nullptr;
    Ref owner = Ref::borrow(self);  // the handle's reference to this writer
    Result<bool> connected = writer->endpoint.ensure_connected();
    if (!connected) {
      to_py_err(std::move(connected.error()));
      return nullptr;
    }
    if (!*connected) Py_RETURN_NONE;
    quillmere_core::writer::RawWriter* ring = writer->endpoint.ring();
    if (ring == nullptr) {
      raise_panic("connected");
      return nullptr;
    }
    Result<quillmere_core::writer::WriteSlot> slot = ring->try_acquire();
    if (!slot) {
      to_py_err(std::move(slot.error()));
      return nullptr;
    }
    borrow.give_back();
    return zerocopy::make_write_handle(owner.release(), Traits::owner_tag, *slot, Traits::format,
                                       Traits::itemsize);
  }

  static std::uint64_t entry_length(WriterObject& writer) {
    return writer.endpoint.entry_length() / Traits::unit;
  }
  static std::uint64_t last_entry_seq(WriterObject& writer) {
    return writer.endpoint.last_entry_seq();
  }

  static inline PyMethodDef methods[] = {
      {"write", fastcall_method<entry<&write>>(), METH_FASTCALL | METH_KEYWORDS, kWriteDoc},
      {"try_acquire", entry<&try_acquire>, METH_NOARGS, Traits::try_acquire_doc},
      {nullptr, nullptr, 0, nullptr},
  };
  static inline PyGetSetDef properties[] = {
      {"entry_length", entry<&u64_property<WriterObject, &entry_length>>, nullptr,
       Traits::entry_length_doc, nullptr},
      {"last_entry_seq", entry<&u64_property<WriterObject, &last_entry_seq>>, nullptr,
       kLastEntrySeqDoc, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static inline PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(Traits::doc)},
      {Py_tp_new, reinterpret_cast<void*>(entry<&create>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(entry<&dealloc_instance<WriterObject>>)},
      {Py_tp_methods, methods},
      {Py_tp_getset, properties},
      {0, nullptr},
  };
  static inline PyType_Spec spec = {Traits::qualified_name, sizeof(WriterObject), 0, kClassFlags,
                                    slots};
  static inline OnceObject cell;
};

}  // namespace

PyTypeObject* bytes_writer_type() noexcept {
  using Class = WriterClass<BytesWriterTraits>;
  return heap_type(Class::cell, Class::spec);
}

PyTypeObject* float64_writer_type() noexcept {
  using Class = WriterClass<Float64WriterTraits>;
  return heap_type(Class::cell, Class::spec);
}

}  // namespace quillmere::python::writer
