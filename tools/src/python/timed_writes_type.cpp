// The class TimedWrites(budget_bytes): entries written into quillmere writers at given moments
// by native threads (one per writer), for replaying a recording in time.
//
// add(writer) borrows a writer of the module for as long as the object is open (its own
// methods then raise "Already borrowed"), so its playing thread is its only user. put() keeps
// each payload's buffer until the entry is played; close() stops the threads and gives every
// buffer and writer back; counts(slot) reports what was played.
#include <Python.h>

#include <deque>
#include <memory>
#include <vector>

#include "quillmere/src/python/binding.hpp"
#include "tools/src/python/parts.hpp"
#include "tools/src/python/reader_access.hpp"
#include "tools/src/python/support.hpp"
#include "tools/src/python/waiting.hpp"
#include "tools/src/timed_writes.hpp"

namespace quillmere_tools::python {
namespace {

using quillmere::python::AllowThreads;
using quillmere::python::as_writer;

// Entries queued at most per channel, whatever their size.
constexpr std::size_t kCapacity = std::size_t{1} << 16;

// One writer lent to its own playing thread.
class Lent {
 public:
  Lent(PyObject* writer, std::unique_ptr<Borrow> borrow, std::uint64_t budget_bytes)
      : writer_(Py_NewRef(writer)),
        borrow_(std::move(borrow)),
        engine_(as_writer(writer)->endpoint, kCapacity, budget_bytes) {}
  ~Lent() { close(); }

  TimedWrites& engine() noexcept { return engine_; }
  std::uint64_t entry_length() const noexcept {
    return as_writer(writer_)->endpoint.entry_length();
  }
  void keep(const Py_buffer& buffer) { buffers_.push_back(buffer); }
  // Lets go of the buffers of entries played by now.
  void release_played() {
    for (const std::uint64_t played = engine_.played(); released_ < played; ++released_) {
      PyBuffer_Release(&buffers_.front());
      buffers_.pop_front();
    }
  }
  // Stops the thread (the interpreter lock let go meanwhile), then gives back every buffer
  // and the writer.
  void close() {
    if (writer_ == nullptr) return;
    {
      AllowThreads unlocked;
      engine_.stop();
    }
    for (Py_buffer& buffer : buffers_) PyBuffer_Release(&buffer);
    buffers_.clear();
    borrow_.reset();
    Py_CLEAR(writer_);
  }

 private:
  PyObject* writer_;  // strong reference, nullptr once closed
  std::unique_ptr<Borrow> borrow_;
  TimedWrites engine_;
  std::deque<Py_buffer> buffers_;  // of the entries not yet let go, in the order put
  std::uint64_t released_ = 0;     // entries whose buffers were let go
};

struct State {
  std::uint64_t budget_bytes;
  std::vector<std::unique_ptr<Lent>> channels;  // by slot
  bool closed = false;
  // A put() or drain() waits without the interpreter lock: no other call may come in then
  // (each queue has one offering thread).
  bool busy = false;

  void close() {
    closed = true;
    for (auto& channel : channels) channel->close();
  }
};

struct TimedWritesObject {
  PyObject_HEAD State* state;
};

State& state_of(PyObject* self) {
  return *reinterpret_cast<TimedWritesObject*>(self)->state;
}

// nullptr with ValueError once closed, RuntimeError while another thread's call waits.
State* open_state(PyObject* self) {
  State& state = state_of(self);
  if (state.busy) {
    PyErr_SetString(PyExc_RuntimeError, "TimedWrites is in use by another thread");
    return nullptr;
  }
  if (!state.closed) return &state;
  PyErr_SetString(PyExc_ValueError, "TimedWrites is closed");
  return nullptr;
}

// Lets go of the interpreter lock, the state marked busy meanwhile.
class Unlocked {
 public:
  explicit Unlocked(State& state) noexcept : state_(state) {
    state_.busy = true;
    thread_ = PyEval_SaveThread();
  }
  ~Unlocked() {
    PyEval_RestoreThread(thread_);
    state_.busy = false;
  }
  Unlocked(const Unlocked&) = delete;
  Unlocked& operator=(const Unlocked&) = delete;

 private:
  State& state_;
  PyThreadState* thread_;
};

// -1 with the failed write's error raised, if one failed.
int raise_failure(TimedWrites& engine) {
  auto failure = engine.failure();
  if (!failure) return 0;
  raise_channel_error(*failure);
  return -1;
}

PyObject* timed_writes_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  unsigned long long budget = 0;
  static const char* keywords[] = {"budget_bytes", nullptr};
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "K:TimedWrites", const_cast<char**>(keywords),
                                   &budget))
    return nullptr;
  auto state = std::make_unique<State>();
  state->budget_bytes = budget;
  return new_holding(type, &TimedWritesObject::state, std::move(state));
}

void timed_writes_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  State* state = &state_of(self);
  state->close();
  delete state;
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(self);
  Py_DECREF(type);
}

// add(writer) -> slot: borrows a connected quillmere.BytesWriter or Float64Writer.
PyObject* timed_writes_add(PyObject* self, PyObject* object) {
  State* state = open_state(self);
  if (state == nullptr) return nullptr;
  WriterObject* writer = checked_writer(object, "played into");
  if (writer == nullptr) return nullptr;
  auto borrow = std::make_unique<Borrow>(writer->binding);
  if (!*borrow) return nullptr;
  if (writer->handle_exports != 0 || !writer->endpoint.connected()) {
    PyErr_SetString(PyExc_ValueError,
                    "only a connected writer with no uncommitted WriteHandle can be played into");
    return nullptr;
  }
  state->channels.push_back(std::make_unique<Lent>(object, std::move(borrow), state->budget_bytes));
  return PyLong_FromSize_t(state->channels.size() - 1);
}

// put(slot, data, due_ns, timeout) -> bool: queues `data` for the slot's writer, due at
// `due_ns` on CLOCK_MONOTONIC (time.monotonic_ns(); 0: at once). False if no room came within
// `timeout` seconds.
PyObject* timed_writes_put(PyObject* self, PyObject* args) {
  unsigned long slot = 0;
  PyObject* data = nullptr;
  long long due_ns = 0;
  double timeout = 0;
  if (!PyArg_ParseTuple(args, "kOLd:put", &slot, &data, &due_ns, &timeout)) return nullptr;
  State* state = open_state(self);
  if (state == nullptr) return nullptr;
  if (slot >= state->channels.size()) {
    PyErr_Format(PyExc_IndexError, "no writer in slot %lu (%zu added)", slot,
                 state->channels.size());
    return nullptr;
  }
  Lent& channel = *state->channels[slot];
  Py_buffer buffer;
  if (PyObject_GetBuffer(data, &buffer, PyBUF_SIMPLE) < 0) return nullptr;
  const auto length = static_cast<std::uint64_t>(buffer.len);
  if (length != channel.entry_length()) {
    PyBuffer_Release(&buffer);
    raise_channel_error(
        quillmere_core::writer::detail::length_mismatch(channel.entry_length(), length).error());
    return nullptr;
  }
  const TimedWrites::Entry entry{
      {static_cast<const std::byte*>(buffer.buf), static_cast<std::size_t>(buffer.len)},
      Clock::time_point(std::chrono::nanoseconds(due_ns))};
  channel.release_played();
  // First without letting go of the interpreter: there is room most of the time.
  TimedWrites& engine = channel.engine();
  bool queued = engine.offer(entry, Clock::time_point{});
  if (!queued && timeout > 0 && !engine.failure()) {
    Unlocked unlocked(*state);
    queued = engine.offer(entry, deadline_after(timeout));
  }
  if (!queued) {
    PyBuffer_Release(&buffer);
    if (raise_failure(engine) < 0) return nullptr;
    Py_RETURN_FALSE;
  }
  channel.keep(buffer);
  Py_RETURN_TRUE;
}

// drain(timeout) -> bool: True once every entry put was played.
PyObject* timed_writes_drain(PyObject* self, PyObject* args) {
  double timeout = 0;
  if (!PyArg_ParseTuple(args, "d:drain", &timeout)) return nullptr;
  State* state = open_state(self);
  if (state == nullptr) return nullptr;
  const Clock::time_point deadline = deadline_after(timeout);
  bool drained = true;
  for (auto& channel : state->channels) {
    {
      Unlocked unlocked(*state);
      drained = drained && channel->engine().drain(deadline);
    }
    channel->release_played();
    if (raise_failure(channel->engine()) < 0) return nullptr;
  }
  return PyBool_FromLong(drained);
}

PyObject* timed_writes_close(PyObject* self, PyObject*) {
  if (state_of(self).busy) {
    open_state(self);  // raises: another thread's call is waiting
    return nullptr;
  }
  state_of(self).close();
  Py_RETURN_NONE;
}

PyObject* int_list(const std::vector<std::int64_t>& values) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(values.size()));
  if (list == nullptr) return nullptr;
  for (std::size_t i = 0; i < values.size(); ++i) {
    PyObject* value = PyLong_FromLongLong(values[i]);
    if (value == nullptr) {
      Py_DECREF(list);
      return nullptr;
    }
    PyList_SetItem(list, static_cast<Py_ssize_t>(i), value);  // steals value
  }
  return list;
}

// counts(slot) -> (written, lateness_ns, lateness_change_ns), once closed.
PyObject* timed_writes_counts(PyObject* self, PyObject* args) {
  unsigned long slot = 0;
  if (!PyArg_ParseTuple(args, "k:counts", &slot)) return nullptr;
  const State& state = state_of(self);
  if (!state.closed || slot >= state.channels.size()) {
    PyErr_Format(PyExc_ValueError, "no counts for slot %lu: %s", slot,
                 state.closed ? "no such slot" : "complete only once TimedWrites is closed");
    return nullptr;
  }
  const TimedWrites::Counts& counts = state.channels[slot]->engine().counts();
  PyObject* lateness = int_list(counts.lateness);
  PyObject* change = lateness == nullptr ? nullptr : int_list(counts.lateness_change);
  if (change == nullptr) {
    Py_XDECREF(lateness);
    return nullptr;
  }
  return Py_BuildValue("(KNN)", static_cast<unsigned long long>(counts.written), lateness, change);
}

PyMethodDef methods[] = {
    {"add", guarded<&timed_writes_add>, METH_O,
     "add(writer) -> int\n--\n\nBorrow a connected quillmere writer until close(), with a "
     "playing thread\nand budget_bytes of queue of its own; its slot."},
    {"put", guarded<&timed_writes_put>, METH_VARARGS,
     "put(slot, data, due_ns, timeout) -> bool\n--\n\nQueue data for the slot's writer, due at "
     "due_ns of time.monotonic_ns()\n(0: at once); False if no room came within timeout "
     "seconds."},
    {"drain", guarded<&timed_writes_drain>, METH_VARARGS,
     "drain(timeout) -> bool\n--\n\nWait until every entry put is written."},
    {"close", guarded<&timed_writes_close>, METH_NOARGS,
     "close()\n--\n\nStop writing; entries not yet written are dropped. Gives the writers "
     "back."},
    {"counts", guarded<&timed_writes_counts>, METH_VARARGS,
     "counts(slot) -> (written, lateness_ns, lateness_change_ns)\n--\n\nWhat the slot's "
     "entries gave, once closed."},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(guarded<&timed_writes_new>)},
    {Py_tp_dealloc, reinterpret_cast<void*>(guarded<&timed_writes_dealloc>)},
    {Py_tp_methods, methods},
    {Py_tp_doc,
     const_cast<char*>("TimedWrites(budget_bytes)\n--\n\nEntries written into "
                       "quillmere writers at given moments by native threads,\none per writer.")},
    {0, nullptr},
};

PyType_Spec spec = {
    "quillmere_tools._native.TimedWrites", sizeof(TimedWritesObject), 0, Py_TPFLAGS_DEFAULT, slots,
};

}  // namespace

int add_timed_writes_type(PyObject* module) {
  return add_type(module, spec, "TimedWrites");
}

}  // namespace quillmere_tools::python
