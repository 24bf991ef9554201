// BytesReader and Float64Reader: one class template over a traits struct.
#include "quillmere/src/python/reader.hpp"

#include <cstddef>
#include <optional>
#include <span>

#include "quillmere/src/python/arguments.hpp"
#include "quillmere/src/python/arrays.hpp"
#include "quillmere/src/python/class_support.hpp"
#include "quillmere/src/python/convert.hpp"
#include "quillmere/src/python/objects.hpp"
#include "quillmere/src/python/traits.hpp"
#include "quillmere/src/python/unlocked_copy.hpp"
#include "quillmere/src/python/zerocopy.hpp"

namespace quillmere::python::reader {
namespace {

using quillmere_core::format;
using quillmere_core::Result;
using Endpoint = quillmere::reader::RawReader;

// Where one read copies to: the payload object it returns and that object's bytes.
struct Destination {
  Ref object;
  std::span<std::byte> bytes;
};

struct BytesReaderTraits : BytesChannel {
  static constexpr const char* class_name = "BytesReader";
  static constexpr const char* qualified_name = "quillmere.BytesReader";
  static constexpr const char* type_path = "quillmere::python::reader::PyBytesReader";
  static constexpr const char* doc =
      "BytesReader(name, *, entry_length=None, entry_count=None, delayed_connect=True, "
      "enable_zero_copy=False)\n--\n\nReader end of a byte-oriented Quillmere.";
  static constexpr const char* read_doc =
      "read($self, *, out=None, from_entry_seq=None)\n--\n\nRead the next entry newer than the "
      "watermark.\n\nReturns `(entry_seq, payload)` for exactly one entry, or `None` when\n"
      "nothing newer is available. `payload` is a `bytes` object unless a\npre-allocated `out` "
      "array is supplied, in which case it is filled in\nplace and returned.\n\n`out` must be a "
      "contiguous 1-D `uint8` array of `entry_length` elements.\n`from_entry_seq` overrides the "
      "reader's own watermark.";
  static constexpr const char* try_acquire_doc =
      "try_acquire($self, *, from_entry_seq=None)\n--\n\nAcquire the next entry newer than the "
      "watermark (zero-copy path).\n\nReturns a `ReadHandle` borrowing the entry in place, or "
      "`None` when\nnothing newer is available. `from_entry_seq` overrides the reader's own\n"
      "watermark, exactly as for `read()`.\n\nSingle-reader only: the slot is pinned by driving "
      "its `entry_seq`\nnegative, a state only one reader can own. The handle must be released.";

  // A new `bytes` of `length` bytes, filled in place before anybody else can see it.
  static bool new_payload(std::uint64_t length, Destination& out) noexcept {
    out.object = Ref::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(length)));
    if (!out.object) return false;
    char* data = PyBytes_AsString(out.object.get());
    if (data == nullptr) return false;
    out.bytes = std::as_writable_bytes(std::span(data, static_cast<std::size_t>(length)));
    return true;
  }
};

struct Float64ReaderTraits : Float64Channel {
  static constexpr const char* class_name = "Float64Reader";
  static constexpr const char* qualified_name = "quillmere.Float64Reader";
  static constexpr const char* type_path = "quillmere::python::reader::PyFloat64Reader";
  static constexpr const char* doc =
      "Float64Reader(name, *, entry_length=None, entry_count=None, delayed_connect=True, "
      "enable_zero_copy=False)\n--\n\nReader end of a `float64` Quillmere.";
  static constexpr const char* read_doc =
      "read($self, *, out=None, from_entry_seq=None)\n--\n\nRead the next entry newer than the "
      "watermark.\n\nReturns `(entry_seq, payload)` for exactly one entry, or `None` when\n"
      "nothing newer is available. `payload` is a 1-D `float64` array of\n`entry_length` "
      "elements \xe2\x80\x94 the pre-allocated `out` array when one is\nsupplied, otherwise a "
      "freshly allocated one.\n\n`out` must be a contiguous 1-D `float64` array of "
      "`entry_length`\nelements. `from_entry_seq` overrides the reader's own watermark.";
  static constexpr const char* try_acquire_doc =
      "try_acquire($self, *, from_entry_seq=None)\n--\n\nAcquire the next entry newer than the "
      "watermark (zero-copy path).\n\nReturns a `ReadHandle` borrowing the entry in place as a "
      "`float64`\n`memoryview`, or `None` when nothing newer is available.\n`from_entry_seq` "
      "overrides the reader's own watermark, exactly as for\n`read()`.\n\nSingle-reader only: "
      "the slot is pinned by driving its `entry_seq`\nnegative, a state only one reader can own. "
      "The handle must be released.";

  // A new 1-D float64 array of length / 8 elements. Not zero-filled: every byte is copied over,
  // and the array is dropped unseen when nothing is read.
  static bool new_payload(std::uint64_t length, Destination& out) noexcept {
    npy_intp elements = static_cast<npy_intp>(length / unit);
    out.object = Ref::steal(PyArray_SimpleNew(1, &elements, NPY_DOUBLE));
    if (!out.object) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(out.object.get());
    out.bytes = std::span(static_cast<std::byte*>(PyArray_DATA(array)), length);
    return true;
  }
};

constexpr const char* kLastEntrySeqDoc =
    "Sequence number of the last entry this reader returned (0 if none).";
constexpr const char* kWriterEntrySeqDoc =
    "The writer's high watermark, straight from the segment header.";

// Checks a caller's `out` (already known to be a 1-D array of the right dtype) against the
// connected channel, in this order: contiguity, element count, alignment, writeability. Nothing
// is copied into an array that fails any of them.
bool use_out(PyObject* out, std::uint64_t length, std::uint64_t unit, Destination& destination) {
  auto* array = reinterpret_cast<PyArrayObject*>(out);
  if (!is_contiguous(array)) {
    PyErr_SetString(PyExc_ValueError, "out must be a contiguous array");
    return false;
  }
  std::uint64_t elements = length / unit;
  if (static_cast<std::uint64_t>(PyArray_SIZE(array)) != elements) {
    raise_message(PyExc_ValueError, format("out must hold exactly {} elements, got {}", elements,
                                           PyArray_SIZE(array)));
    return false;
  }
  if (!is_plain_memory(array)) {
    PyErr_SetString(PyExc_TypeError, kMisalignedArray);
    return false;
  }
  if (!PyArray_ISWRITEABLE(array)) {
    PyErr_SetString(PyExc_ValueError, "out must be a writeable array");
    return false;
  }
  destination.object = Ref::borrow(out);
  destination.bytes = std::span(static_cast<std::byte*>(PyArray_DATA(array)), length);
  return true;
}

// The validated copy out of the ring, without the interpreter lock when the entry is large.
Result<std::optional<std::uint64_t>> copy_entry(quillmere_core::reader::RawReader& ring,
                                                std::span<std::byte> destination,
                                                std::optional<std::uint64_t> from_entry_seq) {
  if (!worth_unlocking(destination.size())) [[likely]]
    return ring.read_into(destination, from_entry_seq);
  AllowThreads unlocked;
  return ring.read_into(destination, from_entry_seq);
}

// (entry_seq, payload), taking over `payload`.
PyObject* entry_tuple(std::uint64_t entry_seq, Ref payload) noexcept {
  Ref number = Ref::steal(PyLong_FromUnsignedLongLong(entry_seq));
  if (!number) return nullptr;
  PyObject* tuple = PyTuple_New(2);
  if (tuple == nullptr) return nullptr;
  PyTuple_SetItem(tuple, 0, number.release());  // steals; cannot fail on a fresh 2-tuple
  PyTuple_SetItem(tuple, 1, payload.release());
  return tuple;
}

template <class Traits>
struct ReaderClass {
  static PyObject* create(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    static Parameters<5> params{
        Traits::class_name,
        {"name", "entry_length", "entry_count", "delayed_connect", "enable_zero_copy"},
        1,
        1};
    EndpointArguments arguments;
    if (!parse_endpoint_arguments(params, true, args, kwargs, arguments)) return nullptr;
    auto make = arguments.enable_zero_copy ? &Endpoint::make_zero_copy : &Endpoint::make;
    Result<Endpoint> endpoint =
        make(arguments.name, arguments.entry_length.transform(to_bytes<Traits>),
             arguments.entry_count, Traits::dtype, arguments.delayed_connect);
    if (!endpoint) {
      to_py_err(std::move(endpoint.error()));
      return nullptr;
    }
    return new_instance<ReaderObject>(type, Traits::type_path, std::move(*endpoint));
  }

  static PyObject* read(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
    static Parameters<2> params{"read", {"out", "from_entry_seq"}, 0, 0};
    Bound<2> bound;
    if (!params.bind(args, nargs, kwnames, bound)) return nullptr;
    ReaderObject* reader = as_reader(self);
    if (!check_thread(reader->binding)) return nullptr;
    ExclusiveBorrow borrow = ExclusiveBorrow::take(reader->binding);
    if (!borrow) return nullptr;
    PyObject* out = bound[0] == Py_None ? nullptr : bound[0];
    if (out && !check_vector("out", out, Traits::element_type, Traits::element_name))
      return nullptr;
    std::optional<std::uint64_t> from_entry_seq;
    if (!to_optional_u64("from_entry_seq", bound[1], from_entry_seq)) return nullptr;
    return read_connected(reader->endpoint, out, from_entry_seq);
  }

  // read() from the connection attempt on, under the caller's exclusive borrow.
  static PyObject* read_connected(Endpoint& endpoint, PyObject* out,
                                  std::optional<std::uint64_t> from_entry_seq) {
    Result<bool> connected = endpoint.ensure_connected();
    if (!connected) {
      to_py_err(std::move(connected.error()));
      return nullptr;
    }
    if (!*connected) Py_RETURN_NONE;  // `out` is not looked at any further
    quillmere_core::reader::RawReader* ring = endpoint.ring();
    if (ring == nullptr) {
      raise_panic("connected");
      return nullptr;
    }
    // Nothing newer: answer before allocating a payload that would only be thrown away (an
    // `out` is still checked first, as it would be by a read that finds something).
    if (!out && !ring->has_newer(from_entry_seq)) Py_RETURN_NONE;
    Destination destination;
    if (!(out ? use_out(out, ring->entry_length(), Traits::unit, destination)
              : Traits::new_payload(ring->entry_length(), destination)))
      return nullptr;
    Result<std::optional<std::uint64_t>> got = copy_entry(*ring, destination.bytes, from_entry_seq);
    if (!got) {
      to_py_err(std::move(got.error()));
      return nullptr;
    }
    if (!*got) Py_RETURN_NONE;
    return entry_tuple(**got, std::move(destination.object));
  }

  static PyObject* try_acquire(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                               PyObject* kwnames) {
    static Parameters<1> params{"try_acquire", {"from_entry_seq"}, 0, 0};
    Bound<1> bound;
    if (!params.bind(args, nargs, kwnames, bound)) return nullptr;
    std::optional<std::uint64_t> from_entry_seq;  // converted before the thread check
    if (!to_optional_u64("from_entry_seq", bound[0], from_entry_seq)) return nullptr;
    ReaderObject* reader = as_reader(self);
    if (!check_thread(reader->binding)) return nullptr;
    ExclusiveBorrow borrow = ExclusiveBorrow::take(reader->binding, OnConflict::Panic);
    if (!borrow) return nullptr;
    Ref owner = Ref::borrow(self);  // the handle's reference to this reader
    auto slot = reader->endpoint.try_acquire(from_entry_seq);
    borrow.give_back();
    if (!slot) {
      to_py_err(std::move(slot.error()));
      return nullptr;
    }
    if (!*slot) Py_RETURN_NONE;
    return zerocopy::make_read_handle(owner.release(), Traits::owner_tag, **slot, Traits::format,
                                      Traits::itemsize);
  }

  static std::uint64_t entry_length(ReaderObject& reader) {
    return reader.endpoint.entry_length() / Traits::unit;
  }
  static std::uint64_t last_entry_seq(ReaderObject& reader) {
    return reader.endpoint.last_entry_seq();
  }
  static std::uint64_t writer_entry_seq(ReaderObject& reader) {
    return reader.endpoint.writer_entry_seq();
  }

  static inline PyMethodDef methods[] = {
      {"read", fastcall_method<entry<&read>>(), METH_FASTCALL | METH_KEYWORDS, Traits::read_doc},
      {"try_acquire", fastcall_method<entry<&try_acquire>>(), METH_FASTCALL | METH_KEYWORDS,
       Traits::try_acquire_doc},
      {nullptr, nullptr, 0, nullptr},
  };
  static inline PyGetSetDef properties[] = {
      {"entry_length", entry<&u64_property<ReaderObject, &entry_length>>, nullptr,
       Traits::entry_length_doc, nullptr},
      {"last_entry_seq", entry<&u64_property<ReaderObject, &last_entry_seq>>, nullptr,
       kLastEntrySeqDoc, nullptr},
      {"writer_entry_seq", entry<&u64_property<ReaderObject, &writer_entry_seq>>, nullptr,
       kWriterEntrySeqDoc, nullptr},
      {nullptr, nullptr, nullptr, nullptr, nullptr},
  };
  static inline PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(Traits::doc)},
      {Py_tp_new, reinterpret_cast<void*>(entry<&create>)},
      {Py_tp_dealloc, reinterpret_cast<void*>(entry<&dealloc_instance<ReaderObject>>)},
      {Py_tp_methods, methods},
      {Py_tp_getset, properties},
      {0, nullptr},
  };
  static inline PyType_Spec spec = {Traits::qualified_name, sizeof(ReaderObject), 0, kClassFlags,
                                    slots};
  static inline OnceObject cell;
};

}  // namespace

PyTypeObject* bytes_reader_type() noexcept {
  using Class = ReaderClass<BytesReaderTraits>;
  return heap_type(Class::cell, Class::spec);
}

PyTypeObject* float64_reader_type() noexcept {
  using Class = ReaderClass<Float64ReaderTraits>;
  return heap_type(Class::cell, Class::spec);
}

}  // namespace quillmere::python::reader
