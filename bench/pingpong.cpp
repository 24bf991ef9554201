// Cross-process cache-line ping-pong: the machine's one-way latency floor.
//
// Two processes share one 64-byte line in a MAP_SHARED anonymous mapping. The
// parent stores an odd counter value, the child spins until it sees it and
// stores the next even value, and the parent spins for that. One round trip
// moves the line across cores twice, so round trip / 2 is the cheapest possible
// one-way hand-off between two processes on this machine; any channel has to
// pay at least this much.
//
// Usage: pingpong [round_trips] [warmup_round_trips]
// Prints one JSON object with the one-way percentiles in nanoseconds.

#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

struct alignas(64) SharedLine {
  std::uint64_t counter;
};

using Clock = std::chrono::steady_clock;

std::uint64_t load(SharedLine* line) {
  // acquire: pairs with the release store of the other process in store().
  return std::atomic_ref<std::uint64_t>(line->counter).load(std::memory_order_acquire);
}

void store(SharedLine* line, std::uint64_t value) {
  // release: pairs with the acquire load of the other process in load().
  std::atomic_ref<std::uint64_t>(line->counter).store(value, std::memory_order_release);
}

// Child: answer every odd value v with v + 1 until the parent stores 0.
[[noreturn]] void echo(SharedLine* line) {
  std::uint64_t expected = 1;
  for (;;) {
    std::uint64_t seen = load(line);
    if (seen == 0) _exit(0);
    if (seen == expected) {
      store(line, expected + 1);
      expected += 2;
    }
  }
}

double percentile(const std::vector<std::int64_t>& sorted, double fraction) {
  const auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1));
  return static_cast<double>(sorted[index]);
}

std::vector<std::int64_t> ping(SharedLine* line, std::size_t warmup, std::size_t rounds) {
  std::vector<std::int64_t> samples;
  samples.reserve(rounds);
  std::uint64_t next = 1;
  for (std::size_t i = 0; i < warmup + rounds; ++i, next += 2) {
    const auto start = Clock::now();
    store(line, next);
    while (load(line) != next + 1) {
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start);
    if (i >= warmup) samples.push_back(elapsed.count());
  }
  return samples;
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t rounds = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 200000;
  const std::size_t warmup = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 20000;
  if (rounds == 0) return 2;
  void* mapping =
      mmap(nullptr, sizeof(SharedLine), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) return 1;
  auto* line = static_cast<SharedLine*>(mapping);
  store(line, 2);  // neither 0 (stop) nor odd (a ping) until the parent starts
  const pid_t child = fork();
  if (child < 0) return 1;
  if (child == 0) echo(line);
  auto samples = ping(line, warmup, rounds);
  store(line, 0);
  waitpid(child, nullptr, 0);
  munmap(mapping, sizeof(SharedLine));
  std::sort(samples.begin(), samples.end());
  // One-way = round trip / 2.
  std::printf(
      "{\"rounds\": %zu, \"p50_ns\": %.1f, \"p99_ns\": %.1f, \"p999_ns\": %.1f, \"min_ns\": "
      "%.1f}\n",
      samples.size(), percentile(samples, 0.50) / 2, percentile(samples, 0.99) / 2,
      percentile(samples, 0.999) / 2, static_cast<double>(samples.front()) / 2);
  return 0;
}
