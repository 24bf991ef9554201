// The NumPy C API for every translation unit of the module. module.cpp defines
// QUILLMERE_NUMPY_IMPORT before including this, so it alone owns the API table that
// import_numpy() fills in; everybody else refers to it.
#pragma once

#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL quillmere_numpy_api
#ifndef QUILLMERE_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
