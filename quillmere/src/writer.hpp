// The writer endpoint: one process's writing end of a channel.
//
// It holds the writer role while connected and gives it back when destroyed. Its ring
// writer works on the mapping that the endpoint owns. Single user at a time: the owning
// class serialises every call, also while the interpreter lock is released.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

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

  bool connected() const noexcept { return ring_.has_value(); }
  quillmere_core::writer::RawWriter* ring() noexcept { return ring_ ? &*ring_ : nullptr; }
  std::uint64_t entry_length() const noexcept { return ring_ ? ring_->entry_length() : 0; }
  std::uint64_t last_entry_seq() const noexcept { return ring_ ? ring_->last_entry_seq() : 0; }
  const std::string& name() const noexcept { return link_.name(); }
  std::uint8_t dtype() const noexcept { return link_.dtype(); }
  bool delayed_connect() const noexcept { return link_.delayed_connect(); }

 private:
  explicit RawWriter(endpoint::Link link) noexcept;
  quillmere_core::Result<bool> connect();
  quillmere_core::Result<bool> bind(endpoint::MaybeAttached attached);

  // Present exactly while the link holds a segment; points into that mapping.
  std::optional<quillmere_core::writer::RawWriter> ring_;
  endpoint::Link link_;
};

}  // namespace quillmere::writer
