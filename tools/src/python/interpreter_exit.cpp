#include "tools/src/python/interpreter_exit.hpp"
#include "tools/src/python/parts.hpp"

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace quillmere_tools::python {
namespace {

// Process-local, set once by the atexit handler below.
std::atomic<bool> interpreter_exiting{false};

PyObject* note_exit(PyObject*, PyObject*) {
  // release: pairs with the acquire load in take_lock_back on the waiting threads.
  interpreter_exiting.store(true, std::memory_order_release);
  Py_RETURN_NONE;
}

PyMethodDef note_exit_def = {"_note_interpreter_exit", note_exit, METH_NOARGS, nullptr};

}  // namespace

bool on_main_thread() noexcept {
  return ::syscall(SYS_gettid) == ::getpid();
}

void take_lock_back(PyThreadState* thread) {
  // acquire: pairs with the release store in note_exit.
  if (interpreter_exiting.load(std::memory_order_acquire) && !on_main_thread()) {
    for (;;) ::pause();  // exit() ends the process, and this thread with it
  }
  PyEval_RestoreThread(thread);
}

// Registers the atexit handler that tells take_lock_back the interpreter is exiting.
int add_interpreter_exit_note(PyObject* module) {
  PyObject* atexit = PyImport_ImportModule("atexit");
  if (atexit == nullptr) return -1;
  PyObject* note = PyCFunction_NewEx(&note_exit_def, module, nullptr);
  PyObject* registered =
      note == nullptr ? nullptr : PyObject_CallMethod(atexit, "register", "O", note);
  Py_XDECREF(note);
  Py_DECREF(atexit);
  if (registered == nullptr) return -1;
  Py_DECREF(registered);
  return 0;
}

}  // namespace quillmere_tools::python
