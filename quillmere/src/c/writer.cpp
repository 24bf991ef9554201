// The C writer: qm_writer_* and qm_write_handle_*.
#include <cstddef>
#include <span>
#include <utility>

#include "quillmere-core/src/format.hpp"
#include "quillmere/src/c/ends.hpp"
#include "quillmere/src/c/frame_type.hpp"
#include "quillmere/src/c/open.hpp"

using quillmere::c::call;
using quillmere::c::fail;
using quillmere::c::null_argument;

namespace {

// A write or a second claim would reuse the slot the caller may still be filling.
qm_status handle_outstanding() {
  return fail(QM_ERR_INVALID_ARGUMENT,
              "a write handle of this writer is outstanding: commit or abandon it first");
}

// Connects a deferred writer if it can: QM_OK when connected afterwards.
qm_status connect(qm_writer& w) {
  auto connected = w.endpoint.ensure_connected();
  if (!connected) return fail(std::move(connected.error()));
  return *connected ? QM_OK : QM_NOT_CONNECTED;
}

// The outstanding handle `h` of `w`, or the refusal (NULL, another writer's, finished).
qm_status check_handle(const qm_writer& w, const qm_write_handle* h) {
  if (h == nullptr) return null_argument("write handle");
  if (h->owner != &w)
    return fail(
        QM_ERR_INVALID_ARGUMENT,
        quillmere_core::format("the write handle belongs to another writer, not to the writer of "
                               "channel '{}'",
                               w.endpoint.name()));
  if (!h->slot)
    return fail(QM_ERR_INVALID_ARGUMENT, "the write handle is finished: committed or abandoned");
  return QM_OK;
}

}  // namespace

extern "C" {

qm_status qm_writer_open(const char* name, qm_kind kind, uint64_t entry_length,
                         uint64_t entry_count, int flags, qm_writer** out) noexcept {
  auto make = [&](const quillmere::c::Geometry& geometry) {
    return quillmere::writer::RawWriter::make(name, geometry.entry_length, geometry.entry_count,
                                              geometry.dtype, (flags & QM_DELAYED_CONNECT) != 0);
  };
  return quillmere::c::open_end(name, kind, entry_length, entry_count, flags, QM_DELAYED_CONNECT,
                                out, make);
}

qm_status qm_writer_write(qm_writer* w, const void* data, size_t size) noexcept {
  return call(w, [&] {
    if (data == nullptr && size != 0) return null_argument("data");
    if (w->handle.slot) [[unlikely]]
      return handle_outstanding();
    if (!w->endpoint.connected()) [[unlikely]]
      if (qm_status connected = connect(*w); connected != QM_OK) return connected;
    auto written = w->endpoint.write(std::span(static_cast<const std::byte*>(data), size));
    if (!written) [[unlikely]]
      return fail(std::move(written.error()));
    return QM_OK;
  });
}

qm_status qm_writer_try_acquire(qm_writer* w, qm_write_handle** out) noexcept {
  if (out == nullptr) return null_argument("out");
  *out = nullptr;
  return call(w, [&] {
    if (w->handle.slot) return handle_outstanding();
    if (qm_status connected = connect(*w); connected != QM_OK) return connected;
    auto slot = w->endpoint.ring()->try_acquire();
    if (!slot) return fail(std::move(slot.error()));
    w->handle.slot = *slot;
    *out = &w->handle;
    return QM_OK;
  });
}

qm_status qm_writer_commit(qm_writer* w, qm_write_handle* h, uint64_t* entry_seq) noexcept {
  return call(w, [&] {
    if (qm_status checked = check_handle(*w, h); checked != QM_OK) return checked;
    auto seq = w->endpoint.commit(*std::exchange(h->slot, std::nullopt));
    if (!seq) return fail(std::move(seq.error()));
    if (entry_seq != nullptr) *entry_seq = *seq;
    return QM_OK;
  });
}

qm_status qm_writer_abandon(qm_writer* w, qm_write_handle* h) noexcept {
  return call(w, [&] {
    if (qm_status checked = check_handle(*w, h); checked != QM_OK) return checked;
    // The claimed slot's word stays 0 (readers skip it); the next claim takes it again.
    h->slot.reset();
    return QM_OK;
  });
}

void* qm_write_handle_data(qm_write_handle* h) noexcept {
  return h != nullptr && h->slot ? h->slot->payload : nullptr;
}

size_t qm_write_handle_size(const qm_write_handle* h) noexcept {
  return h != nullptr && h->slot ? h->slot->length : 0;
}

qm_status qm_writer_set_frame_type(qm_writer* w, const void* record, size_t size) noexcept {
  return call(w, [&] {
    if (record == nullptr) return null_argument("record");
    if (qm_status connected = connect(*w); connected != QM_OK) return connected;
    return quillmere::c::store_frame_type(w->endpoint.name(),
                                          std::span(static_cast<const std::byte*>(record), size));
  });
}

uint64_t qm_writer_entry_length(const qm_writer* w) noexcept {
  return w != nullptr ? w->endpoint.entry_length() / w->unit : 0;
}

uint64_t qm_writer_last_entry_seq(const qm_writer* w) noexcept {
  return w != nullptr ? w->endpoint.last_entry_seq() : 0;
}

int qm_writer_connected(const qm_writer* w) noexcept {
  return w != nullptr && w->endpoint.connected();
}

void qm_writer_close(qm_writer* w) noexcept {
  if (w == nullptr) return;
  // A fork child's copy gives nothing back: the role, the name and the slot are the parent's.
  if (!w->use.in_owner_process()) w->endpoint.disown();
  delete w;
}

}  // extern "C"
