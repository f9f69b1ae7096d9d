#pragma once
// The one way a thread waits. Every place where a thread may block goes through these helpers:
// reading input, writing to a full pipe, a tool sleeping, waiting for the client's answer, waiting
// for the task group. They keep two rules, so that no call site has to:
// - what the calling thread holds back in its sink leaves first, so nothing written waits behind a
//   thread that blocks;
// - on a worker, the task group hears that the worker is about to block, and gives queued tasks
//   another worker at once.
// EINTR and EAGAIN mean "not now": the helpers wait for readiness and go on.

#include <poll.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>

#include "protocol/sink.h"

// The system calls behind the helpers: the system's own unless a test has put others in their place
// to inject faults (EINTR, EAGAIN, short transfers, EPIPE...). Replace them only while no other
// thread does I/O.
struct IoCalls {
  ssize_t (*read)(int fd, void* buffer, std::size_t size);
  ssize_t (*write)(int fd, const void* data, std::size_t size);
  int (*poll)(pollfd* fds, nfds_t count, int timeout_ms);
};
extern IoCalls io_calls;
inline constexpr IoCalls system_io_calls = {&::read, &::write, &::poll};

// While it lives, the calling thread's held lines are those of `out` (null: none), and, when
// `reads_input`, the thread is the one that reads input: it must never wait for a full pipe while
// requests may still come. Set by whoever owns the thread: the line loop on the main thread, the
// task group on its workers.
class HeldLines {
 public:
  explicit HeldLines(const Sink* out, bool reads_input = false) noexcept;
  ~HeldLines();
  HeldLines(const HeldLines&) = delete;
  HeldLines& operator=(const HeldLines&) = delete;

 private:
  const Sink* previous_;
  bool previous_reads_input_;
};

// Whether the calling thread reads input (see HeldLines).
bool readsInput() noexcept;

// Called by the sink of the thread that reads input: `fd` (or -1 for none) holds lines that did not
// fit into the pipe. readSome then also waits for `fd` to take more, and flushes again when it can.
void setOutputBacklog(int fd) noexcept;

// The calling thread is about to block: its held lines leave (unless `flush_held` is false, for the
// writer of those lines itself), and its task group, if it is a worker, provides for queued tasks.
void aboutToBlock(bool flush_held = true) noexcept;

// Reads up to `size` bytes. Returns the count, 0 at end of input, or -1 with errno set when the
// descriptor fails (EINTR and EAGAIN are waited out, never returned).
ssize_t readSome(int fd, void* buffer, std::size_t size) noexcept;

// Writes `size` bytes of lines at `data` to `fd`; `data` begins a line when `at_line_start`. A
// write that fails drops the line it was in, and only that line: a line already begun is tried once
// more, so that a passing fault leaves no half line behind, and when the reader has gone each line
// fails on its own. With `wait`, waits for room in the pipe (the caller is the writer of what it
// holds: its held lines are not flushed first); without, stops as soon as the descriptor has no
// room. Returns how many bytes were written or dropped; `dropped_last`, when given, tells whether
// the last line was dropped.
std::size_t writeLines(int fd, const char* data, std::size_t size, bool at_line_start, bool wait,
                       bool* dropped_last = nullptr) noexcept;

// Sleeps for `duration`.
void sleepFor(std::chrono::nanoseconds duration) noexcept;

// Waits on `ready` until `done()` holds or `deadline` passes; returns done(). `lock` holds the
// mutex that guards what done() reads; it is released while held lines leave.
template <class Done>
bool waitUntil(std::condition_variable& ready, std::unique_lock<std::mutex>& lock,
               std::chrono::steady_clock::time_point deadline, Done done) {
  if (done()) return true;
  lock.unlock();
  aboutToBlock();
  lock.lock();
  if (deadline == std::chrono::steady_clock::time_point::max()) {
    ready.wait(lock, done);
    return true;
  }
  return ready.wait_until(lock, deadline, done);
}
