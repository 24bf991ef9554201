// The ring's hot paths on plain memory, one thread: what a write and a read cost without any
// system, binding or cross-core effects, and what the validated copy costs over memcpy.
//
//   ring_bench --benchmark_repetitions=5 --benchmark_report_aggregates_only=true
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <vector>

#include "quillmere-core/src/metadata.hpp"
#include "quillmere-core/src/reader.hpp"
#include "quillmere-core/src/writer.hpp"

namespace {

using namespace quillmere_core;

// A freshly initialised ring in page-aligned memory, like a real mapping, so that every
// benchmark sees the same payload alignment.
class Ring {
 public:
  Ring(std::uint64_t entry_length, std::uint64_t entry_count)
      : size_(*metadata::segment_size(entry_length, entry_count)),
        memory_(static_cast<std::byte*>(std::aligned_alloc(kPage, round_up(size_))), &std::free) {
    metadata::init_header(base(), entry_length, entry_count, metadata::kDtypeU8, 1);
  }
  std::byte* base() { return memory_.get(); }
  writer::RawWriter writer() { return writer::RawWriter::attach(base(), snapshot()); }
  reader::RawReader reader() {
    const auto header = snapshot();
    return reader::RawReader(base(), header.entry_length, header.entry_count);
  }

 private:
  static constexpr std::size_t kPage = 4096;
  static std::size_t round_up(std::size_t size) { return (size + kPage - 1) / kPage * kPage; }
  metadata::HeaderSnapshot snapshot() { return **metadata::read_header(base(), size_); }

  std::uint64_t size_;
  std::unique_ptr<std::byte, decltype(&std::free)> memory_;
};

// A destination of `length` bytes whose page offset lies half a page from the source's. On
// some CPUs memcpy (rep movsb) slows down by an order of magnitude when source and destination
// nearly share a page offset; fixing the placement measures the copy, not allocation luck.
std::span<std::byte> placed_apart(std::vector<std::byte>& storage, const std::byte* source,
                                  std::size_t length) {
  constexpr std::uintptr_t kPage = 4096;
  storage.assign(length + kPage, std::byte{0});
  const auto base = reinterpret_cast<std::uintptr_t>(storage.data());
  const std::uintptr_t wanted = (reinterpret_cast<std::uintptr_t>(source) + kPage / 2) % kPage;
  return {storage.data() + (wanted + kPage - base % kPage) % kPage, length};
}

// One 64-byte write followed by one read of it (the reader keeps up: fast path).
void BM_Write64ThenReadInto(benchmark::State& state) {
  Ring ring(64, 1024);
  auto writer = ring.writer();
  auto reader = ring.reader();
  std::vector<std::byte> in(64, std::byte{7}), out(64);
  for (auto _ : state) {
    auto written = writer.write(in);
    benchmark::DoNotOptimize(written.has_value());
    auto seq = reader.read_into(out, std::nullopt);
    benchmark::DoNotOptimize(seq->has_value());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Write64ThenReadInto);

void BM_Write64(benchmark::State& state) {
  Ring ring(64, 1024);
  auto writer = ring.writer();
  std::vector<std::byte> in(64, std::byte{7});
  for (auto _ : state) {
    auto written = writer.write(in);
    benchmark::DoNotOptimize(written.has_value());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Write64);

// The in-place paths: claim + commit on the writer, hold + release on the reader.
void BM_AcquireCommitThenHoldRelease64(benchmark::State& state) {
  Ring ring(64, 1024);
  auto writer = ring.writer();
  auto reader = ring.reader();
  for (auto _ : state) {
    auto slot = writer.try_acquire();
    auto seq = writer.commit(*slot);
    benchmark::DoNotOptimize(seq.has_value());
    auto held = reader.try_acquire(std::nullopt);
    reader.release(*held);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_AcquireCommitThenHoldRelease64);

// read_into on a one-slot ring, always from entry 0: header load, fast-path choice, copy,
// acquire fence, re-check. Compared with a bare memcpy of the same payload below.
void BM_ValidatedCopy(benchmark::State& state) {
  const auto length = static_cast<std::uint64_t>(state.range(0));
  Ring ring(length, 1);
  auto writer = ring.writer();
  std::vector<std::byte> in(length, std::byte{7}), storage;
  if (!writer.write(in)) state.SkipWithError("write failed");
  auto reader = ring.reader();
  const auto out = placed_apart(storage, metadata::slot_payload(ring.base(), length, 0), length);
  for (auto _ : state) {
    auto seq = reader.read_into(out, 0);
    benchmark::DoNotOptimize(seq->has_value());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * length));
}
BENCHMARK(BM_ValidatedCopy)->Arg(64)->Arg(4096)->Arg(1 << 20);

void BM_Memcpy(benchmark::State& state) {
  const auto length = static_cast<std::uint64_t>(state.range(0));
  Ring ring(length, 1);
  const std::byte* payload = metadata::slot_payload(ring.base(), length, 0);
  std::vector<std::byte> storage;
  const auto out = placed_apart(storage, payload, length);
  for (auto _ : state) {
    benchmark::DoNotOptimize(out.data());
    std::memcpy(out.data(), payload, length);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * length));
}
BENCHMARK(BM_Memcpy)->Arg(64)->Arg(4096)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();
