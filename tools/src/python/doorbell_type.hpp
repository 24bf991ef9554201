// What other parts of the module need from the Doorbell type.
#pragma once

#include <Python.h>

#include <optional>

#include "tools/src/mapped_bell.hpp"

namespace quillmere_tools::python {

// A copy of an open Doorbell's bell (sharing its mapping); nullopt with TypeError (not a
// Doorbell) or ValueError (closed) set.
std::optional<MappedBell> doorbell_bell(PyObject* doorbell);

}  // namespace quillmere_tools::python
