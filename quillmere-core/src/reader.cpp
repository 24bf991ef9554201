// Ring reader: its one error message (the hot paths live in reader.hpp).
#include "quillmere-core/src/reader.hpp"

#include "quillmere-core/src/format.hpp"

namespace quillmere_core::reader::detail {

std::unexpected<ChannelError> destination_mismatch(std::uint64_t got, std::uint64_t expected) {
  return fail(ErrorKind::InvalidInput,
              format("destination holds {} bytes, expected {}", got, expected));
}

}  // namespace quillmere_core::reader::detail
