#include "tools/src/python/follow_iterator.hpp"

namespace quillmere_tools::python {

void free_following(PyObject* self, Following& follow) {
  PyTypeObject* type = Py_TYPE(self);
  delete follow.state;
  Py_XDECREF(follow.reader);
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

}  // namespace quillmere_tools::python
