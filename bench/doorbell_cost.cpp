// What the doorbell adds to a publish with nobody waiting, on plain memory, in one run:
//   ring      the ring writer's write() alone (the path before the doorbell existed)
//   acquire   write() + an acquire load of the waiter count (what the writer endpoint does)
//   fence     write() + a sequentially consistent fence + the load (the alternative that
//             would make the waiters' re-check slice unnecessary)
// Variants take turns round by round; prints the median ns per write and the ratio to ring.
//
//   build/bench/doorbell_cost [rounds]
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "quillmere-core/src/doorbell.hpp"
#include "quillmere-core/src/metadata.hpp"
#include "quillmere-core/src/trailer.hpp"
#include "quillmere-core/src/writer.hpp"

namespace {

namespace core = quillmere_core;
constexpr std::uint64_t kLength = 64, kCount = 1024, kWrites = 1 << 20;

enum class Variant { Ring, Acquire, Fence };

struct Segment {
  Segment() : bytes(*core::trailer::segment_size(kLength, kCount)) {
    base = bytes.data();
    core::metadata::init_header(base, kLength, kCount, core::metadata::kDtypeU8, 1);
    trailer = base + *core::trailer::trailer_offset(kLength, kCount);
    core::trailer::init(trailer);
  }
  std::vector<std::byte> bytes;
  std::byte* base;
  std::byte* trailer;
};

[[gnu::noinline]] void wake() {
  std::abort();  // nobody waits in this benchmark
}

double run(Segment& segment, Variant variant) {
  auto header = core::metadata::read_header(segment.base, segment.bytes.size());
  auto writer = core::writer::RawWriter::attach(segment.base, **header);
  std::byte payload[kLength]{};
  const auto start = std::chrono::steady_clock::now();
  for (std::uint64_t i = 0; i < kWrites; ++i) {
    payload[0] = static_cast<std::byte>(i);
    if (!writer.write(payload)) std::abort();
    if (variant == Variant::Fence) std::atomic_thread_fence(std::memory_order_seq_cst);
    if (variant != Variant::Ring && core::doorbell::anyone_waiting(segment.trailer)) wake();
  }
  const std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
  return took.count() / kWrites;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  const int rounds = argc > 1 ? std::atoi(argv[1]) : 15;
  Segment segment;
  std::vector<double> ring, acquire, fence;
  for (int round = 0; round < rounds; ++round) {
    ring.push_back(run(segment, Variant::Ring));
    acquire.push_back(run(segment, Variant::Acquire));
    fence.push_back(run(segment, Variant::Fence));
  }
  const double base = median(ring);
  std::printf("write of %llu B, %d rounds of %llu writes, median ns per write:\n",
              static_cast<unsigned long long>(kLength), rounds,
              static_cast<unsigned long long>(kWrites));
  std::printf("  ring     %6.2f ns\n", base);
  std::printf("  acquire  %6.2f ns  (x%.3f)\n", median(acquire), median(acquire) / base);
  std::printf("  fence    %6.2f ns  (x%.3f)\n", median(fence), median(fence) / base);
}
