// The out-of-line parts of the binding machinery: the process id cache and the reports of use
// from a foreign thread or process.
#include "quillmere/src/python/binding.hpp"

#include <pthread.h>
#include <unistd.h>

#include <atomic>

namespace quillmere::python {

std::atomic<pid_t> detail::process_id{0};

namespace {

void refresh_process_id() noexcept {
  // relaxed: written at first use and in a fork child before it runs anything else (it has
  // one thread then); every reader is a thread of the process that wrote it.
  detail::process_id.store(::getpid(), std::memory_order_relaxed);
}

}  // namespace

pid_t detail::track_process_id() noexcept {
  // Without the fork handler (pthread_atfork can only fail for want of memory) nothing would
  // correct the copy in a fork child, so the system is then asked on every call instead.
  static const bool tracking = ::pthread_atfork(nullptr, nullptr, &refresh_process_id) == 0;
  if (!tracking) return ::getpid();
  refresh_process_id();
  // relaxed: see refresh_process_id.
  return process_id.load(std::memory_order_relaxed);
}

bool refuse_foreign_use(const Binding& binding) noexcept {
  if (!binding.in_owner_process()) {
    raise_composed(PyExc_RuntimeError, [&] {
      return quillmere_core::format(
          "{} was created in process {} and cannot be used in a fork child; create a new one "
          "in the child",
          binding.type_path, binding.owner_process);
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
