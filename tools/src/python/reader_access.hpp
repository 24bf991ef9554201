// Reaching the channel behind a reader or writer of the `quillmere` module, whose Python
// surface has no name or mapping to offer (and must not grow one).
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>

#include "quillmere/src/python/objects.hpp"
#include "tools/src/doorbell_wait.hpp"

namespace quillmere_tools::python {

using quillmere::python::ReaderObject;
using quillmere::python::WriterObject;

// Looks up the module's reader and writer classes once; -1 with an exception set when the
// module cannot be imported.
int add_reader_access(PyObject* module);

// `object` if it is exactly a quillmere.BytesReader or Float64Reader used on the thread (and
// in the process) that created it; else nullptr with TypeError or RuntimeError set, the
// latter saying the reader can only be `use`d ("waited on") from its own thread.
ReaderObject* checked_reader(PyObject* object, const char* use) noexcept;
// The same for quillmere.BytesWriter and Float64Writer.
WriterObject* checked_writer(PyObject* object, const char* use) noexcept;
// For an object that passed one of the checks: whether it is of the float64 class.
bool is_float64(PyObject* object) noexcept;

// The exclusive borrow as the module's methods take it (RuntimeError "Already borrowed" while
// the object is in use), so no method of the object runs while we touch its endpoint.
class Borrow {
 public:
  explicit Borrow(quillmere::python::Binding& binding) noexcept;
  ~Borrow();
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  explicit operator bool() const noexcept { return held_; }

 private:
  quillmere::python::Binding& binding_;
  bool held_;
};

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
