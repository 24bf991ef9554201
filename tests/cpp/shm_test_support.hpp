// Helpers shared by the segment and channel tests: unique names that are removed again on
// every exit path, and real child processes driven through pipes (no sleeps, no timing).
#pragma once

#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <string>
#include <string_view>

#include "shm/src/shmem.hpp"

namespace quillmere::testing {

// "/qm-<tag>-<pid>-<counter>": unique across test processes and within one.
inline std::string unique_name(std::string_view tag) {
  static std::atomic<std::uint64_t> counter{0};
  // relaxed: only uniqueness within this process matters, nothing is published through it
  auto n = counter.fetch_add(1, std::memory_order_relaxed);
  return "/qm-" + std::string(tag) + "-" + std::to_string(::getpid()) + "-" + std::to_string(n);
}

// A unique channel name that is unlinked when the test leaves its scope, pass or fail.
class ScopedName {
 public:
  explicit ScopedName(std::string_view tag) : name_(unique_name(tag)) { shm::unlink(name_); }
  ~ScopedName() { shm::unlink(name_); }
  ScopedName(const ScopedName&) = delete;
  ScopedName& operator=(const ScopedName&) = delete;
  const std::string& str() const { return name_; }
  operator std::string_view() const { return name_; }

 private:
  std::string name_;
};

// A one-way byte channel between parent and child, used as a barrier: the reader blocks in
// read() until the other side writes or closes, so the tests never wait on a clock.
class Pipe {
 public:
  Pipe() {
    if (::pipe(fds_) != 0) std::abort();
  }
  ~Pipe() {
    close_read();
    close_write();
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;

  // Each side uses a pipe in one direction only; dropping the unused end lets receive() see
  // the end of the stream when the sender goes away without sending.
  void send(char byte = 'x') {
    close_read();
    if (::write(fds_[1], &byte, 1) != 1) std::abort();
  }
  // The byte sent, or 0 when the sending side closed without sending.
  char receive() {
    close_write();
    char byte = 0;
    return ::read(fds_[0], &byte, 1) == 1 ? byte : 0;
  }
  void close_read() { close_end(0); }
  void close_write() { close_end(1); }

 private:
  void close_end(int end) {
    if (fds_[end] >= 0) ::close(fds_[end]);
    fds_[end] = -1;
  }
  int fds_[2] = {-1, -1};
};

// A forked child that runs `body` and ends with _exit(its result), skipping the test
// framework's exit handlers. wait() returns the exit code, or 128 + signal number.
class Child {
 public:
  explicit Child(const std::function<int()>& body) {
    pid_ = ::fork();
    if (pid_ < 0) std::abort();
    if (pid_ == 0) ::_exit(body());
  }
  // A child not waited for (the test failed early) is killed, so that a failing test never
  // hangs on a child that waits for a message that will not come.
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      wait();
    }
  }
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }
  // True once the child has ended (and is reaped); never blocks.
  bool exited() {
    if (pid_ <= 0) return true;
    int status = 0;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }
  int wait() {
    if (pid_ <= 0) return status_;
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0) {
    }
    pid_ = -1;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return status_;
  }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
};

// Ends the calling (child) process on the spot, as a crash would: no destructor runs, so
// whatever its locals hold (roles, ownership) stays recorded in the segment.
[[noreturn]] inline void vanish(int code = 0) {
  ::_exit(code);
}

// The id of a process that has exited and been reaped; no live process holds it until the
// system hands it out again, which cannot happen in the few steps a test takes with it.
inline pid_t dead_pid() {
  Child child([] { return 0; });
  pid_t pid = child.pid();
  child.wait();
  return pid;
}

}  // namespace quillmere::testing
