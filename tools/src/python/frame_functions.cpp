// The frame-type record of a channel for quillmere_tools.frames: frame_record(name) and
// store_frame_record(name, record), plus the record area's capacity. The record's encoding
// belongs to the Python side; here it is bytes.
#define PY_SSIZE_T_CLEAN  // "y#" below takes a Py_ssize_t length
#include <Python.h>

#include <optional>
#include <span>
#include <vector>

#include "quillmere-core/src/trailer.hpp"
#include "tools/src/frame_record.hpp"
#include "tools/src/python/channel_argument.hpp"
#include "tools/src/python/parts.hpp"
#include "tools/src/python/support.hpp"

namespace quillmere_tools::python {
namespace {

PyObject* bytes_of(const std::vector<std::byte>& bytes) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                   static_cast<Py_ssize_t>(bytes.size()));
}

// frame_record(name) -> (entry_length, writer_entry_seq, record or None) or None.
PyObject* frame_record(PyObject*, PyObject* args) {
  PyObject* name = nullptr;
  if (!PyArg_ParseTuple(args, "O:frame_record", &name)) return nullptr;
  auto found = find_channel_view(name);
  if (!found) return nullptr;
  if (!*found) Py_RETURN_NONE;
  FrameRecordSnapshot snapshot = snapshot_frame_record(**found);
  PyObject* record = snapshot.record ? bytes_of(*snapshot.record) : Py_NewRef(Py_None);
  if (record == nullptr) return nullptr;
  return Py_BuildValue("(KKN)", static_cast<unsigned long long>(snapshot.entry_length),
                       static_cast<unsigned long long>(snapshot.writer_entry_seq), record);
}

// store_frame_record(name, record) -> the record the channel holds afterwards, or None.
PyObject* store_record(PyObject*, PyObject* args) {
  PyObject* name = nullptr;
  const char* record = nullptr;
  Py_ssize_t record_length = 0;
  if (!PyArg_ParseTuple(args, "Oy#:store_frame_record", &name, &record, &record_length))
    return nullptr;
  auto view = open_channel_view(name);
  if (!view) return nullptr;
  auto bytes = std::as_bytes(std::span(record, static_cast<std::size_t>(record_length)));
  auto stored = store_frame_record(*view, bytes);
  if (!stored) {
    raise_channel_error(stored.error());
    return nullptr;
  }
  if (!*stored) Py_RETURN_NONE;
  return bytes_of(**stored);
}

PyMethodDef functions[] = {
    {"frame_record", guarded<&frame_record>, METH_VARARGS,
     "frame_record(name, /) -> (entry_length, writer_entry_seq, record) or None\n--\n\n"
     "The channel's entry length, writer_entry_seq and frame-type record (b'' when none is\n"
     "stored, None when the segment has no trailer). writer_entry_seq is loaded first, so\n"
     "a snapshot that shows entries shows the record stored before them. None when no\n"
     "channel of that name exists."},
    {"store_frame_record", guarded<&store_record>, METH_VARARGS,
     "store_frame_record(name, record, /) -> bytes or None\n--\n\n"
     "Store the record unless the channel already holds one; return the record it holds\n"
     "afterwards, or None when the segment has no trailer. For the writer-role holder only."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_frame_functions(PyObject* module) {
  if (PyModule_AddFunctions(module, functions) < 0) return -1;
  return PyModule_AddIntConstant(module, "FRAME_RECORD_CAPACITY",
                                 static_cast<long>(quillmere_core::trailer::kRecordCapacity));
}

}  // namespace quillmere_tools::python
