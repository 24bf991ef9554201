#include "tools/src/timed_writes.hpp"

#include <sys/prctl.h>

#include "shm/src/futex.hpp"
#include "tools/src/cpu_relax.hpp"

namespace quillmere_tools {
namespace {

using namespace std::chrono_literals;

// Sleep until this long before an entry is due, then spin: a futex sleep ends up to tens of
// microseconds late, a spin on the clock does not.
constexpr auto kSpinBefore = 60us;
// At most this many lateness samples are kept; beyond, every other one is dropped
// and the sampling stride doubles, so an endless replay keeps bounded memory.
constexpr std::size_t kMostSamples = std::size_t{1} << 20;

void keep_every_other(std::vector<std::int64_t>& samples) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < samples.size(); i += 2) samples[kept++] = samples[i];
  samples.resize(kept);
}

}  // namespace

std::uint32_t Nudge::announce() noexcept {
  sleeping_.store(true, std::memory_order_relaxed);  // relaxed: ordered by the fence below
  // seq_cst fence: orders the flag's store before the sleeper's re-check of `ready()`, against
  // the fence in nudge() between the mover's change and its load of the flag: one of the two
  // threads sees the other's store, so no change goes unnoticed and no wake is missed.
  std::atomic_thread_fence(std::memory_order_seq_cst);
  // relaxed: the futex compares the word again in the kernel; this value only arms it.
  return std::atomic_ref<std::uint32_t>(word_).load(std::memory_order_relaxed);
}

bool Nudge::sleep(std::uint32_t seen, Clock::time_point deadline) noexcept {
  bool in_time = true;
  if (deadline != Clock::time_point::max()) {
    const auto left = deadline - Clock::now();
    in_time = left > 0ns &&
              quillmere::shm::futex_wait(&word_, seen, left) != quillmere::shm::FutexWait::TimedOut;
  } else {
    quillmere::shm::futex_wait(&word_, seen, 1h);
  }
  // relaxed: a stale true costs the mover one wake call, nothing more.
  sleeping_.store(false, std::memory_order_relaxed);
  return in_time;
}

void Nudge::nudge() noexcept {
  // relaxed increment: the futex word carries no data, only "look again".
  std::atomic_ref<std::uint32_t>(word_).fetch_add(1, std::memory_order_relaxed);
  // seq_cst fence: pairs with the one in announce() (see there).
  std::atomic_thread_fence(std::memory_order_seq_cst);
  // relaxed: ordered by the fence above.
  if (sleeping_.load(std::memory_order_relaxed)) quillmere::shm::futex_wake_all(&word_);
}

TimedWrites::TimedWrites(quillmere::writer::RawWriter& writer, std::size_t capacity,
                         std::uint64_t budget_bytes)
    : writer_(writer), ring_(capacity), budget_bytes_(budget_bytes), thread_([this] { play(); }) {}

TimedWrites::~TimedWrites() {
  stop();
}

bool TimedWrites::ended() const noexcept {
  // relaxed for the stop flag, which carries nothing else; acquire for failed_, after which
  // the failure's error is read.
  return stopping_.load(std::memory_order_relaxed) || failed_.load(std::memory_order_acquire);
}

bool TimedWrites::has_room(std::uint64_t bytes) const noexcept {
  // acquire: the playing thread's reads of a played entry happen before its place is reused.
  const std::uint64_t played = played_.load(std::memory_order_acquire);
  const std::uint64_t offered = offered_.load(std::memory_order_relaxed);  // ours
  if (offered - played >= ring_.size()) return false;
  // relaxed: an old value only makes us wait for the next nudge.
  const std::uint64_t queued = offered_bytes_ - played_bytes_.load(std::memory_order_relaxed);
  return offered == played || queued + bytes <= budget_bytes_;
}

bool TimedWrites::offer(const Entry& entry, Clock::time_point deadline) noexcept {
  const std::uint64_t bytes = entry.data.size();
  if (!room_.wait([&] { return ended() || has_room(bytes); }, deadline) || ended()) return false;
  const std::uint64_t offered = offered_.load(std::memory_order_relaxed);  // ours
  ring_[offered & (ring_.size() - 1)] = entry;
  offered_bytes_ += bytes;
  // release: the entry's place is filled before the playing thread sees it counted.
  offered_.store(offered + 1, std::memory_order_release);
  arrived_.nudge();
  return true;
}

std::uint64_t TimedWrites::played() const noexcept {
  // acquire: the entry was written (and its data read) before the caller lets the data go.
  return played_.load(std::memory_order_acquire);
}

bool TimedWrites::drain(Clock::time_point deadline) noexcept {
  const std::uint64_t offered = offered_.load(std::memory_order_relaxed);  // ours
  return room_.wait([&] { return ended() || played() == offered; }, deadline) && !ended();
}

std::optional<quillmere_core::ChannelError> TimedWrites::failure() const {
  // acquire: pairs with the release that published failure_.
  if (!failed_.load(std::memory_order_acquire)) return std::nullopt;
  return failure_;
}

void TimedWrites::stop() noexcept {
  if (!thread_.joinable()) return;
  // relaxed: the flag carries nothing else, and join() orders all that follows.
  stopping_.store(true, std::memory_order_relaxed);
  arrived_.nudge();
  stopped_.nudge();
  room_.nudge();
  thread_.join();
}

bool TimedWrites::wait_until_due(Clock::time_point due) noexcept {
  // relaxed: the stop flag carries nothing else.
  const auto stopping = [this] { return stopping_.load(std::memory_order_relaxed); };
  if (stopped_.wait(stopping, due - kSpinBefore)) return false;
  while (Clock::now() < due) cpu_relax();
  return true;
}

void TimedWrites::account(const Entry& entry, Clock::time_point written) {
  Counts& counts = counts_;
  ++counts.written;
  if (entry.due == Clock::time_point{}) return;
  const std::int64_t late = (written - entry.due).count();
  const std::int64_t change = counts.timed == 0 ? 0 : late - counts.previous;
  counts.previous = late;
  if (counts.timed++ % counts.stride != 0) return;
  if (counts.timed > 1) counts.lateness_change.push_back(change < 0 ? -change : change);
  counts.lateness.push_back(late);
  if (counts.lateness.size() < kMostSamples) return;
  keep_every_other(counts.lateness);
  keep_every_other(counts.lateness_change);
  counts.stride *= 2;
}

void TimedWrites::play() noexcept {
  // The sleep before each entry ends within a microsecond of its time instead of the 50 us
  // slack a thread gets by default.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  // relaxed: the stop flag carries nothing else.
  const auto stopping = [this] { return stopping_.load(std::memory_order_relaxed); };
  for (;;) {
    const std::uint64_t next = played_.load(std::memory_order_relaxed);  // ours
    // acquire: the entry's place was filled before offered_ counted it.
    const auto arrived = [&] {
      return stopping() || offered_.load(std::memory_order_acquire) > next;
    };
    arrived_.wait(arrived, Clock::time_point::max());
    if (stopping()) return;
    const Entry entry = ring_[next & (ring_.size() - 1)];
    if (entry.due != Clock::time_point{} && !wait_until_due(entry.due)) return;
    auto written = writer_.write(entry.data);
    if (!written) {
      failure_ = std::move(written.error());
      // release: failure_ is complete before anyone sees failed_.
      failed_.store(true, std::memory_order_release);
      room_.nudge();
      return;
    }
    try {
      account(entry, Clock::now());
    } catch (...) {  // out of memory for samples: the entry was written all the same
    }
    // relaxed: only a measure of room; played_ below orders what matters.
    played_bytes_.fetch_add(entry.data.size(), std::memory_order_relaxed);
    // release: our reads of the entry and its data are done before its place may be reused.
    played_.store(next + 1, std::memory_order_release);
    room_.nudge();
  }
}

}  // namespace quillmere_tools
