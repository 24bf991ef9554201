// What the bridge needs beyond looking at channels: making the far side's channel so that it
// outlives the call (create_channel), with the element type the near side has.
#include <Python.h>

#include <cstdint>
#include <optional>
#include <string_view>

#include "quillmere/src/lifecycle.hpp"
#include "tools/src/python/parts.hpp"
#include "tools/src/python/support.hpp"

namespace quillmere_tools::python {
namespace {

namespace metadata = quillmere_core::metadata;

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
  Py_ssize_t length = 0;
  const char* text = PyUnicode_AsUTF8AndSize(name, &length);  // "U": name is a str
  auto dtype = dtype_code(dtype_text);
  if (text == nullptr || !dtype) return nullptr;
  auto attached = quillmere::lifecycle::open_or_create(
      std::string_view(text, static_cast<std::size_t>(length)), entry_length, entry_count, *dtype,
      /*allow_absent=*/false);
  if (!attached) {
    raise_channel_error(attached.error());
    return nullptr;
  }
  if (!*attached) {  // only a request without sizes can come back absent
    PyErr_SetString(PyExc_RuntimeError, "internal error in quillmere_tools: channel absent");
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
    {"create_channel", guarded<&create_channel>, METH_VARARGS,
     "create_channel(name, entry_length, entry_count, dtype) -> bool\n--\n\nCreate or "
     "check a channel and keep its name; True when this call created it."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_bridge_functions(PyObject* module) {
  return PyModule_AddFunctions(module, functions);
}

}  // namespace quillmere_tools::python
