// Instance layouts of the reader and writer classes, which the zero-copy handles reach into.
//
// The bytes and float64 classes of each side share one layout: their traits change behaviour
// (units, accepted input, output type), never the memory. A handle that holds an owner with
// tag 0 or 1 may therefore treat it as a WriterObject / ReaderObject without knowing which.
//
// For code outside the owning class (the handles):
//   - check `check_thread(owner->binding)` and take `ExclusiveBorrow::take(owner->binding)`
//     before touching `endpoint`, exactly like the class's own methods do;
//   - `endpoint.ring()` is the ring writer / ring reader, nullptr while unconnected (a live
//     handle implies a connected endpoint, since handles are only made from a connected one);
//   - the members are constructed by the class's tp_new and destroyed by its tp_dealloc on the
//     owning thread; never construct or destroy them elsewhere.
#pragma once

#include <Python.h>

#include "quillmere/src/python/binding.hpp"
#include "quillmere/src/reader.hpp"
#include "quillmere/src/writer.hpp"

namespace quillmere::python {

struct WriterObject {
  PyObject_HEAD Binding binding;
  quillmere::writer::RawWriter endpoint;
  // Live buffer exports of this writer's write handles; while not 0 the writer neither claims
  // nor publishes (see zerocopy.cpp). Changed only under the interpreter lock.
  Py_ssize_t handle_exports;
};

struct ReaderObject {
  PyObject_HEAD Binding binding;
  quillmere::reader::RawReader endpoint;
};

inline WriterObject* as_writer(PyObject* object) noexcept {
  return reinterpret_cast<WriterObject*>(object);
}
inline ReaderObject* as_reader(PyObject* object) noexcept {
  return reinterpret_cast<ReaderObject*>(object);
}

}  // namespace quillmere::python
