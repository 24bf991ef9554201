#include "quillmere/src/writer.hpp"

#include <utility>

#include "quillmere-core/src/trailer.hpp"
#include "quillmere/src/lifecycle.hpp"
#include "shm/src/futex.hpp"

namespace quillmere::writer {

namespace metadata = quillmere_core::metadata;
using quillmere_core::Result;

Result<RawWriter> RawWriter::make(std::string_view name, std::optional<std::uint64_t> entry_length,
                                  std::optional<std::uint64_t> entry_count, std::uint8_t dtype,
                                  bool delayed_connect) {
  RawWriter writer(
      endpoint::Link(name, dtype, delayed_connect,
                     endpoint::Role{metadata::offset::writer_pid, lifecycle::kWriterRole}));
  auto bound = writer.bind(writer.link_.open(entry_length, entry_count));
  if (!bound) return std::unexpected(std::move(bound.error()));
  return writer;
}

RawWriter::RawWriter(endpoint::Link link) noexcept : link_(std::move(link)) {}

namespace {

// Wake calls that find nobody asleep are normal now and then (a waiter between registering
// and sleeping, or just woken and not yet gone); this many in a row means a registration
// whose process is gone, so the pid slots are checked.
constexpr std::uint32_t kIdleWakesBeforeReaping = 1024;

}  // namespace

RawWriter::RawWriter(RawWriter&& other) noexcept
    : ring_(std::exchange(other.ring_, std::nullopt)),
      link_(std::move(other.link_)),
      trailer_(std::exchange(other.trailer_, nullptr)),
      idle_wakes_(std::exchange(other.idle_wakes_, 0)) {}

RawWriter& RawWriter::operator=(RawWriter&& other) noexcept {
  if (this != &other) {
    ring_.reset();
    link_ = std::move(other.link_);
    ring_ = std::exchange(other.ring_, std::nullopt);
    trailer_ = std::exchange(other.trailer_, nullptr);
    idle_wakes_ = std::exchange(other.idle_wakes_, 0);
  }
  return *this;
}

// The ring goes before the link, which gives the writer role back and unmaps.
RawWriter::~RawWriter() {
  ring_.reset();
}

Result<bool> RawWriter::connect() {
  return bind(link_.attach());
}

// The role is claimed before the ring writer resumes numbering from the header and slots, which
// it reads afresh (not from the snapshot taken before the claim).
Result<bool> RawWriter::bind(endpoint::MaybeAttached attached) {
  metadata::HeaderSnapshot geometry{};
  auto bound =
      link_.bind(std::move(attached), [&](std::byte* base, const metadata::HeaderSnapshot& header) {
        ring_.emplace(quillmere_core::writer::RawWriter::attach(base, header));
        geometry = header;
      });
  if (bound && *bound)
    trailer_ = quillmere_core::trailer::find(link_.base(), link_.mapped_size(), geometry).base;
  return bound;
}

Result<void> RawWriter::write_rows(std::span<const std::byte> rows) {
  const std::uint64_t length = ring_->entry_length();
  if (length == 0 || rows.size() % length != 0) [[unlikely]]
    return quillmere_core::writer::detail::length_mismatch(length, rows.size());
  Result<void> written;
  const std::uint64_t before = ring_->last_entry_seq();
  for (std::uint64_t at = 0; at < rows.size() && written; at += length)
    written = ring_->write(rows.subspan(at, length));
  if (ring_->last_entry_seq() != before) ring_doorbell();
  return written;
}

void RawWriter::wake_waiters() noexcept {
  if (shm::futex_wake_all(quillmere_core::trailer::doorbell_word(link_.base())) != 0) {
    idle_wakes_ = 0;
    return;
  }
  if (++idle_wakes_ < kIdleWakesBeforeReaping) return;
  idle_wakes_ = 0;
  quillmere_core::doorbell::reap(trailer_, lifecycle::process_alive);
}

}  // namespace quillmere::writer
