// The writer endpoint: one process's writing end of a channel.
//
// It holds the writer role while connected and gives it back when destroyed. Its ring
// writer works on the mapping that the endpoint owns. Single user at a time: the owning
// class serialises every call, also while the interpreter lock is released.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "quillmere-core/src/doorbell.hpp"
#include "quillmere-core/src/error.hpp"
#include "quillmere-core/src/writer.hpp"
#include "quillmere/src/endpoint.hpp"

namespace quillmere::writer {

class RawWriter {
 public:
  // Creates, takes over or attaches to the channel at once; with delayed_connect and no
  // sizes, a missing or unusable segment leaves the endpoint unconnected instead.
  static quillmere_core::Result<RawWriter> make(std::string_view name,
                                                std::optional<std::uint64_t> entry_length,
                                                std::optional<std::uint64_t> entry_count,
                                                std::uint8_t dtype, bool delayed_connect);

  RawWriter(RawWriter&& other) noexcept;
  RawWriter& operator=(RawWriter&& other) noexcept;
  RawWriter(const RawWriter&) = delete;
  RawWriter& operator=(const RawWriter&) = delete;
  ~RawWriter();

  // True when connected after the call; false only for a deferred endpoint that still finds
  // no usable segment. On the hot path of every write, hence the inline check.
  quillmere_core::Result<bool> ensure_connected() {
    if (ring_) return true;
    return connect();
  }

  // Publishing, with the doorbell rung for whoever waits. Connected endpoints only (ring()
  // is not nullptr); every write and commit of this build goes through these two.
  quillmere_core::Result<void> write(std::span<const std::byte> data) {
    auto written = ring_->write(data);
    if (written) ring_doorbell();
    return written;
  }
  quillmere_core::Result<std::uint64_t> commit(const quillmere_core::writer::WriteSlot& slot) {
    auto seq = ring_->commit(slot);
    if (seq) ring_doorbell();
    return seq;
  }
  // Publishes whole entries laid end to end in `rows` (a multiple of entry_length), one entry
  // each in order, and rings the doorbell once for all of them: a waiter needs one wake-up to
  // find the lot. Stops at the first refusal; whatever went out before it is still rung.
  quillmere_core::Result<void> write_rows(std::span<const std::byte> rows);

  bool connected() const noexcept { return ring_.has_value(); }
  quillmere_core::writer::RawWriter* ring() noexcept { return ring_ ? &*ring_ : nullptr; }
  std::uint64_t entry_length() const noexcept { return ring_ ? ring_->entry_length() : 0; }
  std::uint64_t last_entry_seq() const noexcept { return ring_ ? ring_->last_entry_seq() : 0; }
  const std::string& name() const noexcept { return link_.name(); }
  void disown() noexcept { link_.disown(); }
  std::uint8_t dtype() const noexcept { return link_.dtype(); }
  bool delayed_connect() const noexcept { return link_.delayed_connect(); }

 private:
  explicit RawWriter(endpoint::Link link) noexcept;
  quillmere_core::Result<bool> connect();
  quillmere_core::Result<bool> bind(endpoint::MaybeAttached attached);

  // After the ring's stores of the slot word and writer_entry_seq (release): one load of the
  // waiter count, and a wake call only when it is not zero. Why no fence is needed between
  // that store and this load: see the lost-wake-up argument in quillmere-core's doorbell.hpp
  // (waiters re-check at least every kRecheckSliceNs).
  void ring_doorbell() noexcept {
    if (trailer_ != nullptr && quillmere_core::doorbell::anyone_waiting(trailer_)) [[unlikely]]
      wake_waiters();
  }
  [[gnu::cold]] void wake_waiters() noexcept;

  // Present exactly while the link holds a segment; points into that mapping.
  std::optional<quillmere_core::writer::RawWriter> ring_;
  endpoint::Link link_;
  // The segment's trailer while connected, nullptr when it has none (nothing to ring).
  std::byte* trailer_ = nullptr;
  // Wake calls in a row that found nobody asleep; many mean a crashed waiter's count.
  std::uint32_t idle_wakes_ = 0;
};

}  // namespace quillmere::writer
