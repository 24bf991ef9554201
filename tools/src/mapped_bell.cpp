#include "tools/src/mapped_bell.hpp"

#include <sys/mman.h>

#include <utility>

namespace quillmere_tools {

namespace {

// A second mapping of an open segment; unmapped with the last copy.
class DescriptorMapping {
 public:
  DescriptorMapping(std::byte* base, std::uint64_t size) noexcept : base_(base), size_(size) {}
  ~DescriptorMapping() { ::munmap(base_, size_); }
  DescriptorMapping(const DescriptorMapping&) = delete;
  DescriptorMapping& operator=(const DescriptorMapping&) = delete;

 private:
  std::byte* base_;
  std::uint64_t size_;
};

}  // namespace

MappedBell bell_of(ChannelView view) {
  auto shared = std::make_shared<const ChannelView>(std::move(view));
  const Bell bell = shared->bell();
  return MappedBell{bell, std::move(shared)};
}

std::optional<MappedBell> bell_of_descriptor(int fd, std::uint64_t mapped_size,
                                             std::uint64_t entry_length,
                                             std::uint64_t entry_count) {
  void* base = ::mmap(nullptr, mapped_size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  if (base == MAP_FAILED) return std::nullopt;
  auto* segment = static_cast<std::byte*>(base);
  auto mapping = std::make_shared<const DescriptorMapping>(segment, mapped_size);
  return MappedBell{make_bell(segment, mapped_size, entry_length, entry_count), std::move(mapping)};
}

}  // namespace quillmere_tools
