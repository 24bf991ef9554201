// Functions that look at a channel by name: trailer_state(name).
#include <Python.h>

#include "quillmere-core/src/format.hpp"
#include "tools/src/python/channel_argument.hpp"
#include "tools/src/python/parts.hpp"
#include "tools/src/python/support.hpp"

namespace quillmere_tools::python {
namespace {

namespace trailer = quillmere_core::trailer;

// trailer_state(name) -> (state, version, waiters): what follows the channel's ring.
PyObject* trailer_state(PyObject*, PyObject* name) {
  auto view = open_channel_view(name);
  if (!view) return nullptr;
  const trailer::Found& found = view->trailer();
  unsigned long long waiters = 0;
  if (found.state == trailer::State::Valid) {
    // relaxed: a snapshot for display; nothing is ordered after it.
    waiters = std::atomic_ref<std::uint64_t>(*trailer::word(found.base, trailer::offset::waiters))
                  .load(std::memory_order_relaxed);
  }
  return Py_BuildValue("(sIK)", trailer::state_name(found.state), found.version, waiters);
}

PyMethodDef functions[] = {
    {"trailer_state", guarded<&trailer_state>, METH_O,
     "trailer_state(name) -> (state, version, waiters)\n--\n\nWhat follows the channel's ring: "
     "'valid', 'absent', 'other-version' or 'foreign',\nthe trailer version, and the number of "
     "registered waiters."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

int add_channel_functions(PyObject* module) {
  return PyModule_AddFunctions(module, functions);
}

}  // namespace quillmere_tools::python
