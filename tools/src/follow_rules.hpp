// What every loop that reads a channel and waits when a read finds nothing keeps to (follow,
// afollow, batch followers), so that none of them spins, hangs or is used from two places:
//
//  - One call at a time. A signal handler runs inside a wait (signals are looked at while it
//    sleeps) and may call the same iterator again; a second thread may too. Either would use
//    the loop's state while the first call still does, so the second call is refused.
//  - Wait past what was seen. A copying read skips an entry held by the zero-copy reader, so
//    "writer_entry_seq above the reader's watermark" can stay true while nothing is readable.
//    Waiting for that would wake at once for as long as the hold lasts. Load writer_entry_seq
//    before the read; when the read finds nothing, wait for an entry above both it and the
//    watermark: the next publish (or the timeout) ends the wait, never the held entry.
//  - No registration outlives a sleep (Enrolment spans one sleep): a consumer that stops
//    calling leaves the writer publishing as if nobody waited.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>

#include "tools/src/doorbell_wait.hpp"
#include "tools/src/pace.hpp"

namespace quillmere_tools {

class FollowState {
 public:
  // A call in progress; false when another call already is (re-entered or concurrent).
  class Call {
   public:
    explicit Call(FollowState& state) noexcept : state_(state) {
      // acquire: pairs with the release below, so this call sees what the last one left.
      entered_ = !state_.busy_.exchange(true, std::memory_order_acquire);
    }
    ~Call() {
      // release: hands this call's changes to the next one.
      if (entered_) state_.busy_.store(false, std::memory_order_release);
    }
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;
    explicit operator bool() const noexcept { return entered_; }

   private:
    FollowState& state_;
    bool entered_;
  };

  // Just before a read: what the channel has published so far (nullptr: no bell yet).
  void before_read(const Bell* bell) noexcept { seen_ = bell ? writer_entry_seq(*bell) : 0; }
  // After a read found nothing: the entry_seq a wait has to get past.
  std::uint64_t wait_past(std::uint64_t watermark) const noexcept {
    return std::max(watermark, seen_);
  }
  Pace& pace() noexcept { return pace_; }
  // The iteration ended (timeout): later calls end at once.
  bool ended() const noexcept { return ended_; }
  void end() noexcept { ended_ = true; }

 private:
  std::atomic<bool> busy_{false};
  std::uint64_t seen_ = 0;
  Pace pace_;
  bool ended_ = false;
};

}  // namespace quillmere_tools
