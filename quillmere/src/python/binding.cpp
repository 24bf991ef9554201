// The out-of-line parts of the binding machinery: the reports of use from a foreign thread or
// process.
#include "quillmere/src/python/binding.hpp"

namespace quillmere::python {

bool refuse_foreign_use(const Binding& binding) noexcept {
  if (!binding.in_owner_process()) {
    raise_composed(PyExc_RuntimeError, [&] {
      return process::fork_child_message(binding.type_path, binding.owner_process);
    });
  } else {
    raise_composed(panic_exception(), [&] {
      return quillmere_core::format("{} is unsendable, but sent to another thread",
                                    binding.type_path);
    });
  }
  return false;
}

void report_foreign_dealloc(const Binding& binding, PyTypeObject* type) noexcept {
  SavedError pending = SavedError::fetch();
  raise_composed(PyExc_RuntimeError, [&] {
    return quillmere_core::format("{} is unsendable, but is being dropped on another thread",
                                  binding.type_path);
  });
  PyErr_WriteUnraisable(reinterpret_cast<PyObject*>(type));
  pending.restore();
}

}  // namespace quillmere::python
