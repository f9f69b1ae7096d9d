#pragma once
// The one loop of the server: it waits, in one call, for every stream that something waits on and
// for the next timer; fires the timers that are due; hands readiness to the stream's owner; and
// counts the tasks (suspended calls) it still owes a resumption. A task that waits is suspended,
// never blocked: a timer, or the output it waits for having left, resumes it from the loop's own
// step. The loop knows no tool, no method and no transport: the standard streams (stdio.h) and a
// network transport's connections are owners of streams on it, and each registers what it must
// deliver before the process ends; tests run it on a clock of their own.

#include <chrono>
#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <span>
#include <vector>

#include "runtime/platform.h"

class Loop;

// A point in time at which a suspended coroutine is resumed, or, for an owner that is no
// coroutine, `fired` is called. It lives with whoever waits; the loop only refers to it while it is
// armed, and whoever arms it disarms it before it goes.
struct Timer {
  std::chrono::steady_clock::time_point deadline;
  std::coroutine_handle<> waiting;
  void (*fired)(void* owner) noexcept = nullptr;  // instead of resuming `waiting`
  void* owner = nullptr;
  std::size_t slot = unarmed;  // the loop's: where it stands in the timer heap
  std::uint64_t order = 0;     // the loop's: timers due at the same time fire in the order armed
  static constexpr std::size_t unarmed = static_cast<std::size_t>(-1);
  bool armed() const { return slot != unarmed; }
};

// A stream the loop waits on for its owner, who says what it wants with Loop::watch and is told
// through `ready`. It lives with its owner, and leaves the loop (Loop::forget) before it goes.
struct Watch {
  const sys::Stream* stream = nullptr;
  void (*ready)(void* owner, bool readable, bool writable) noexcept = nullptr;
  void* owner = nullptr;
  std::uint8_t wants = sys::WantNothing;  // the loop's
  bool known = false;                     // the loop's: the poller knows the stream
};

// Work done at every turn of the loop, right before it waits: writing what is queued, telling who
// waits for it to leave, deciding what to wait for. It lives with its owner, linked into the loop's
// ring until Loop::removeHook.
struct TurnHook {
  void (*run)(void* owner) noexcept = nullptr;
  void* owner = nullptr;
  TurnHook* next = nullptr;  // the loop's
  TurnHook* prev = nullptr;  // the loop's
};

// What an owner of outputs must deliver before the process ends (endProcess): `deliver` writes
// what they hold for as long as they take it, each given up once it has taken nothing for a while.
// It lives with its owner, linked into the loop's ring until Loop::removeFarewell.
struct Farewell {
  void (*deliver)(void* owner) noexcept = nullptr;
  void* owner = nullptr;
  Farewell* next = nullptr;  // the loop's
  Farewell* prev = nullptr;  // the loop's
};

// Where a loop's time comes from: the steady clock (`now` null), or a clock a test drives.
struct LoopClock {
  std::chrono::steady_clock::time_point (*now)(const void* ctx) = nullptr;
  const void* ctx = nullptr;
};

class Loop {
 public:
  using Time = std::chrono::steady_clock::time_point;

  // The timer heap comes from `gpa`. Throws std::bad_alloc. A loop whose poller the system refuses
  // (no descriptor left) still runs timers; waiting on streams fails with the system's error.
  explicit Loop(std::pmr::memory_resource& gpa, LoopClock clock = LoopClock());
  ~Loop();
  Loop(const Loop&) = delete;
  Loop& operator=(const Loop&) = delete;

  Time now() const { return clock_.now ? clock_.now(clock_.ctx) : std::chrono::steady_clock::now(); }

  // Arms `t` for t.deadline. Throws std::bad_alloc when the heap cannot grow; `t` is then unarmed.
  // REQUIRES: `t` is not armed (checked).
  void arm(Timer& t);
  void disarm(Timer& t) noexcept;
  // Moves `t`, armed, to `deadline`, behind the timers already due then. Needs no memory.
  void rearm(Timer& t, Time deadline) noexcept;
  // The earliest armed deadline, if any.
  std::optional<Time> nextDeadline() const;
  // Resumes, in deadline order, every coroutine whose timer was due when called.
  void fireDue() noexcept;
  // Gives back the timer heap's room beyond what its timers need: for after a burst.
  void compact() noexcept;

  // Waits on `w` for `want` (sys::WantRead, sys::WantWrite, both, or nothing for now) from the next
  // wait on. Cheap when nothing changes. 0, or the system's error when it cannot wait on the stream.
  std::uint32_t watch(Watch& w, std::uint8_t want) noexcept;
  // Stops waiting on `w`; it is not told of readiness found in the wait just done either.
  void forget(Watch& w) noexcept;
  void addHook(TurnHook& h) noexcept;
  void removeHook(TurnHook& h) noexcept;
  void addFarewell(Farewell& f) noexcept;
  void removeFarewell(Farewell& f) noexcept;
  // Runs every farewell, in the order added: for endProcess.
  void sayFarewells() noexcept;
  // Whether the next wait would be for `w` alone: no other stream watched, no timer armed, no other
  // hook to run. Its owner may then do the waiting itself, in a read that waits (sys::Stream::read_waits).
  bool waitsOnlyFor(const Watch& w) const noexcept {
    return w.wants != sys::WantNothing && watching_ == 1 && heap_.empty() && hook_count_ == 1;
  }
  // Turns until stop(): fires the timers that are due, runs the hooks, waits for the watched
  // streams and the next timer, and hands readiness to the streams' owners. Returns 0 once stopped,
  // or the system's error when it cannot wait, or when an owner failed the run.
  std::uint32_t run() noexcept;
  void stop() noexcept { stopping_ = true; }
  // One turn of run(), waiting `most` at most (a test steps a loop on its own clock so). False once
  // stopped; the system's error in `error` when it cannot wait.
  bool turn(std::chrono::nanoseconds most, std::uint32_t& error) noexcept;
  // Stops the run with `error` (the system's), for an owner that cannot go on: a stream it needs
  // cannot be waited on. The first error stands.
  void fail(std::uint32_t error) noexcept {
    if (!error_) error_ = error;
    stopping_ = true;
  }

  std::size_t tasks = 0;  // tasks started and not yet ended: the loop runs until none is left

 private:
  void place(Timer* t, std::size_t slot) noexcept;
  void siftUp(std::size_t slot) noexcept;
  void siftDown(std::size_t slot) noexcept;

  LoopClock clock_;
  std::pmr::vector<Timer*> heap_;  // a binary min-heap on (deadline, order)
  std::uint64_t next_order_ = 0;
  sys::Poller poller_;
  std::span<sys::Event> handing_over_;  // the events of the wait being handed over
  TurnHook hooks_;                      // the ring of hooks, through this one
  std::size_t hook_count_ = 0;
  Farewell farewells_;                  // the ring of farewells, through this one
  std::size_t watching_ = 0;  // watches that want something
  bool stopping_ = false;
  std::uint32_t error_ = 0;  // why an owner failed the run
};

// Ends the process with `status` once every farewell of `loop` has delivered what its outputs hold,
// as far as they take it. Whatever else runs or sleeps is abandoned.
[[noreturn]] void endProcess(Loop& loop, int status) noexcept;

// Requests to end the process (SIGTERM and SIGINT; on Windows a console's Ctrl+C, Ctrl+Break or
// closing), heard on the loop: from listen() on, each request calls `heard` from the loop's step
// instead of ending the process, so that its owner can end in order. Before then, and once this is
// gone, a request ends the process at once, as the system does by default.
class EndRequests {
 public:
  EndRequests(Loop& loop, void (*heard)(void* owner) noexcept, void* owner) noexcept
      : loop_(loop), heard_(heard), owner_(owner) {}
  ~EndRequests();
  EndRequests(const EndRequests&) = delete;
  EndRequests& operator=(const EndRequests&) = delete;

  // 0, or the system's error when the requests cannot be heard: they then end the process at once.
  std::uint32_t listen() noexcept;

 private:
  static void onRequest(void* self, bool readable, bool writable) noexcept;

  Loop& loop_;
  void (*heard_)(void* owner) noexcept;
  void* owner_;
  sys::Stream stream_;
  Watch watch_;
  bool listening_ = false;
};

// A broken rule of the runtime, which no input can cause: says which on standard error and aborts.
[[noreturn]] void brokenRule(const char* what) noexcept;

// co_await sleepFor(loop, d): resumes after `d` on the loop's clock, counted from the call. A
// duration of 0 or less does not suspend. Throws std::bad_alloc when the timer cannot be armed.
class [[nodiscard]] Sleep {
 public:
  Sleep(Loop& loop, std::chrono::nanoseconds d) : loop_(loop) { timer_.deadline = loop.now() + d; }
  Sleep(const Sleep&) = delete;
  Sleep& operator=(const Sleep&) = delete;
  ~Sleep() { loop_.disarm(timer_); }  // a frame destroyed while it sleeps leaves no timer behind
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
