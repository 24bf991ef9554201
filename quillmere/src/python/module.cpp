// placeholder module frame
#include <Python.h>

static PyModuleDef_Slot slots[] = {{0, nullptr}};
static PyModuleDef def = {PyModuleDef_HEAD_INIT, "quillmere", nullptr, 0, nullptr, slots, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_quillmere(void) { return PyModuleDef_Init(&def); }
