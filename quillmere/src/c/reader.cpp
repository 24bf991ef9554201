// The C reader: qm_reader_* and qm_read_handle_*.
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <limits>
#include <optional>
#include <span>
#include <thread>
#include <utility>

#include "quillmere-core/src/format.hpp"
#include "quillmere/src/c/ends.hpp"
#include "quillmere/src/c/frame_type.hpp"
#include "quillmere/src/c/open.hpp"
#include "shm/src/shmem.hpp"
#include "tools/src/doorbell_wait.hpp"
#include "tools/src/pace.hpp"

using quillmere::c::call;
using quillmere::c::fail;
using quillmere::c::guarded;
using quillmere::c::null_argument;
using Clock = quillmere_tools::Clock;

namespace {

// How often a deferred reader with no channel yet looks for one while it waits.
constexpr std::chrono::milliseconds kConnectPoll{1};

qm_status read_entry(qm_reader* r, std::optional<std::uint64_t> from_entry_seq, void* out,
                     size_t size, uint64_t* entry_seq) {
  return call(r, [&] {
    if (out == nullptr && size != 0) return null_argument("out");
    auto connected = r->endpoint.ensure_connected();
    if (!connected) return fail(std::move(connected.error()));
    if (!*connected) return QM_EMPTY;
    auto got = r->endpoint.ring()->read_into(std::span(static_cast<std::byte*>(out), size),
                                             from_entry_seq);
    if (!got) [[unlikely]]
      return fail(std::move(got.error()));
    if (!*got) return QM_EMPTY;
    if (entry_seq != nullptr) *entry_seq = **got;
    return QM_OK;
  });
}

qm_status acquire(qm_reader* r, std::optional<std::uint64_t> from_entry_seq, qm_read_handle** out) {
  if (out == nullptr) return null_argument("out");
  *out = nullptr;
  return call(r, [&] {
    // One pinned entry at a time: the handle lives in the reader.
    if (r->handle.slot)
      return fail(QM_ERR_INVALID_ARGUMENT,
                  "a read handle of this reader is outstanding: release it first");
    auto slot = r->endpoint.try_acquire(from_entry_seq);
    if (!slot) return fail(std::move(slot.error()));
    if (!*slot) return QM_EMPTY;
    r->handle.slot = **slot;
    *out = &r->handle;
    return QM_OK;
  });
}

Clock::time_point deadline_after(std::int64_t timeout_ns) {
  const Clock::time_point now = Clock::now();
  const auto room = Clock::time_point::max() - now;
  if (timeout_ns < 0 || std::chrono::nanoseconds(timeout_ns) >= room)
    return Clock::time_point::max();
  return now + std::chrono::nanoseconds(timeout_ns);
}

// Until the reader is connected or the deadline passes: QM_OK, QM_TIMEOUT or an error.
qm_status connect_by(qm_reader& r, Clock::time_point deadline) {
  for (;;) {
    auto connected = r.endpoint.ensure_connected();
    if (!connected) return fail(std::move(connected.error()));
    if (*connected) return QM_OK;
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return QM_TIMEOUT;
    std::this_thread::sleep_for(std::min<Clock::duration>(kConnectPoll, deadline - now));
  }
}

}  // namespace

extern "C" {

qm_status qm_reader_open(const char* name, qm_kind kind, uint64_t entry_length,
                         uint64_t entry_count, int flags, qm_reader** out) noexcept {
  return quillmere::c::open_end(
      name, kind, entry_length, entry_count, flags, QM_DELAYED_CONNECT | QM_ZERO_COPY, out,
      [&](const quillmere::c::Geometry& geometry) {
        using Endpoint = quillmere::reader::RawReader;
        auto make = (flags & QM_ZERO_COPY) != 0 ? &Endpoint::make_zero_copy : &Endpoint::make;
        return make(name, geometry.entry_length, geometry.entry_count, geometry.dtype,
                    (flags & QM_DELAYED_CONNECT) != 0);
      });
}

qm_status qm_reader_read(qm_reader* r, void* out, size_t size, uint64_t* entry_seq) noexcept {
  return read_entry(r, std::nullopt, out, size, entry_seq);
}

qm_status qm_reader_read_from(qm_reader* r, uint64_t from_entry_seq, void* out, size_t size,
                              uint64_t* entry_seq) noexcept {
  return read_entry(r, from_entry_seq, out, size, entry_seq);
}

qm_status qm_reader_try_acquire(qm_reader* r, qm_read_handle** out) noexcept {
  return acquire(r, std::nullopt, out);
}

qm_status qm_reader_try_acquire_from(qm_reader* r, uint64_t from_entry_seq,
                                     qm_read_handle** out) noexcept {
  return acquire(r, from_entry_seq, out);
}

const void* qm_read_handle_data(const qm_read_handle* h) noexcept {
  return h != nullptr && h->slot ? h->slot->payload : nullptr;
}

size_t qm_read_handle_size(const qm_read_handle* h) noexcept {
  return h != nullptr && h->slot ? h->slot->length : 0;
}

uint64_t qm_read_handle_entry_seq(const qm_read_handle* h) noexcept {
  return h != nullptr && h->slot ? h->slot->entry_seq : 0;
}

qm_status qm_reader_release(qm_reader* r, qm_read_handle* h) noexcept {
  return call(r, [&] {
    if (h == nullptr) return null_argument("read handle");
    if (h->owner != r)
      return fail(
          QM_ERR_INVALID_ARGUMENT,
          quillmere_core::format("the read handle belongs to another reader, not to the reader of "
                                 "channel '{}'",
                                 r->endpoint.name()));
    if (!h->slot) return fail(QM_ERR_INVALID_ARGUMENT, "the read handle is already released");
    r->endpoint.ring()->release(*std::exchange(h->slot, std::nullopt));
    return QM_OK;
  });
}

qm_status qm_reader_wait(qm_reader* r, int64_t timeout_ns) noexcept {
  return call(r, [&] {
    const Clock::time_point deadline = deadline_after(timeout_ns);
    if (qm_status connected = connect_by(*r, deadline); connected != QM_OK) return connected;
    auto& endpoint = r->endpoint;
    const quillmere_tools::Bell bell =
        quillmere_tools::make_bell(endpoint.base(), endpoint.mapped_size(), endpoint.entry_length(),
                                   endpoint.ring()->entry_count());
    // No spin window: a caller that wants to spin calls qm_reader_read in a loop. A signal
    // cuts a sleep short and the wait simply goes on.
    const auto waited = quillmere_tools::wait_for(
        bell, endpoint.last_entry_seq(), deadline, std::chrono::nanoseconds(0),
        quillmere_tools::pace_for(endpoint.base()), [] { return true; });
    return waited == quillmere_tools::WaitResult::Ready ? QM_OK : QM_TIMEOUT;
  });
}

uint64_t qm_reader_entry_length(const qm_reader* r) noexcept {
  return r != nullptr ? r->endpoint.entry_length() / r->unit : 0;
}

uint64_t qm_reader_last_entry_seq(const qm_reader* r) noexcept {
  return r != nullptr ? r->endpoint.last_entry_seq() : 0;
}

uint64_t qm_reader_writer_entry_seq(const qm_reader* r) noexcept {
  return r != nullptr ? r->endpoint.writer_entry_seq() : 0;
}

int qm_reader_connected(const qm_reader* r) noexcept {
  return r != nullptr && r->endpoint.connected();
}

void qm_reader_close(qm_reader* r) noexcept {
  if (r == nullptr) return;
  if (!r->use.in_owner_process()) {
    r->endpoint.disown();  // a fork child's copy: the hold and the role are the parent's
  } else if (r->handle.slot) {
    r->endpoint.ring()->release(*r->handle.slot);
  }
  delete r;
}

qm_status qm_frame_type(const char* name, void* out, size_t capacity, size_t* size) noexcept {
  if (name == nullptr) return null_argument("name");
  if (size == nullptr) return null_argument("size");
  if (out == nullptr && capacity != 0) return null_argument("out");
  return guarded([&] {
    return quillmere::c::load_frame_type(name, std::span(static_cast<std::byte*>(out), capacity),
                                         *size);
  });
}

qm_status qm_unlink(const char* name) noexcept {
  if (name == nullptr) return null_argument("name");
  quillmere::shm::unlink(name);  // silent whatever happens, as in the module
  return QM_OK;
}

}  // extern "C"
