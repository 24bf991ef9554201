// What the batch functions share with the batch follower.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

namespace quillmere_tools::python {

// read_batch(reader, out, seqs=..., from_entry_seq=...) after its arguments are parsed (`seqs`
// Py_None for none): the rows filled, or -1 with the exception set.
Py_ssize_t read_into_rows(PyObject* reader, PyObject* out, PyObject* seqs,
                          std::optional<std::uint64_t> from_entry_seq);

}  // namespace quillmere_tools::python
