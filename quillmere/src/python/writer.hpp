// BytesWriter and Float64Writer: the Python writing ends of a channel.
#pragma once

#include <Python.h>

namespace quillmere::python::writer {

// Created once per process; nullptr with the exception set on failure.
PyTypeObject* bytes_writer_type() noexcept;
PyTypeObject* float64_writer_type() noexcept;

}  // namespace quillmere::python::writer
