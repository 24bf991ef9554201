// The reader endpoint: one process's reading end of a channel.
//
// A plain reader holds no role and never writes to the segment. One built by
// make_zero_copy holds the zero-copy reader role while connected, may pin entries with
// try_acquire, and gives the role back when destroyed. Single user at a time: the owning
// class serialises every call, also while the interpreter lock is released.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "quillmere-core/src/error.hpp"
#include "quillmere-core/src/reader.hpp"
#include "quillmere/src/endpoint.hpp"

namespace quillmere::reader {

class RawReader {
 public:
  // Creates, takes over or attaches to the channel at once; with delayed_connect and no
  // sizes, a missing or unusable segment leaves the endpoint unconnected instead.
  static quillmere_core::Result<RawReader> make(std::string_view name,
                                                std::optional<std::uint64_t> entry_length,
                                                std::optional<std::uint64_t> entry_count,
                                                std::uint8_t dtype, bool delayed_connect);
  // The same, and the endpoint claims the zero-copy reader role when it connects.
  static quillmere_core::Result<RawReader> make_zero_copy(std::string_view name,
                                                          std::optional<std::uint64_t> entry_length,
                                                          std::optional<std::uint64_t> entry_count,
                                                          std::uint8_t dtype, bool delayed_connect);

  RawReader(RawReader&& other) noexcept;
  RawReader& operator=(RawReader&& other) noexcept;
  RawReader(const RawReader&) = delete;
  RawReader& operator=(const RawReader&) = delete;
  ~RawReader();

  // True when connected after the call; false only for a deferred endpoint that still finds
  // no usable segment. On the hot path of every read, hence the inline check.
  quillmere_core::Result<bool> ensure_connected() {
    if (ring_) return true;
    return connect();
  }

  // Pins the next entry in place (zero-copy endpoints only; refused before any attempt to
  // connect otherwise). Nothing when unconnected or when there is nothing newer.
  quillmere_core::Result<std::optional<quillmere_core::reader::ReadSlot>> try_acquire(
      std::optional<std::uint64_t> from_entry_seq);

  bool connected() const noexcept { return ring_.has_value(); }
  bool zero_copy() const noexcept { return zero_copy_; }
  quillmere_core::reader::RawReader* ring() noexcept { return ring_ ? &*ring_ : nullptr; }
  std::uint64_t entry_length() const noexcept { return ring_ ? ring_->entry_length() : 0; }
  std::uint64_t last_entry_seq() const noexcept { return ring_ ? ring_->last_entry_seq() : 0; }
  // Loaded from the segment header at the moment of the call.
  std::uint64_t writer_entry_seq() const noexcept { return ring_ ? ring_->writer_entry_seq() : 0; }
  const std::string& name() const noexcept { return link_.name(); }
  void disown() noexcept { link_.disown(); }
  // The mapping while connected (nullptr, 0 otherwise), for waiting on the channel's doorbell.
  std::byte* base() const noexcept { return link_.base(); }
  std::uint64_t mapped_size() const noexcept { return link_.mapped_size(); }
  // The segment's descriptor while connected (-1 otherwise), to map the same object again.
  int fd() const noexcept { return link_.fd(); }
  std::uint8_t dtype() const noexcept { return link_.dtype(); }
  bool delayed_connect() const noexcept { return link_.delayed_connect(); }

 private:
  static quillmere_core::Result<RawReader> open(std::string_view name,
                                                std::optional<std::uint64_t> entry_length,
                                                std::optional<std::uint64_t> entry_count,
                                                std::uint8_t dtype, bool delayed_connect,
                                                bool zero_copy);
  RawReader(endpoint::Link link, bool zero_copy) noexcept;
  quillmere_core::Result<bool> connect();
  quillmere_core::Result<bool> bind(endpoint::MaybeAttached attached);

  // Present exactly while the link holds a segment; points into that mapping.
  std::optional<quillmere_core::reader::RawReader> ring_;
  endpoint::Link link_;
  bool zero_copy_;
};

}  // namespace quillmere::reader
