#include "protocol/task_group.h"

#include <system_error>

TaskGroup::TaskGroup(std::size_t max_workers) : max_workers_(max_workers) {}

TaskGroup::~TaskGroup() {
  wait();
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  task_ready_.notify_all();
  for (std::thread& worker : workers_) worker.join();
}

bool TaskGroup::tryStart(Task task) noexcept {
  std::unique_lock lock(mutex_);
  if (queue_.size() < idle_) {
    queue_.push_back(task);  // capacity was reserved for every worker
    ++unfinished_;
    lock.unlock();
    task_ready_.notify_one();
    return true;
  }
  if (workers_.size() >= max_workers_) return false;
  // The task group decides what a failed start means: the task is declined and its caller runs it.
  try {
    queue_.reserve(max_workers_);  // the queue never holds more tasks than there are workers
    workers_.reserve(workers_.size() + 1);
  } catch (const std::bad_alloc&) {
    return false;
  }
  queue_.push_back(task);
  try {
    workers_.emplace_back([this] { work(); });
  } catch (const std::bad_alloc&) {
    queue_.pop_back();
    return false;
  } catch (const std::system_error&) {  // no thread could be started
    queue_.pop_back();
    return false;
  }
  ++unfinished_;
  ++idle_;  // the new worker counts as idle until it takes the task queued for it
  return true;
}

void TaskGroup::wait() noexcept {
  std::unique_lock lock(mutex_);
  all_done_.wait(lock, [this] { return unfinished_ == 0; });
}

void TaskGroup::work() noexcept {
  std::unique_lock lock(mutex_);
  for (;;) {
    task_ready_.wait(lock, [this] { return !queue_.empty() || stopping_; });
    if (queue_.empty()) return;  // stopping, and nothing left to do
    Task task = queue_.back();
    queue_.pop_back();
    --idle_;
    lock.unlock();
    task.run(task.arg);
    lock.lock();
    ++idle_;
    if (--unfinished_ == 0) all_done_.notify_all();
  }
}
