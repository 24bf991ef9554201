// The module quillmere_tools._native: multi-phase initialisation whose execution slot adds
// each source file's part. A new source file adds its AddPart function to kParts.
#include <Python.h>

#include "tools/src/python/parts.hpp"
#include "tools/src/python/support.hpp"

namespace quillmere_tools::python {
namespace {

constexpr AddPart kParts[] = {
    // clang-format off
    add_channel_functions,
    add_segment_type,
    add_wait_functions,
    add_doorbell_type,
    add_follower_type,
    add_wait_shard_type,
    add_frame_functions,
    add_bridge_functions,
    add_batch_functions,
    add_batch_follower_type,
    add_interpreter_exit_note,
    add_timed_writes_type,
    // clang-format on
};

int exec_module(PyObject* module) {
  for (AddPart add : kParts) {
    if (add(module) < 0) return -1;
  }
  return 0;
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(guarded<&exec_module>)},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "quillmere_tools._native",
    "Native helpers of quillmere_tools; not a public interface.",
    0,
    nullptr,
    slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace quillmere_tools::python

extern "C" __attribute__((visibility("default"))) PyObject* PyInit__native() {
  return PyModuleDef_Init(&quillmere_tools::python::module_def);
}
