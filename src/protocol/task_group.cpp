#include "protocol/task_group.h"

#include <new>
#include <system_error>

TaskGroup::TaskGroup(std::size_t max_tasks) : max_tasks_(max_tasks) {}

TaskGroup::~TaskGroup() {
  wait();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  task_ready_.notify_all();
  stalled_.notify_all();
  if (starter_.joinable()) starter_.join();
  for (std::thread& worker : workers_) worker.join();
}

bool TaskGroup::tryStart(Task task) noexcept {
  std::unique_lock lock(mutex_);
  if (unfinished_ >= max_tasks_) return false;
  // The task group decides what a failed start means: the task is declined and its caller runs it.
  try {
    if (!starter_.joinable()) starter_ = std::thread([this] { startWorkers(); });
    queue_.push_back(task);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::system_error&) {  // no thread could be started
    return false;
  }
  ++unfinished_;
  bool needs_worker = queue_.size() > idle_;
  lock.unlock();
  task_ready_.notify_one();
  if (needs_worker) stalled_.notify_one();
  return true;
}

void TaskGroup::wait() noexcept {
  std::unique_lock lock(mutex_);
  all_done_.wait(lock, [this] { return unfinished_ == 0; });
}

void TaskGroup::work() noexcept {
  std::unique_lock lock(mutex_);
  for (;;) {  // counted idle: by its starter at first, then after each task
    task_ready_.wait(lock, [this] { return !queue_.empty() || stopping_; });
    --idle_;
    if (queue_.empty()) return;  // stopping, and nothing left to do
    Task task = queue_.front();
    queue_.pop_front();
    last_taken_ = Clock::now();
    lock.unlock();
    task.run(task.arg);
    lock.lock();
    ++idle_;
    if (--unfinished_ == 0) all_done_.notify_all();
  }
}

// Starts a worker for every queued task that has no idle worker to take it, once no task has been
// taken for stall_time. The first task of all finds the last take long past and so gets its worker
// at once.
void TaskGroup::startWorkers() noexcept {
  std::unique_lock lock(mutex_);
  for (;;) {
    stalled_.wait(lock, [this] { return waitingForAWorker() > 0 || stopping_; });
    if (stopping_) return;
    Clock::time_point deadline = last_taken_ + stall_time;
    if (Clock::now() < deadline) {
      stalled_.wait_until(lock, deadline, [this] { return stopping_; });
      continue;  // look again: workers may have taken what was waiting
    }
    for (std::size_t n = waitingForAWorker(); n > 0; --n) {
      try {
        workers_.emplace_back([this] { work(); });
      } catch (const std::bad_alloc&) {  // no thread now: the queued tasks wait for the workers there are
        break;
      } catch (const std::system_error&) {
        break;
      }
      ++idle_;  // idle from now, so no second worker is started for the same task
    }
    last_taken_ = Clock::now();  // give the new workers time to start before judging again
    if (workers_.empty()) {
      // Not a single thread could start: run what waits here rather than strand it.
      while (!queue_.empty()) {
        Task task = queue_.front();
        queue_.pop_front();
        lock.unlock();
        task.run(task.arg);
        lock.lock();
        if (--unfinished_ == 0) all_done_.notify_all();
      }
    }
  }
}
