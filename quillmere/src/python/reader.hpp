// BytesReader and Float64Reader: the Python reading ends of a channel.
#pragma once

#include <Python.h>

namespace quillmere::python::reader {

// Created once per process; nullptr with the exception set on failure.
PyTypeObject* bytes_reader_type() noexcept;
PyTypeObject* float64_reader_type() noexcept;

}  // namespace quillmere::python::reader
