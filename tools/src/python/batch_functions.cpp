// read_batch(reader, out, *, seqs=None, from_entry_seq=None) -> int and
// write_batch(writer, block) -> int: many entries per call on the module's own readers and
// writers, one row of a 2-D array per entry.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <span>

#include "quillmere/src/python/binding.hpp"
#include "quillmere/src/python/unlocked_copy.hpp"
#include "tools/src/python/array_argument.hpp"
#include "tools/src/python/batches.hpp"
#include "tools/src/python/parts.hpp"
#include "tools/src/python/reader_access.hpp"
#include "tools/src/python/support.hpp"

namespace quillmere_tools::python {
namespace {

using quillmere::python::AllowThreads;
using quillmere::python::worth_unlocking;
using quillmere_core::Result;

Element element_of(PyObject* endpoint) noexcept {
  return is_float64(endpoint) ? Element::F64 : Element::U8;
}

std::uint64_t item_bytes(Element element) noexcept {
  return element == Element::U8 ? 1 : 8;
}

// False with ValueError unless each row of `rows` holds exactly one entry of `entry_length`.
bool check_row_length(const char* argument, const ArrayArgument& rows, Element element,
                      std::uint64_t entry_length) noexcept {
  const std::uint64_t items = entry_length / item_bytes(element);
  if (rows.extent(1) == items) return true;
  PyErr_Format(PyExc_ValueError,
               "argument '%s': expected rows of %llu %s elements (one entry each), got %llu",
               argument, static_cast<unsigned long long>(items), element_name(element),
               static_cast<unsigned long long>(rows.extent(1)));
  return false;
}

// Runs `work` without the interpreter lock when it copies enough bytes for that to pay.
template <class Work>
auto maybe_unlocked(std::uint64_t bytes, Work&& work) {
  if (!worth_unlocking(bytes)) return work();
  AllowThreads unlocked;
  return work();
}

// The connection attempt of a deferred endpoint makes system calls: without the lock.
template <class Endpoint>
Result<bool> connect(Endpoint& endpoint) {
  if (endpoint.connected()) return true;
  AllowThreads unlocked;
  return endpoint.ensure_connected();
}

PyObject* read_batch(PyObject*, PyObject* args, PyObject* kwargs) {
  PyObject *reader = nullptr, *out = nullptr, *seqs = Py_None, *from_object = Py_None;
  static const char* keywords[] = {"reader", "out", "seqs", "from_entry_seq", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|$OO:read_batch", const_cast<char**>(keywords),
                                   &reader, &out, &seqs, &from_object))
    return nullptr;
  std::optional<std::uint64_t> from_entry_seq;
  if (from_object != Py_None) {
    from_entry_seq = PyLong_AsUnsignedLongLong(from_object);
    if (PyErr_Occurred()) return nullptr;
  }
  const Py_ssize_t filled = read_into_rows(reader, out, seqs, from_entry_seq);
  return filled < 0 ? nullptr : PyLong_FromSsize_t(filled);
}

PyObject* write_batch(PyObject*, PyObject* args) {
  PyObject *object = nullptr, *block = nullptr;
  if (!PyArg_ParseTuple(args, "OO:write_batch", &object, &block)) return nullptr;
  WriterObject* writer = checked_writer(object, "written in batches");
  if (writer == nullptr) return nullptr;
  const Element element = element_of(object);
  ArrayArgument rows;
  if (!rows.take("block", block, element, 2, false)) return nullptr;
  Borrow borrow(writer->binding);
  if (!borrow) return nullptr;
  if (writer->handle_exports != 0) {
    PyErr_Format(PyExc_BufferError,
                 "cannot write a batch while an uncommitted WriteHandle of this writer has %zd "
                 "buffer export(s) outstanding; drop every view of its payload first",
                 writer->handle_exports);
    return nullptr;
  }
  Result<bool> connected = connect(writer->endpoint);
  if (!connected) {
    raise_channel_error(connected.error());
    return nullptr;
  }
  if (!*connected) return PyLong_FromLong(0);  // deferred and still absent: dropped, as write()
  // A row of the wrong length is refused with write()'s own error, before anything is published.
  const std::uint64_t entry_length = writer->endpoint.entry_length();
  if (const std::uint64_t row_bytes = rows.extent(1) * item_bytes(element);
      row_bytes != entry_length) {
    raise_channel_error(
        quillmere_core::writer::detail::length_mismatch(entry_length, row_bytes).error());
    return nullptr;
  }
  Result<void> written = maybe_unlocked(rows.bytes().size(),
                                        [&] { return writer->endpoint.write_rows(rows.bytes()); });
  if (!written) {
    raise_channel_error(written.error());
    return nullptr;
  }
  return PyLong_FromUnsignedLongLong(writer->endpoint.last_entry_seq());
}

PyMethodDef functions[] = {
    {"read_batch", as_cfunction(guarded<&read_batch>), METH_VARARGS | METH_KEYWORDS,
     "read_batch(reader, out, *, seqs=None, from_entry_seq=None) -> int\n--\n\nFill the rows "
     "of a 2-D `out` with the oldest entries newer than the\nreader's watermark, one entry per "
     "row, and return how many rows were\nfilled."},
    {"write_batch", guarded<&write_batch>, METH_VARARGS,
     "write_batch(writer, block) -> int\n--\n\nPublish each row of a 2-D `block` as one entry, "
     "in order, and return\nthe writer's last entry_seq."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

Py_ssize_t read_into_rows(PyObject* object, PyObject* out, PyObject* seqs_object,
                          std::optional<std::uint64_t> from_entry_seq) {
  ReaderObject* reader = checked_reader(object, "read in batches");
  if (reader == nullptr) return -1;
  const Element element = element_of(object);
  ArrayArgument rows, seqs;
  if (!rows.take("out", out, element, 2, true)) return -1;
  if (seqs_object != Py_None) {
    if (!seqs.take("seqs", seqs_object, Element::I64, 1, true)) return -1;
    if (seqs.extent(0) < rows.extent(0)) {
      PyErr_Format(PyExc_ValueError, "argument 'seqs': expected room for %llu rows, got %llu",
                   static_cast<unsigned long long>(rows.extent(0)),
                   static_cast<unsigned long long>(seqs.extent(0)));
      return -1;
    }
  }
  Borrow borrow(reader->binding);
  if (!borrow) return -1;
  Result<bool> connected = connect(reader->endpoint);
  if (!connected) {
    raise_channel_error(connected.error());
    return -1;
  }
  auto* ring = reader->endpoint.ring();
  if (!*connected || ring == nullptr) return 0;  // no channel yet
  if (!check_row_length("out", rows, element, ring->entry_length())) return -1;
  std::span<std::uint64_t> seq_words;
  if (seqs_object != Py_None)
    seq_words = {reinterpret_cast<std::uint64_t*>(seqs.bytes().data()), rows.extent(0)};
  const std::uint64_t filled = maybe_unlocked(rows.bytes().size(), [&] {
    return ring->read_rows(rows.bytes(), seq_words, from_entry_seq);
  });
  return static_cast<Py_ssize_t>(filled);
}

int add_batch_functions(PyObject* module) {
  if (add_reader_access(module) < 0) return -1;
  return PyModule_AddFunctions(module, functions);
}

}  // namespace quillmere_tools::python
