// Whether the process recorded in a pid word of a segment header is still there.
//
// A pid word outlives its process when that process crashes, and the system hands its id
// to an unrelated process sooner or later; kill(pid, 0) alone would then call the dead
// holder alive. Every holder keeps the segment mapped for as long as it holds its word (it
// maps before it claims, and gives the word back before it unmaps), so a live process whose
// memory map provably lacks the segment is somebody else under a reused id.
#pragma once

#include <cstdint>
#include <string_view>

#include "shm/src/read_only.hpp"

namespace quillmere_tools {

enum class Liveness : std::uint8_t {
  None,     // the word names nobody
  Alive,    // the process lives, and maps the segment or does not let us look
  Dead,     // no such process
  Unknown,  // a live process has the id but does not map the segment: the id was reused
};

// The process id a pid word records: its low 32 bits.
constexpr std::uint32_t pid_of(std::uint64_t word) noexcept {
  return static_cast<std::uint32_t>(word);
}

// Looks at the process now; `segment` identifies the object the word was read from.
Liveness liveness(std::uint64_t word, const quillmere::shm::FileStatus& segment);

std::string_view liveness_name(Liveness liveness) noexcept;

}  // namespace quillmere_tools
