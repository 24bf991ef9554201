// The zero-copy handles: ReadHandle and WriteHandle.
//
// A handle covers exactly one ring slot and exports its payload through the buffer protocol.
// Lifetime is the whole problem: the slot is recycled the moment the handle is finished, so
//   - each export holds a strong reference to its handle,
//   - a handle counts its live exports and refuses to release or commit while any exist, and
//     a writer claims and publishes nothing while any export of its write handles is alive,
//   - a handle holds a strong reference to the reader or writer object that made it, which keeps
//     the endpoint, its role and its mapping alive.
// Handles are made only by the try_acquire methods of the reader and writer classes, on the
// owner's thread, so a handle and its owner share one owning thread.
#pragma once

#include <Python.h>

#include "quillmere-core/src/reader.hpp"
#include "quillmere-core/src/writer.hpp"

namespace quillmere::python::zerocopy {

// BufferError "cannot <operation> while an uncommitted WriteHandle of this writer has <count>
// buffer export(s) outstanding: ...". A writer refuses to claim or publish while any export of
// its write handles is alive (their count is WriterObject::handle_exports).
void refuse_live_write_views(const char* operation, Py_ssize_t count) noexcept;

// Created once per process; nullptr with the exception set on failure.
PyTypeObject* read_handle_type();
PyTypeObject* write_handle_type();

// Both steal `owner` (a new strong reference to the reader or writer object; `tag` is 0 for the
// byte class, 1 for the float64 class). `format` must be a string literal ("B" or "d").
// On allocation failure the read slot is released / the write slot abandoned, owner is dropped
// and nullptr is returned with the exception set.
PyObject* make_read_handle(PyObject* owner, int tag, const quillmere_core::reader::ReadSlot& slot,
                           const char* format, Py_ssize_t itemsize);
PyObject* make_write_handle(PyObject* owner, int tag, const quillmere_core::writer::WriteSlot& slot,
                            const char* format, Py_ssize_t itemsize);

}  // namespace quillmere::python::zerocopy
