// The C API against what it wraps, side by side in one run, and the two ends of the one-way
// latency runs that bench/c_api.py drives.
//
//   c_api_bench costs                       64 B write: C API vs the core's ring writer;
//                                           1 MiB read: C API vs memcpy from the same slot
//   c_api_bench stamp-writer NAME COUNT     creates NAME, "ready", waits for a line, then
//                                           writes COUNT stamped entries 50 us apart
//   c_api_bench spin-reader NAME COUNT      attaches, "ready", spins on read; prints the median
//                                           one-way latency in ns
#include <quillmere/quillmere.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "quillmere-core/src/metadata.hpp"
#include "quillmere-core/src/writer.hpp"

namespace {

using Clock = std::chrono::steady_clock;
// Short rounds, many of them: on a shared machine the load drifts, and a ratio taken within
// one round compares the two sides under the same load.
constexpr int kRounds = 101;

std::int64_t now_ns() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
      .count();
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

void require(qm_status status, const char* what) {
  if (status == QM_OK) return;
  std::fprintf(stderr, "%s: %s: %s\n", what, qm_status_name(status), qm_last_error());
  std::exit(1);
}

struct Comparison {
  double ours, theirs, ratio;  // medians: ns per call of each side, and of the per-round ratio
};

// Our body against theirs (each run `calls` times per round), rounds interleaved so that both
// see the same machine.
Comparison side_by_side(int calls, const std::vector<std::function<void()>>& bodies) {
  std::vector<std::vector<double>> samples(bodies.size());
  for (int round = 0; round < kRounds; ++round) {
    for (std::size_t i = 0; i < bodies.size(); ++i) {
      const auto start = Clock::now();
      for (int call = 0; call < calls; ++call) bodies[i]();
      const std::chrono::duration<double, std::nano> took = Clock::now() - start;
      samples[i].push_back(took.count() / calls);
    }
  }
  std::vector<double> ratios;
  for (int round = 0; round < kRounds; ++round)
    ratios.push_back(samples[0][round] / samples[1][round]);
  return {median(samples[0]), median(samples[1]), median(ratios)};
}

void report(const char* what, const char* ours, const char* theirs, Comparison m) {
  std::printf("%-12s %-20s %9.1f ns   %-22s %9.1f ns   ratio %.2fx\n", what, ours, m.ours, theirs,
              m.theirs, m.ratio);
}

void write_costs() {
  using namespace quillmere_core;
  constexpr std::uint64_t kLength = 64, kCount = 1024;
  const std::string name = "/qm-bench-capi-" + std::to_string(::getpid());
  qm_writer* writer = nullptr;
  require(qm_writer_open(name.c_str(), QM_BYTES, kLength, kCount, 0, &writer), "open");
  // The core's writer on page-aligned plain memory of the same geometry.
  const std::uint64_t size = *metadata::segment_size(kLength, kCount);
  std::unique_ptr<std::byte, decltype(&std::free)> memory(
      static_cast<std::byte*>(std::aligned_alloc(4096, (size + 4095) / 4096 * 4096)), &std::free);
  metadata::init_header(memory.get(), kLength, kCount, metadata::kDtypeU8, 1);
  auto core = writer::RawWriter::attach(memory.get(), **metadata::read_header(memory.get(), size));
  std::vector<std::byte> entry(kLength, std::byte{7});
  report("64 B write", "qm_writer_write", "core RawWriter::write",
         side_by_side(20000,
                      {[&] { require(qm_writer_write(writer, entry.data(), kLength), "write"); },
                       [&] {
                         if (!core.write(entry)) std::exit(1);
                       }}));
  qm_writer_close(writer);
}

void read_costs() {
  constexpr std::uint64_t kLength = 1 << 20;
  const std::string name = "/qm-bench-capi-read-" + std::to_string(::getpid());
  qm_writer* writer = nullptr;
  qm_reader* reader = nullptr;
  require(qm_writer_open(name.c_str(), QM_BYTES, kLength, 4, 0, &writer), "open");
  require(qm_reader_open(name.c_str(), QM_BYTES, 0, 0, QM_ZERO_COPY, &reader), "open reader");
  std::vector<std::byte> entry(kLength, std::byte{3}), out(kLength);
  require(qm_writer_write(writer, entry.data(), kLength), "write");
  // The slot the entry lives in, for memcpy over exactly the bytes the reader copies.
  qm_read_handle* held = nullptr;
  require(qm_reader_try_acquire(reader, &held), "acquire");
  const void* slot = qm_read_handle_data(held);
  require(qm_reader_release(reader, held), "release");
  report("1 MiB read", "qm_reader_read_from", "memcpy from the slot",
         side_by_side(20, {[&] {
                             require(qm_reader_read_from(reader, 0, out.data(), kLength, nullptr),
                                     "read");
                           },
                           [&] {
                             std::memcpy(out.data(), slot, kLength);
                             asm volatile("" : : "r"(out.data()) : "memory");
                           }}));
  qm_reader_close(reader);
  qm_writer_close(writer);
}

void ready_then_wait_for_line() {
  std::printf("ready\n");
  std::fflush(stdout);
  for (int c = std::getchar(); c != '\n' && c != EOF; c = std::getchar()) {
  }
}

int stamp_writer(const char* name, long count) {
  qm_writer* writer = nullptr;
  require(qm_writer_open(name, QM_BYTES, 64, 1024, 0, &writer), "open");
  ready_then_wait_for_line();
  std::byte entry[64] = {};
  for (long i = 0; i < count; ++i) {
    const std::int64_t pause_until = now_ns() + 50000;
    while (now_ns() < pause_until) {
    }
    const std::int64_t stamp = now_ns();
    std::memcpy(entry, &stamp, sizeof stamp);
    require(qm_writer_write(writer, entry, sizeof entry), "write");
  }
  std::printf("done\n");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  qm_writer_close(writer);
  return 0;
}

int spin_reader(const char* name, long count) {
  qm_reader* reader = nullptr;
  require(qm_reader_open(name, QM_BYTES, 0, 0, 0, &reader), "open");
  std::printf("ready\n");
  std::fflush(stdout);
  std::vector<double> latencies;
  std::byte entry[64];
  // Until the last entry: a reader the scheduler keeps off its core for a whole lap skips
  // entries, so they are not counted.
  for (std::uint64_t seq = 0; seq < static_cast<std::uint64_t>(count);) {
    const qm_status status = qm_reader_read(reader, entry, sizeof entry, &seq);
    if (status == QM_EMPTY) continue;
    require(status, "read");
    const std::int64_t arrived = now_ns();
    std::int64_t stamp = 0;
    std::memcpy(&stamp, entry, sizeof stamp);
    latencies.push_back(static_cast<double>(arrived - stamp));
  }
  std::printf("%.0f\n", median(latencies));
  qm_reader_close(reader);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "costs") {
    write_costs();
    read_costs();
    return 0;
  }
  if (mode == "stamp-writer" && argc == 4) return stamp_writer(argv[2], std::atol(argv[3]));
  if (mode == "spin-reader" && argc == 4) return spin_reader(argv[2], std::atol(argv[3]));
  std::fprintf(stderr,
               "usage: c_api_bench costs | stamp-writer NAME COUNT | spin-reader NAME COUNT\n");
  return 2;
}
