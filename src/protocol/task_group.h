#pragma once
// The server's task group: worker threads that run tool calls beside the main thread.
//
// Every queued task has a worker on its way: an idle one is woken, or a thread is started, at the
// moment the task is queued (by the caller when no worker is on its way, else by the worker that
// takes the task before it), and again whenever a worker is about to block (the waiting helpers
// tell the group). Nothing watches the clock to guess at stalls. At most `max_threads` threads run
// at once; beyond that, and whenever no thread can be started, tasks wait in the queue for a
// worker that finishes. Idle workers beyond `spare_workers` end at once, the others after
// `idle_retire_time`. Any thread may start tasks; wait() and the destructor belong to the owner.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>

#include "protocol/sink.h"

// A unit of work: `run(arg)`. It must not throw; whatever it owns travels in `arg`.
struct Task {
  void (*run)(void* arg) noexcept = nullptr;
  void* arg = nullptr;
};

// Starts a detached thread that runs `body(arg)`. False when no thread could be started.
using ThreadStarter = bool (*)(void (*body)(void* arg), void* arg) noexcept;
bool startDetachedThread(void (*body)(void* arg), void* arg) noexcept;

class TaskGroup {
 public:
  static constexpr std::chrono::seconds idle_retire_time{3};
  // How many idle workers wait for tasks; any more end as soon as they run out of work.
  static constexpr std::size_t spare_workers = 2;

  // Workers flush `out` (when not null) before they wait. Threads come from `start`; tests inject
  // one that fails.
  explicit TaskGroup(std::size_t max_threads, const Sink* out = nullptr, ThreadStarter start = &startDetachedThread);
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;
  // Waits for every task, then for every thread to end.
  ~TaskGroup();

  // Queues `task` for a worker. Returns false, without running it, only when no worker runs and
  // none could be started: then nothing would ever run it.
  bool tryStart(Task task) noexcept;

  // Returns once every task started so far has finished. Waits through the waiting helpers.
  void wait() noexcept;

  // The calling thread is about to block. On a worker, queued tasks get another worker now.
  static void aboutToBlock() noexcept;

  // How many worker threads every group of the process has started so far.
  static std::size_t threadsStarted() noexcept { return threads_started_.load(std::memory_order_relaxed); }

 private:
  static void runWorker(void* group) noexcept;
  void work() noexcept;
  void provideWorkers(std::unique_lock<std::mutex>& lock, std::size_t max_starts) noexcept;  // REQUIRES: lock holds mutex_

  const std::size_t max_threads_;
  const Sink* const out_;
  const ThreadStarter start_;
  std::mutex mutex_;
  std::condition_variable task_ready_;   // a wake-up was sent, or the group stops
  std::condition_variable all_done_;     // unfinished_ reached 0
  std::condition_variable all_ended_;    // threads_ reached 0
  std::deque<Task> queue_;               // guarded by mutex_
  std::size_t coming_ = 0;    // guarded by mutex_; workers that will look at the queue without a wake-up
  std::size_t sleeping_ = 0;  // guarded by mutex_; idle workers asleep on task_ready_
  std::size_t wakeups_ = 0;   // guarded by mutex_; wake-ups sent and not yet taken
  std::size_t threads_ = 0;   // guarded by mutex_; workers that have not ended
  std::size_t unfinished_ = 0;  // guarded by mutex_; queued or running
  bool stopping_ = false;     // guarded by mutex_
  static inline std::atomic<std::size_t> threads_started_{0};
};
