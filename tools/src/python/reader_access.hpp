// Reaching the channel behind a reader of the `quillmere` module, whose Python surface has
// no name or mapping to offer (and must not grow one).
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "tools/src/doorbell_wait.hpp"

namespace quillmere_tools::python {

// Looks up quillmere.BytesReader and quillmere.Float64Reader once; -1 with an exception set
// when the module cannot be imported.
int add_reader_access(PyObject* module);

// What a wait needs from a reader, read on its owning thread.
struct ReaderState {
  std::optional<Bell> bell;  // absent while a deferred reader still cannot connect
  std::uint64_t watermark;   // the reader's last_entry_seq
  // The connected segment: its descriptor, mapped size and geometry (-1 and zeros before).
  int fd = -1;
  std::uint64_t mapped_size = 0, entry_length = 0, entry_count = 0;
};

// For a quillmere reader on its own thread: connects a deferred reader if it can, then
// reports its bell and watermark. nullopt with TypeError (another type), RuntimeError (another
// thread, or the reader is in use) or the connection's error set.
std::optional<ReaderState> reader_state(PyObject* reader) noexcept;

// The reader's channel name as a new str, or nullptr with an exception set as above.
PyObject* reader_channel_name(PyObject* reader) noexcept;

}  // namespace quillmere_tools::python
