#include "quillmere/src/writer.hpp"

#include <utility>

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

RawWriter::RawWriter(RawWriter&& other) noexcept
    : ring_(std::exchange(other.ring_, std::nullopt)), link_(std::move(other.link_)) {}

RawWriter& RawWriter::operator=(RawWriter&& other) noexcept {
  if (this != &other) {
    ring_.reset();
    link_ = std::move(other.link_);
    ring_ = std::exchange(other.ring_, std::nullopt);
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
  return link_.bind(std::move(attached),
                    [this](std::byte* base, const metadata::HeaderSnapshot& header) {
                      ring_.emplace(quillmere_core::writer::RawWriter::attach(base, header));
                    });
}

}  // namespace quillmere::writer
