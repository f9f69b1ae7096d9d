#pragma once
// Test doubles for the server's exchangeable parts: a Sink that keeps every line it is given, a
// memory resource that fails on request, and a clock that moves only when the test moves it.

#include <chrono>
#include <cstddef>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/sink.h"
#include "runtime/loop.h"

// Keeps every line written through its sink(), in order. Lines never contain their newline. Lines
// are delivered as they are written, unless deliveries are held: then only once they are released,
// as for a client that is slow to read.
class CapturingSink {
 public:
  CapturingSink() { held_.next = held_.prev = &held_; }
  CapturingSink(const CapturingSink&) = delete;
  CapturingSink& operator=(const CapturingSink&) = delete;
  const std::vector<std::string>& lines() const { return lines_; }
  // Removes and returns everything captured so far.
  std::vector<std::string> take();
  void write(std::string_view line);
  void holdDeliveries() { holding_ = true; }
  // Tells every delivery held so far, and holds no more.
  void releaseDeliveries();
  bool after(Delivery& d);

 private:
  std::vector<std::string> lines_;
  bool holding_ = false;
  Delivery held_;  // the ring of held deliveries
};

// Forwards to new/delete, but throws std::bad_alloc on the allocation numbered `failAt` (counting
// from 1 after arm()), and counts what is still outstanding so tests can see leaks.
class FailingResource : public std::pmr::memory_resource {
 public:
  // The `n`-th allocation from now on fails; 0 disarms. With `and_later`, so does every one after
  // it, as when the process has reached its memory limit.
  void arm(std::size_t n, bool and_later = false);
  std::size_t allocations() const { return count_; }
  std::size_t outstanding() const { return outstanding_; }
  std::size_t outstandingBytes() const { return outstanding_bytes_; }

 private:
  void* do_allocate(std::size_t bytes, std::size_t align) override;
  void do_deallocate(void* p, std::size_t bytes, std::size_t align) override;
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override;

  std::size_t fail_at_ = 0;
  bool and_later_ = false;
  std::size_t count_ = 0;
  std::size_t outstanding_ = 0;
  std::size_t outstanding_bytes_ = 0;
};

// Time for a loop, standing still until the test moves it.
struct TestClock {
  Loop::Time now{};
  LoopClock source() const {
    return {[](const void* ctx) { return static_cast<const TestClock*>(ctx)->now; }, this};
  }
};

#include "server/server.h"

// The Sink that appends to `c`.
Sink sinkOf(CapturingSink& c);

// A server over capturing sinks, a failing allocator and a test clock, as every in-process test
// uses it. Time moves only through advance() and finishCalls().
struct TestServer {
  TestServer();
  ~TestServer();
  // Hands `line` to handle() for the session.
  void handle(std::string_view line);
  // Hands `line` to handle() and returns what it wrote to standard output, then clears the capture.
  std::vector<std::string> run(std::string_view line);
  // The one line written for `line`, or a text describing what came instead.
  std::string replyTo(std::string_view line);
  // Like run(), for a line that may start a tool call: then runs finishCalls().
  std::vector<std::string> runCall(std::string_view line);
  // The one line runCall() saw, or a text describing what came instead.
  std::string callReply(std::string_view line);
  // Moves the clock on by `d`, firing every timer that falls due on the way, in order.
  void advance(std::chrono::nanoseconds d);
  // Moves the clock from timer to timer until no call waits any more.
  void finishCalls();

  FailingResource gpa;
  CapturingSink out;
  CapturingSink log;
  TestClock clock;
  Loop loop;
  ServerPtr server;
  Session session;  // declared last: released first, its calls before the server
};

// Fails the 1st, 2nd, 3rd... allocation while `t` handles `line`, until one run gets through whole.
// Every run must end in exactly `expected` on standard output, or in nothing there and exactly one
// "out of memory; message dropped" on the log; memory held must return to where it was, and the
// next request must be answered normally. Reports failures through GoogleTest.
void walkOutOfMemory(TestServer& t, std::string_view line, std::string_view expected);

// walkOutOfMemory for a tools/call that may wait: each run moves the clock on until the call has
// ended. `expected` holds every line the call writes when memory suffices, its reply last. A run may
// also stop after a prefix of them (the call failed), or lose exactly one line before the reply (a
// notification that could not be built); either way the log then holds exactly one report.
// Returns how many allocations the call made, each of which was failed once.
std::size_t walkToolCallOutOfMemory(TestServer& t, std::string_view line, const std::vector<std::string>& expected);
