// The argument binder for METH_FASTCALL | METH_KEYWORDS methods (and, through the tuple/dict
// form, for tp_new): matches positional and keyword arguments to a fixed parameter list.
//
//   static Parameters<2> params{"read", {"out", "from_entry_seq"}, /*positional=*/0,
//   /*required=*/0}; Bound<2> bound; if (!params.bind(args, nargs, kwnames, bound)) return nullptr;
//   // TypeError set
//
// `bound[i]` is a borrowed reference, nullptr when the argument was not given. Keyword names are
// compared by identity against interned strings first (the interpreter interns the keyword names
// of call sites), by value only when that fails.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

namespace quillmere::python {

struct ParameterList {
  const char* function;  // "write", "BytesWriter", ... for the TypeError texts
  const char* const* names;
  PyObject** interned;  // lazily filled cache, one per name
  Py_ssize_t count;
  Py_ssize_t positional;  // the first `positional` names may be given by position
  Py_ssize_t required;    // the first `required` names must be given
};

// Both set a TypeError and return false on a mismatch. `out` has `list.count` entries.
bool bind_fastcall(const ParameterList& list, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames, PyObject** out) noexcept;
bool bind_tuple(const ParameterList& list, PyObject* args, PyObject* kwargs,
                PyObject** out) noexcept;

template <std::size_t N>
using Bound = std::array<PyObject*, N>;

template <std::size_t N>
struct Parameters {
  const char* function;
  std::array<const char*, N> names;
  Py_ssize_t positional;
  Py_ssize_t required;
  std::array<PyObject*, N> interned{};  // kept for the life of the process

  bool bind(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, Bound<N>& out) noexcept {
    if (nargs >= required && nargs <= positional) [[likely]] {
      for (std::size_t i = 0; i < N; ++i)
        out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
      if (kwnames == nullptr || bind_interned(args + nargs, kwnames, out)) return true;
    }
    return bind_fastcall(list(), args, nargs, kwnames, out.data());  // also composes the errors
  }
  bool bind(PyObject* args, PyObject* kwargs, Bound<N>& out) noexcept {
    return bind_tuple(list(), args, kwargs, out.data());
  }

 private:
  // The common case of keywords spelled by the call site's interned names, each once. False
  // (nothing raised) for anything else, which the general binder then handles.
  bool bind_interned(PyObject* const* values, PyObject* kwnames, Bound<N>& out) noexcept {
    Py_ssize_t count = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < count; ++k) {
      PyObject* key = PyTuple_GetItem(kwnames, k);
      if (key == nullptr) return false;
      std::size_t i = 0;
      while (i < N && (interned[i] != key || out[i] != nullptr)) ++i;
      if (i == N) return false;
      out[i] = values[k];
    }
    return true;
  }

  ParameterList list() noexcept {
    return {function,   names.data(), interned.data(), static_cast<Py_ssize_t>(N),
            positional, required};
  }
};

}  // namespace quillmere::python
