// The module `quillmere`: multi-phase initialisation with one execution slot, which adds the
// six classes, `unlink` and ChannelRoleConflict, in that order, each also listed in __all__.
#define QUILLMERE_NUMPY_IMPORT  // this translation unit owns the NumPy API table
#include "quillmere/src/python/numpy.hpp"

#include <Python.h>

#include <string_view>

#include "quillmere/src/python/arguments.hpp"
#include "quillmere/src/python/binding.hpp"
#include "quillmere/src/python/convert.hpp"
#include "quillmere/src/python/reader.hpp"
#include "quillmere/src/python/writer.hpp"
#include "quillmere/src/python/zerocopy.hpp"
#include "shm/src/shmem.hpp"

namespace quillmere::python {
namespace {

constexpr const char* kModuleDoc =
    "The `quillmere` native extension module.\n\n"
    "The module name is load-bearing: the exported initialisation function `PyInit_quillmere` is "
    "derived from it, and it must match the last component of the module name under which the "
    "package installs the extension (the shared library's OUTPUT_NAME in the build). Renaming "
    "one without the others makes the import fail.";

constexpr const char* kUnlinkDoc =
    "unlink(name)\n--\n\nRemove a channel's shared-memory segment by name.\n\nThe escape hatch "
    "for reclaiming a leaked segment: a channel abandoned by a\ncrashed process keeps its name "
    "until something removes it. A later writer\nadopts the stale role claim and carries on, so "
    "this is only needed when the\nsegment itself must go \xe2\x80\x94 supervisors reclaiming a "
    "name, and test fixtures\nthat must not leak state between runs.\n\nProcesses already "
    "attached keep their mapping; only the name goes away, so\nthe next open creates a fresh "
    "segment. Does nothing if the segment is\nabsent.";

PyObject* unlink(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static Parameters<1> params{"unlink", {"name"}, 1, 1};
  Bound<1> bound;
  std::string_view name;
  if (!params.bind(args, nargs, kwnames, bound) || !to_text("name", bound[0], name)) return nullptr;
  quillmere::shm::unlink(name);  // silent whatever happens
  Py_RETURN_NONE;
}

PyMethodDef unlink_def = {
    "unlink", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(entry<&unlink>)),
    METH_FASTCALL | METH_KEYWORDS, kUnlinkDoc};

// Appends `name` to __all__ (creating the list on first use), then sets the attribute.
bool add_export(PyObject* module, const char* name, PyObject* value) {
  if (value == nullptr) return false;
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) return false;
  return PyModule_AddObjectRef(module, name, value) == 0;
}

// The `unlink` function object bound to `module`, its __module__ being the module's name.
Ref new_unlink(PyObject* module) {
  Ref module_name = Ref::steal(PyModule_GetNameObject(module));
  if (!module_name) return Ref();
  return Ref::steal(PyCFunction_NewEx(&unlink_def, module, module_name.get()));
}

PyObject* as_object(PyTypeObject* type) {
  return reinterpret_cast<PyObject*>(type);
}

int exec_module(PyObject* module) {
  if (!PyModule_Check(module)) {
    raise_message(PyExc_TypeError,
                  "module execution needs a module object, got '" + type_name(module) + "'");
    return -1;
  }
  if (PyArray_ImportNumPyAPI() < 0) return -1;
  bool ok = add_export(module, "BytesWriter", as_object(writer::bytes_writer_type())) &&
            add_export(module, "BytesReader", as_object(reader::bytes_reader_type())) &&
            add_export(module, "Float64Writer", as_object(writer::float64_writer_type())) &&
            add_export(module, "Float64Reader", as_object(reader::float64_reader_type())) &&
            add_export(module, "ReadHandle", as_object(zerocopy::read_handle_type())) &&
            add_export(module, "WriteHandle", as_object(zerocopy::write_handle_type())) &&
            add_export(module, "unlink", new_unlink(module).get()) &&
            add_export(module, "ChannelRoleConflict", channel_role_conflict());
  return ok ? 0 : -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(entry<&exec_module>)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, "quillmere", kModuleDoc, 0,       nullptr,
    module_slots,          nullptr,     nullptr,    nullptr,
};

}  // namespace
}  // namespace quillmere::python

PyMODINIT_FUNC PyInit_quillmere(void) {
  return PyModuleDef_Init(&quillmere::python::module_def);
}
