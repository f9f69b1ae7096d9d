#include "runtime/loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <coroutine>
#include <exception>
#include <memory_resource>
#include <vector>

#include "support/capture.h"

namespace {

using std::chrono::milliseconds;

// A coroutine nobody awaits: it runs until it waits, and frees itself when it ends.
struct Detached {
  struct promise_type {
    Detached get_return_object() noexcept { return {}; }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_void() noexcept {}
    void unhandled_exception() noexcept { std::terminate(); }
  };
};

struct OnTimer {
  Loop& loop;
  Timer& timer;
  bool await_ready() const noexcept { return false; }
  void await_suspend(std::coroutine_handle<> h) {
    timer.waiting = h;
    loop.arm(timer);
  }
  void await_resume() const noexcept {}
};

Detached wake(Loop& loop, Timer& timer, std::vector<int>& woke, int id) {
  co_await OnTimer{loop, timer};
  woke.push_back(id);
}

// Timers fire in deadline order, each when its time has come and not before, whatever order they
// were armed in, and those due at the same time in the order they were armed; a disarmed timer
// never fires, wherever it stood.
TEST(Loop, TimersFireInDeadlineOrder) {
  TestClock clock;
  Loop loop(*std::pmr::new_delete_resource(), clock.source());
  std::vector<Timer> timers(300);
  std::vector<int> woke;
  for (int i = 0; i < 300; ++i) {
    timers[i].deadline = clock.now + milliseconds(i * 7919 % 50);
    wake(loop, timers[i], woke, i);
  }
  std::vector<int> expected;
  for (int i = 0; i < 300; ++i) {
    if (i % 3 != 0) continue;
    loop.disarm(timers[i]);
    timers[i].waiting.destroy();
  }
  for (int ms = 0; ms < 50; ++ms) {
    clock.now = Loop::Time{} + milliseconds(ms);
    loop.fireDue();
    for (int i = 0; i < 300; ++i) {
      if (i % 3 != 0 && i * 7919 % 50 == ms) expected.push_back(i);
    }
    ASSERT_EQ(woke, expected) << "at " << ms << " ms";
  }
  EXPECT_FALSE(loop.nextDeadline());
}

}  // namespace
