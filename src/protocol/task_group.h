#pragma once
// The server's task group: worker threads that run tool calls beside the main thread.
//
// A started task waits in a queue for a worker. Idle workers are reused; new threads are started
// by a helper thread, never by the caller, and only when queued tasks make no progress: when no
// worker has taken a task for `stall_time`, sleeping workers are woken, or, when there are none,
// one more thread starts. So a burst of quick calls is served
// by the few workers that are awake, while calls that sleep (every worker busy for seconds) get a
// thread each within milliseconds. At most `max_tasks` tasks are started and unfinished at a time; beyond that a task is
// declined rather than queued, and its caller runs it itself. Any thread may start tasks; wait()
// and the destructor belong to the owner.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

// A unit of work: `run(arg)`. It must not throw; whatever it owns travels in `arg`.
struct Task {
  void (*run)(void* arg) noexcept = nullptr;
  void* arg = nullptr;
};

class TaskGroup {
 public:
  // How long queued tasks may wait without any worker taking one before more threads start.
  static constexpr std::chrono::microseconds stall_time{1000};
  // How long an idle worker watches the queue before it sleeps.
  static constexpr std::chrono::microseconds spin_time{10};
  // How many queued tasks each awake worker is left to come back for before a sleeper is woken.
  static constexpr std::size_t awake_share = 4;

  // `before_wait`, when set, runs on a worker each time it runs out of tasks, before it waits.
  explicit TaskGroup(std::size_t max_tasks, Task before_wait = {});
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;
  // Waits for every task, then ends the threads.
  ~TaskGroup();

  // Queues `task` for a worker. Returns false, without running it, when `max_tasks` tasks are
  // unfinished or no thread could be started for the group.
  bool tryStart(Task task) noexcept;

  // Returns once every task started so far has finished.
  void wait() noexcept;

  // How many worker threads every group of the process has started so far.
  static std::size_t threadsStarted() noexcept { return threads_started_.load(std::memory_order_relaxed); }

 private:
  using Clock = std::chrono::steady_clock;
  void work() noexcept;
  void spinForTask(std::unique_lock<std::mutex>& lock) noexcept;
  void startWorkers() noexcept;
  std::size_t waitingForAWorker() const { return queue_.size() > idle_ ? queue_.size() - idle_ : 0; }

  const std::size_t max_tasks_;
  const Task before_wait_;
  std::mutex mutex_;
  std::condition_variable task_ready_;   // a task was queued, or the group stops
  std::condition_variable stalled_;      // the queue has tasks to watch, or the group stops
  std::condition_variable all_done_;
  std::deque<Task> queue_;               // guarded by mutex_
  std::atomic<std::size_t> queued_{0};   // queue_.size(), for a look without the lock
  bool spinning_ = false;                // guarded by mutex_; an idle worker watches queued_
  std::size_t idle_ = 0;                 // guarded by mutex_; workers waiting for a task
  std::size_t sleeping_ = 0;             // guarded by mutex_; idle workers asleep on task_ready_
  std::size_t unfinished_ = 0;           // guarded by mutex_; queued or running
  Clock::time_point last_taken_{};       // guarded by mutex_; when a worker last took a task
  bool stopping_ = false;                // guarded by mutex_
  std::vector<std::thread> workers_;     // guarded by mutex_
  bool starter_idle_ = false;            // guarded by mutex_; the starter waits for a task to watch
  std::thread starter_;                  // starts workers; runs from the first task on
  static inline std::atomic<std::size_t> threads_started_{0};
};
