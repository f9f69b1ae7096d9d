#pragma once
// The one loop of the server: its clock, its timers, and the count of tasks (suspended calls) it
// still owes a resumption. A task that waits is suspended, never blocked: a timer, or whoever
// delivers what it waits for, resumes it on the loop's thread. The loop knows no tool and no
// method; stdio.h runs it over the standard streams, tests run it on a clock of their own.

#include <chrono>
#include <coroutine>
#include <cstddef>
#include <memory_resource>
#include <optional>
#include <vector>

class StdoutSink;

class Loop;

// A point in time at which a suspended coroutine is resumed. It lives in that coroutine's frame;
// the loop only refers to it while it is armed.
struct Timer {
  std::chrono::steady_clock::time_point deadline;
  std::coroutine_handle<> waiting;
  std::size_t slot = unarmed;  // the loop's: where it stands in the timer heap
  static constexpr std::size_t unarmed = static_cast<std::size_t>(-1);
  bool armed() const { return slot != unarmed; }
};

// Where a loop's time comes from: the steady clock (`now` null), or a clock a test drives.
struct LoopClock {
  std::chrono::steady_clock::time_point (*now)(const void* ctx) = nullptr;
  const void* ctx = nullptr;
};

class Loop {
 public:
  using Time = std::chrono::steady_clock::time_point;

  // The timer heap comes from `gpa`. Throws std::bad_alloc.
  explicit Loop(std::pmr::memory_resource& gpa, LoopClock clock = LoopClock());
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  Time now() const { return clock_.now ? clock_.now(clock_.ctx) : std::chrono::steady_clock::now(); }

  // Arms `t` for t.deadline. Throws std::bad_alloc when the heap cannot grow; `t` is then unarmed.
  void arm(Timer& t);
  void disarm(Timer& t) noexcept;
  // The earliest armed deadline, if any.
  std::optional<Time> nextDeadline() const;
  // Resumes, in deadline order, every coroutine whose timer was due when called.
  void fireDue() noexcept;

  std::size_t tasks = 0;  // tasks started and not yet ended: the loop runs until none is left
  // The standard streams, while the loop runs over them: what endProcess delivers before exiting.
  StdoutSink* outputs[2] = {nullptr, nullptr};

 private:
  void place(Timer* t, std::size_t slot) noexcept;
  void siftUp(std::size_t slot) noexcept;
  void siftDown(std::size_t slot) noexcept;

  LoopClock clock_;
  std::pmr::vector<Timer*> heap_;  // a binary min-heap on deadline
};

// co_await sleepFor(loop, d): resumes after `d` on the loop's clock, counted from the call. A
// duration of 0 or less does not suspend. Throws std::bad_alloc when the timer cannot be armed.
class [[nodiscard]] Sleep {
 public:
  Sleep(Loop& loop, std::chrono::nanoseconds d) : loop_(loop) { timer_.deadline = loop.now() + d; }
  bool await_ready() const { return timer_.deadline <= loop_.now(); }
  void await_suspend(std::coroutine_handle<> h) {
    timer_.waiting = h;
    loop_.arm(timer_);
  }
  void await_resume() const noexcept {}

 private:
  Loop& loop_;
  Timer timer_;
};
inline Sleep sleepFor(Loop& loop, std::chrono::nanoseconds d) { return Sleep(loop, d); }
