#pragma once
// Test doubles for the server's exchangeable parts: a Sink that keeps every line it is given, and a
// memory resource that fails on request. Both are safe to use from several threads.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory_resource>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

// Keeps every line written through its sink(), in order. Lines never contain their newline.
class CapturingSink {
 public:
  std::vector<std::string> lines() const;
  // Removes and returns everything captured so far.
  std::vector<std::string> take();
  // Waits until at least `n` lines have arrived or `seconds` passed; returns the lines seen.
  std::vector<std::string> waitFor(std::size_t n, double seconds = 10) const;
  void write(std::string_view line);

 private:
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<std::string> lines_;  // guarded by mutex_
};

// Forwards to new/delete, but throws std::bad_alloc on the allocation numbered `failAt` (counting
// from 1 after arm()), and counts what is still outstanding so tests can see leaks.
class FailingResource : public std::pmr::memory_resource {
 public:
  // The `n`-th allocation from now on fails; 0 disarms.
  void arm(std::size_t n);
  std::size_t allocations() const { return count_.load(); }
  std::size_t outstanding() const { return outstanding_.load(); }

 private:
  void* do_allocate(std::size_t bytes, std::size_t align) override;
  void do_deallocate(void* p, std::size_t bytes, std::size_t align) override;
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override;

  std::atomic<std::size_t> fail_at_{0};
  std::atomic<std::size_t> count_{0};
  std::atomic<std::size_t> outstanding_{0};
};

#include "server/server.h"

// The Sink that appends to `c`.
Sink sinkOf(CapturingSink& c);

// A server over capturing sinks and a failing allocator, as every in-process test uses it.
struct TestServer {
  explicit TestServer(ThreadStarter start = &startDetachedThread);
  // Hands `line` to handle() and returns what it wrote to standard output, then clears the capture.
  std::vector<std::string> run(std::string_view line);
  // The one line written for `line`, or a text describing what came instead.
  std::string replyTo(std::string_view line);
  // Like run(), for a line that may start a tool call: waits until every running call has ended.
  std::vector<std::string> runCall(std::string_view line);
  // The one line runCall() saw, or a text describing what came instead.
  std::string callReply(std::string_view line);

  FailingResource gpa;
  CapturingSink out;
  CapturingSink log;
  ServerPtr server;  // declared last: released first
};

// Fails the 1st, 2nd, 3rd... allocation while `t` handles `line`, until one run gets through whole.
// Every run must end in exactly `expected` on standard output, or in nothing there and exactly one
// "out of memory; message dropped" on the log; memory held must return to where it was, and the
// next request must be answered normally. Reports failures through GoogleTest.
void walkOutOfMemory(TestServer& t, std::string_view line, std::string_view expected);

// walkOutOfMemory for a tools/call whose lines come from a worker: each run waits for the call to
// end. `expected` holds every line the call writes when memory suffices, its reply last. A run may
// also stop after a prefix of them (the call failed), or lose exactly one line before the reply (a
// notification that could not be built); either way the log then holds exactly one report.
// Returns how many allocations the call made, each of which was failed once.
std::size_t walkToolCallOutOfMemory(TestServer& t, std::string_view line, const std::vector<std::string>& expected);
