// libFuzzer target: the bytes after a ring as a hostile process may have left them. The first
// 16 bytes of the input choose a small geometry; the rest is the segment image, copied into a
// heap block of exactly its size so AddressSanitizer flags any access past the "mapping".
// Whatever the bytes, looking for the trailer must stay inside the mapping, the record must
// come back inside the trailer, and a waiter's registration and leaving must give the count
// back (when it was not already at its limit) without touching anything outside the trailer.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "quillmere-core/src/doorbell.hpp"
#include "quillmere-core/src/metadata.hpp"
#include "quillmere-core/src/trailer.hpp"

namespace {

namespace trailer = quillmere_core::trailer;
namespace doorbell = quillmere_core::doorbell;

void require(bool property) {
  if (!property) std::abort();
}

std::uint64_t load(const std::uint8_t* bytes) {
  std::uint64_t value;
  std::memcpy(&value, bytes, 8);
  return value;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 16) return 0;
  // Geometries up to 64 x 64 keep images small; a multiple of 8 keeps words aligned.
  const std::uint64_t entry_length = 8 * (1 + load(data) % 8);
  const std::uint64_t entry_count = 1 + load(data + 8) % 64;
  const std::size_t image_size = size - 16;
  auto image = std::make_unique<std::byte[]>(image_size == 0 ? 1 : image_size);
  if (image_size != 0) std::memcpy(image.get(), data + 16, image_size);

  const quillmere_core::metadata::HeaderSnapshot header{entry_length, entry_count, 0, 0, 0};
  const trailer::Found found = trailer::find(image.get(), image_size, header);
  if (found.state != trailer::State::Valid) {
    require(found.base == nullptr);
    return 0;
  }
  std::byte* bell = found.base;
  require(bell >= image.get() && bell + trailer::kTrailerSize <= image.get() + image_size);
  auto record = trailer::record(bell);
  require(record.data() == bell + trailer::offset::record &&
          record.size() <= trailer::kRecordCapacity);

  // Loads here use the default ordering: one thread, nothing to pair with.
  const std::uint64_t before = doorbell::waiters(bell).load();
  auto registration = doorbell::enter(bell, 4242);
  require(doorbell::anyone_waiting(bell) || before == ~std::uint64_t{0});
  doorbell::leave(bell, registration);
  if (before != ~std::uint64_t{0}) require(doorbell::waiters(bell).load() == before);
  // Every recorded process counts as dead: each cleared slot lowers the count at most once.
  const std::uint64_t cleared = doorbell::reap(bell, [](std::uint64_t) { return false; });
  require(cleared <= trailer::kWaiterSlots);
  for (std::uint64_t slot = 0; slot < trailer::kWaiterSlots; ++slot)
    require(*trailer::waiter_pid(bell, slot) == 0);
  return 0;
}
