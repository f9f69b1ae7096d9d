#pragma once
// The server's task group: a pool of worker threads that runs tool calls beside the main thread.
// Idle workers are reused; a new thread starts only when none is idle. When every worker slot is
// busy, or no thread can be started, a task is declined rather than queued, so its caller can run
// it itself. Any thread may start tasks; wait() and the destructor belong to the owner.

#include <condition_variable>
#include <cstddef>
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
  // At most `max_workers` tasks run at once.
  explicit TaskGroup(std::size_t max_workers);
  TaskGroup(const TaskGroup&) = delete;
  TaskGroup& operator=(const TaskGroup&) = delete;
  // Waits for every task, then ends the workers.
  ~TaskGroup();

  // Hands `task` to an idle worker, or to a new one. Returns false, without running it, when all
  // `max_workers` are busy or no thread could be started.
  bool tryStart(Task task) noexcept;

  // Returns once every task started so far has finished.
  void wait() noexcept;

 private:
  void work() noexcept;

  const std::size_t max_workers_;
  std::mutex mutex_;
  std::condition_variable task_ready_;
  std::condition_variable all_done_;
  std::vector<Task> queue_;            // guarded by mutex_; never longer than idle_
  std::size_t idle_ = 0;               // guarded by mutex_
  std::size_t unfinished_ = 0;         // guarded by mutex_; started tasks not yet finished
  bool stopping_ = false;              // guarded by mutex_
  std::vector<std::thread> workers_;   // guarded by mutex_
};
