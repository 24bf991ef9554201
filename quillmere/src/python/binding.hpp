// The binding machinery shared by all six Python classes of the module.
//
// Contract for every class (readers, writers, handles):
//   - an instance is bound to the thread that created it (`Binding::owner_thread`) in the
//     process that created it (`Binding::owner_process`); every method, property and buffer
//     request starts with `check_thread`, and `dealloc_bound` refuses to destroy the contents
//     on any other thread. A fork child's copy of an instance keeps the thread id but not the
//     process: it performs no ring operation (its roles, holds and numbering are the parent's),
//     and its finalisation gives nothing of the ring back;
//   - a borrow guard (`SharedBorrow` for read-only access, `ExclusiveBorrow` for methods that
//     change the object) rejects re-entrant use on the owning thread, e.g. from Python code
//     that an argument's `__index__` runs while a method is in progress;
//   - every function the interpreter calls is wrapped in `entry<fn>`, so no C++ exception
//     ever reaches the C API.
// All of it runs with the interpreter lock held.
#pragma once

#include <Python.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <new>
#include <string_view>
#include <type_traits>
#include <utility>

#include "quillmere/src/process.hpp"
#include "quillmere/src/python/errors.hpp"

namespace quillmere::python {

// An owning PyObject* (one strong reference), moved, never copied.
class Ref {
 public:
  Ref() noexcept = default;
  static Ref steal(PyObject* object) noexcept { return Ref(object); }
  static Ref borrow(PyObject* object) noexcept {
    Py_XINCREF(object);
    return Ref(object);
  }
  Ref(Ref&& other) noexcept : object_(other.release()) {}
  Ref& operator=(Ref&& other) noexcept {
    Ref dropped(std::exchange(object_, other.release()));
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(object_); }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }  // hand over the ref
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  explicit Ref(PyObject* object) noexcept : object_(object) {}
  PyObject* object_ = nullptr;
};

// Releases the interpreter lock for its lifetime; no path can forget to take it back.
class AllowThreads {
 public:
  AllowThreads() noexcept : state_(PyEval_SaveThread()) {}
  ~AllowThreads() { PyEval_RestoreThread(state_); }
  AllowThreads(const AllowThreads&) = delete;
  AllowThreads& operator=(const AllowThreads&) = delete;

 private:
  PyThreadState* state_;
};

// A process-wide object created on first need (class objects, exception classes). Creating one
// may run Python code and so let another thread in; the first creation stored wins and the loser
// drops its own copy, so every caller gets the same object.
class OnceObject {
 public:
  template <class Create>  // Create: () -> new reference, or nullptr with an exception set
  PyObject* get(Create create) noexcept {
    // acquire: pairs with the acq_rel exchange below, so the object is seen fully built
    if (PyObject* ready = cell_.load(std::memory_order_acquire)) return ready;
    PyObject* made = create();
    if (made == nullptr) return nullptr;
    PyObject* expected = nullptr;
    // acq_rel: publishes our object, or acquires the one that won the race
    if (cell_.compare_exchange_strong(expected, made, std::memory_order_acq_rel)) return made;
    Py_DECREF(made);
    return expected;
  }

 private:
  std::atomic<PyObject*> cell_{nullptr};
};

// The id of the calling process (kept current across fork by the channel library).
inline pid_t current_process() noexcept {
  return process::current();
}

// Per-instance thread binding and borrow guard; embedded in every instance of the six classes.
struct Binding {
  unsigned long owner_thread;
  pid_t owner_process;
  const char* type_path;  // e.g. "quillmere::python::writer::PyBytesWriter", for messages
  // 0 free, n > 0 shared by n, -1 exclusive. Only touched under the interpreter lock, but
  // still taken by compare-and-swap, so a broken lock discipline shows up as a refusal.
  alignas(8) std::int64_t borrow;

  static Binding for_current_thread(const char* type_path) noexcept {
    return Binding{PyThread_get_thread_ident(), current_process(), type_path, 0};
  }
  bool on_owner_thread() const noexcept { return PyThread_get_thread_ident() == owner_thread; }
  bool in_owner_process() const noexcept { return current_process() == owner_process; }
};

// The cold half of check_thread: sets RuntimeError "<type path> was created in process <pid>
// and cannot be used in a fork child; create a new one in the child" in another process, else
// PanicException "<type path> is unsendable, but sent to another thread".
bool refuse_foreign_use(const Binding& binding) noexcept;

// True on the owning thread of the owning process; false with the exception set elsewhere.
inline bool check_thread(const Binding& binding) noexcept {
  if (binding.on_owner_thread() && binding.in_owner_process()) [[likely]]
    return true;
  return refuse_foreign_use(binding);
}

// Reports RuntimeError "<type path> is unsendable, but is being dropped on another thread"
// through sys.unraisablehook for `type`.
void report_foreign_dealloc(const Binding& binding, PyTypeObject* type) noexcept;

// Shared borrow (properties, read-only accesses). Test it with `if (!guard) return nullptr;`.
class SharedBorrow {
 public:
  // RuntimeError "Already mutably borrowed" and an empty guard while exclusively held.
  static SharedBorrow take(Binding& binding) noexcept {
    std::atomic_ref<std::int64_t> state(binding.borrow);
    std::int64_t seen = state.load(std::memory_order_relaxed);  // a guess; the CAS validates it
    do {
      if (seen < 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return SharedBorrow(nullptr);
      }
      // acquire: pairs with the release that gave back the previous exclusive borrow
    } while (!state.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire,
                                          std::memory_order_relaxed));
    return SharedBorrow(&binding);
  }
  SharedBorrow(SharedBorrow&& other) noexcept : binding_(std::exchange(other.binding_, nullptr)) {}
  SharedBorrow& operator=(SharedBorrow&&) = delete;
  ~SharedBorrow() {
    // release: pairs with the acquire CAS of the next exclusive borrow
    if (binding_)
      std::atomic_ref<std::int64_t>(binding_->borrow).fetch_sub(1, std::memory_order_release);
  }
  explicit operator bool() const noexcept { return binding_ != nullptr; }

 private:
  explicit SharedBorrow(Binding* binding) noexcept : binding_(binding) {}
  Binding* binding_;
};

// How an exclusive-borrow conflict is reported: RuntimeError for ordinary methods, PanicException
// for try_acquire (a handle over a slot must never be made while the object is mid-operation).
enum class OnConflict { RuntimeError, Panic };

// Exclusive borrow (methods that change the object). Test it with `if (!guard) return nullptr;`.
class ExclusiveBorrow {
 public:
  // "Already borrowed" (RuntimeError or PanicException) and an empty guard while held in any way.
  static ExclusiveBorrow take(Binding& binding,
                              OnConflict on_conflict = OnConflict::RuntimeError) noexcept {
    std::int64_t expected = 0;
    // acquire: pairs with the release stores of the guards' destructors
    if (std::atomic_ref<std::int64_t>(binding.borrow)
            .compare_exchange_strong(expected, -1, std::memory_order_acquire,
                                     std::memory_order_relaxed)) [[likely]]
      return ExclusiveBorrow(&binding);
    if (on_conflict == OnConflict::Panic)
      raise_panic("Already borrowed");
    else
      PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
    return ExclusiveBorrow(nullptr);
  }
  ExclusiveBorrow(ExclusiveBorrow&& other) noexcept
      : binding_(std::exchange(other.binding_, nullptr)) {}
  ExclusiveBorrow& operator=(ExclusiveBorrow&&) = delete;
  ~ExclusiveBorrow() {
    // release: pairs with the acquire CAS of the next borrow of either kind
    if (binding_)
      std::atomic_ref<std::int64_t>(binding_->borrow).store(0, std::memory_order_release);
  }
  explicit operator bool() const noexcept { return binding_ != nullptr; }
  // Gives the borrow back early (before handing the object to code that borrows it again).
  void give_back() noexcept { ExclusiveBorrow done(std::move(*this)); }

 private:
  explicit ExclusiveBorrow(Binding* binding) noexcept : binding_(binding) {}
  Binding* binding_;
};

// The tp_dealloc body of every class. On the owning thread `destroy_contents` runs the C++
// destructors (endpoint teardown, references held); on any other thread the contents are left
// alone (a role or a pinned slot stays held until the process ends) and an unraisable
// RuntimeError is reported. Either way the memory is freed and the heap type's reference dropped.
// A fork child's copy counts as on the owning thread (the thread id survives fork): its
// contents are destroyed, and each `destroy_contents` gives back only what its process owns
// (an endpoint's role teardown compares process ids; a read handle leaves its hold alone).
inline void dealloc_bound(PyObject* self, const Binding& binding,
                          void (*destroy_contents)(PyObject*)) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  if (binding.on_owner_thread()) {
    destroy_contents(self);
  } else {
    report_foreign_dealloc(binding, type);
  }
  auto free_memory = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_memory(self);
  Py_DECREF(reinterpret_cast<PyObject*>(type));
}

// Turns a C++ exception escaping a binding function into a Python exception: MemoryError for
// std::bad_alloc, PanicException with the exception's text for anything else.
void raise_cpp_exception() noexcept;

namespace detail {
template <class R>
R failure_value() noexcept {
  if constexpr (std::is_pointer_v<R>)
    return nullptr;
  else
    return R(-1);
}

template <auto F>
struct Entry;

template <class R, class... Args, R (*F)(Args...)>
struct Entry<F> {
  static R call(Args... args) noexcept {
    try {
      return F(args...);
    } catch (...) {
      raise_cpp_exception();
      if constexpr (std::is_void_v<R>) {
        PyErr_WriteUnraisable(nullptr);  // dealloc / releasebuffer cannot raise
      } else {
        return failure_value<R>();
      }
    }
  }
};
}  // namespace detail

// The noexcept boundary: put `entry<&fn>` (not `fn`) into every slot, method and getter table.
template <auto F>
inline constexpr auto entry = &detail::Entry<F>::call;

}  // namespace quillmere::python
