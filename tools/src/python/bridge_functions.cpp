// Functions the bridge needs to mirror a channel on another host: what a channel holds
// (channel_facts), which segment its name refers to right now (channel_identity), and making
// a channel that outlives this process (create_channel).
#include <Python.h>

#include <sys/stat.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "quillmere/src/lifecycle.hpp"
#include "tools/src/channel_view.hpp"
#include "tools/src/python/parts.hpp"
#include "tools/src/python/support.hpp"

namespace quillmere_tools::python {
namespace {

namespace metadata = quillmere_core::metadata;

std::optional<std::string_view> utf8_name(PyObject* name) {
  if (!PyUnicode_Check(name)) {
    PyErr_SetString(PyExc_TypeError, "channel name must be a str");
    return std::nullopt;
  }
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &length);
  if (text == nullptr) return std::nullopt;
  return std::string_view(text, static_cast<std::size_t>(length));
}

// channel_facts(name) -> (dtype, entry_length, entry_count) or None when no initialised
// channel has that name. dtype is the element type's name, entry_length is in bytes.
PyObject* channel_facts(PyObject*, PyObject* name) {
  auto text = utf8_name(name);
  if (!text) return nullptr;
  auto view = ChannelView::open(*text);
  if (!view) {
    raise_channel_error(view.error());
    return nullptr;
  }
  if (!*view) Py_RETURN_NONE;
  const metadata::HeaderSnapshot& header = (*view)->header();
  // dtype_name's texts are literals, so NUL-terminated.
  return Py_BuildValue("(sKK)", metadata::dtype_name(header.dtype).data(),
                       static_cast<unsigned long long>(header.entry_length),
                       static_cast<unsigned long long>(header.entry_count));
}

// channel_identity(name) -> int or None: the inode behind the name. A channel removed and
// created again under the same name gets another one, while its old readers stay mapped to
// the old segment; comparing identities is how a follower notices.
PyObject* channel_identity(PyObject*, PyObject* name) {
  auto text = utf8_name(name);
  if (!text) return nullptr;
  std::optional<quillmere::shm::Shmem> shmem = quillmere::lifecycle::try_open(*text);
  struct stat status {};
  if (!shmem || ::fstat(shmem->fd(), &status) != 0) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(static_cast<unsigned long long>(status.st_ino));
}

// The element type code named `dtype` ("u8", "i64", "f64"), or nothing with ValueError set.
std::optional<std::uint8_t> dtype_code(std::string_view dtype) {
  for (std::uint8_t code : {metadata::kDtypeU8, metadata::kDtypeI64, metadata::kDtypeF64}) {
    if (metadata::dtype_name(code) == dtype) return code;
  }
  PyErr_Format(PyExc_ValueError, "unknown element type '%.*s'", static_cast<int>(dtype.size()),
               dtype.data());
  return std::nullopt;
}

// create_channel(name, entry_length, entry_count, dtype) -> bool: makes the channel, or checks
// an existing one against the geometry and element type, and lets go of it without removing
// the name. True when this call created (or re-initialised) the segment.
PyObject* create_channel(PyObject*, PyObject* args) {
  PyObject* name = nullptr;
  unsigned long long entry_length = 0, entry_count = 0;
  const char* dtype_text = nullptr;
  if (!PyArg_ParseTuple(args, "UKKs", &name, &entry_length, &entry_count, &dtype_text)) {
    return nullptr;
  }
  auto text = utf8_name(name);
  auto dtype = dtype_code(dtype_text);
  if (!text || !dtype) return nullptr;
  auto attached = quillmere::lifecycle::open_or_create(*text, entry_length, entry_count, *dtype,
                                                       /*allow_absent=*/false);
  if (!attached) {
    raise_channel_error(attached.error());
    return nullptr;
  }
  // The channel outlives this handle, and one this call did not make is not ours to remove.
  (*attached)->shmem.set_owner(false);
  // A u8 request attaches to a channel of any element type; the caller asked for u8 itself.
  if ((*attached)->header.dtype != *dtype) {
    PyErr_Format(PyExc_ValueError, "dtype mismatch: channel holds %s, requested %s",
                 metadata::dtype_name((*attached)->header.dtype).data(), dtype_text);
    return nullptr;
  }
  return PyBool_FromLong((*attached)->initialised_here);
}

PyMethodDef functions[] = {
    {"channel_facts", guarded<&channel_facts>, METH_O,
     "channel_facts(name) -> (dtype, entry_length, entry_count) | None"},
    {"channel_identity", guarded<&channel_identity>, METH_O,
     "channel_identity(name) -> int | None\n--\n\nThe segment the name refers to now."},
    {"create_channel", guarded<&create_channel>, METH_VARARGS,
     "create_channel(name, entry_length, entry_count, dtype) -> bool\n--\n\nCreate or "
     "check a channel and keep its name; True when this call created it."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_bridge_functions(PyObject* module) { return PyModule_AddFunctions(module, functions); }

}  // namespace quillmere_tools::python
