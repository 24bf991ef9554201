// The opaque objects behind the C handles, and the checks at the top of every call on one.
//
// A writer or reader owns its endpoint and the one write or read handle it hands out; the
// handle's slot is present exactly while the handle is outstanding. Calls on one end are
// meant to come from one thread at a time: an overlapping call is refused with QM_ERR_BUSY
// where it is noticed, which is cheap but not certain (two calls can still slip past each
// other). A fork child's copy of an end performs nothing.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

#include "include/quillmere/quillmere.h"
#include "quillmere-core/src/reader.hpp"
#include "quillmere-core/src/writer.hpp"
#include "quillmere/src/c/status.hpp"
#include "quillmere/src/process.hpp"
#include "quillmere/src/reader.hpp"
#include "quillmere/src/writer.hpp"

namespace quillmere::c {

// Which process an end belongs to, and whether a call is in progress on it.
class Use {
 public:
  explicit Use(const char* type_name) noexcept
      : owner_(process::current()), type_name_(type_name) {}

  bool in_owner_process() const noexcept { return process::current() == owner_; }

  // QM_OK and the end marked busy, or the refusal (fork child, overlapping call). On every
  // write and read, hence inline with the refusals out of line.
  qm_status enter() noexcept {
    if (!in_owner_process()) [[unlikely]]
      return refuse_fork_child();
    // relaxed: see leave(); a load and a store rather than an exchange keeps a locked
    // instruction off every write and read, at the price of missing some overlaps.
    if (busy_.load(std::memory_order_relaxed)) [[unlikely]]
      return refuse_overlap();
    busy_.store(true, std::memory_order_relaxed);
    return QM_OK;
  }
  void leave() noexcept {
    // relaxed: the flag only notices overlapping calls; threads that pass an end from one to
    // another order their calls by their own means.
    busy_.store(false, std::memory_order_relaxed);
  }

 private:
  [[gnu::cold]] qm_status refuse_fork_child() const noexcept;
  [[gnu::cold]] qm_status refuse_overlap() const noexcept;

  pid_t owner_;
  const char* type_name_;  // "qm_writer", "qm_reader": for messages
  std::atomic<bool> busy_{false};
};

// A NULL argument the caller must supply.
qm_status null_argument(std::string_view what) noexcept;

// Runs `body` as one call on `end`: NULL, fork-child and overlap checks first, the end marked
// busy meanwhile, every exception turned into a code.
template <class End, class Body>
qm_status call(End* end, Body&& body) noexcept {
  if (end == nullptr) return null_argument(End::kArgument);
  if (qm_status refused = end->use.enter(); refused != QM_OK) return refused;
  struct Leave {
    Use& use;
    ~Leave() { use.leave(); }
  } leave{end->use};
  return guarded(body);
}

}  // namespace quillmere::c

struct qm_write_handle {
  qm_writer* owner;
  std::optional<quillmere_core::writer::WriteSlot> slot;  // present while outstanding
};

struct qm_writer {
  static constexpr const char* kArgument = "writer";
  quillmere::writer::RawWriter endpoint;
  std::uint64_t unit;  // bytes per element of the channel's kind
  quillmere::c::Use use{"qm_writer"};
  qm_write_handle handle{this, std::nullopt};
};

struct qm_read_handle {
  qm_reader* owner;
  std::optional<quillmere_core::reader::ReadSlot> slot;  // present while outstanding
};

struct qm_reader {
  static constexpr const char* kArgument = "reader";
  quillmere::reader::RawReader endpoint;
  std::uint64_t unit;
  quillmere::c::Use use{"qm_reader"};
  qm_read_handle handle{this, std::nullopt};
};
