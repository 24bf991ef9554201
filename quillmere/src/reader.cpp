#include "quillmere/src/reader.hpp"

#include <utility>

namespace quillmere::reader {

namespace metadata = quillmere_core::metadata;
using quillmere_core::Result;

Result<RawReader> RawReader::make(std::string_view name, std::optional<std::uint64_t> entry_length,
                                  std::optional<std::uint64_t> entry_count, std::uint8_t dtype,
                                  bool delayed_connect) {
  return open(name, entry_length, entry_count, dtype, delayed_connect, false);
}

Result<RawReader> RawReader::make_zero_copy(std::string_view name,
                                            std::optional<std::uint64_t> entry_length,
                                            std::optional<std::uint64_t> entry_count,
                                            std::uint8_t dtype, bool delayed_connect) {
  return open(name, entry_length, entry_count, dtype, delayed_connect, true);
}

Result<RawReader> RawReader::open(std::string_view name, std::optional<std::uint64_t> entry_length,
                                  std::optional<std::uint64_t> entry_count, std::uint8_t dtype,
                                  bool delayed_connect, bool zero_copy) {
  std::optional<endpoint::Role> role;
  if (zero_copy)
    role = endpoint::Role{metadata::offset::reader_pid, lifecycle::kZeroCopyReaderRole};
  RawReader reader(endpoint::Link(name, dtype, delayed_connect, role), zero_copy);
  auto bound = reader.bind(reader.link_.open(entry_length, entry_count));
  if (!bound) return std::unexpected(std::move(bound.error()));
  return reader;
}

RawReader::RawReader(endpoint::Link link, bool zero_copy) noexcept
    : link_(std::move(link)), zero_copy_(zero_copy) {}

RawReader::RawReader(RawReader&& other) noexcept
    : ring_(std::exchange(other.ring_, std::nullopt)),
      link_(std::move(other.link_)),
      zero_copy_(other.zero_copy_) {}

RawReader& RawReader::operator=(RawReader&& other) noexcept {
  if (this != &other) {
    ring_.reset();
    link_ = std::move(other.link_);
    ring_ = std::exchange(other.ring_, std::nullopt);
    zero_copy_ = other.zero_copy_;
  }
  return *this;
}

// The ring goes before the link, which gives the zero-copy role back (if held) and unmaps.
RawReader::~RawReader() {
  ring_.reset();
}

Result<std::optional<quillmere_core::reader::ReadSlot>> RawReader::try_acquire(
    std::optional<std::uint64_t> from_entry_seq) {
  if (!zero_copy_) {
    return quillmere_core::fail(quillmere_core::ErrorKind::InvalidInput,
                                "zero-copy reads require a reader built with new_zero_copy");
  }
  auto connected = ensure_connected();
  if (!connected) return std::unexpected(std::move(connected.error()));
  if (!*connected) return std::nullopt;
  return ring_->try_acquire(from_entry_seq);
}

Result<bool> RawReader::connect() {
  return bind(link_.attach());
}

// A zero-copy endpoint claims its role first; the ring reader starts at watermark 0.
Result<bool> RawReader::bind(endpoint::MaybeAttached attached) {
  return link_.bind(std::move(attached),
                    [this](std::byte* base, const metadata::HeaderSnapshot& header) {
                      ring_.emplace(base, header.entry_length, header.entry_count);
                    });
}

}  // namespace quillmere::reader
