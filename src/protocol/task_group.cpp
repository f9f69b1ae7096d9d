#include "protocol/task_group.h"

#include <new>
#include <system_error>

TaskGroup::TaskGroup(std::size_t max_tasks, Task before_wait) : max_tasks_(max_tasks), before_wait_(before_wait) {}

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
    queued_.store(queue_.size(), std::memory_order_relaxed);
  } catch (const std::bad_alloc&) {
    return false;
  } catch (const std::system_error&) {  // no thread could be started
    return false;
  }
  ++unfinished_;
  // A worker that is awake (running a task or watching the queue) comes back for this one without
  // a wake-up; a sleeper is woken only when the queue grows beyond what the awake ones take on.
  // Should they all be stuck in long calls, the starter notices that the queue makes no progress.
  std::size_t awake = workers_.size() - sleeping_;
  bool wake_worker = sleeping_ > 0 && queue_.size() > awake_share * awake;
  bool wake_starter = starter_idle_;
  lock.unlock();
  if (wake_worker) task_ready_.notify_one();
  if (wake_starter) stalled_.notify_one();
  return true;
}

void TaskGroup::wait() noexcept {
  std::unique_lock lock(mutex_);
  all_done_.wait(lock, [this] { return unfinished_ == 0; });
}

// One idle worker at a time watches the queue for a short while before it sleeps: a client that
// pipelines quick calls then hands them over without waking a thread each time.
void TaskGroup::spinForTask(std::unique_lock<std::mutex>& lock) noexcept {
  if (!queue_.empty()) return;
  if (before_wait_.run) {  // also when stopping: what the last tasks wrote must not stay behind
    lock.unlock();
    before_wait_.run(before_wait_.arg);
    lock.lock();
  }
  if (!queue_.empty() || stopping_ || spinning_) return;
  spinning_ = true;
  lock.unlock();
  Clock::time_point until = Clock::now() + spin_time;
  while (queued_.load(std::memory_order_relaxed) == 0 && Clock::now() < until) {
  }
  lock.lock();
  spinning_ = false;  // from here tryStart wakes a sleeper again
}

void TaskGroup::work() noexcept {
  std::unique_lock lock(mutex_);
  for (;;) {  // counted idle: by its starter at first, then after each task
    spinForTask(lock);
    ++sleeping_;
    task_ready_.wait(lock, [this] { return !queue_.empty() || stopping_; });
    --sleeping_;
    --idle_;
    if (queue_.empty()) return;  // stopping, and nothing left to do
    Task task = queue_.front();
    queue_.pop_front();
    queued_.store(queue_.size(), std::memory_order_relaxed);
    last_taken_ = Clock::now();
    lock.unlock();
    task.run(task.arg);
    lock.lock();
    ++idle_;
    if (--unfinished_ == 0) all_done_.notify_all();
  }
}

// Watches the queue while it holds tasks. When no worker has taken one for stall_time, it wakes the
// sleeping workers, or, when there are none, starts one more thread. The first task of all finds
// the last take long past and so gets its worker at once.
void TaskGroup::startWorkers() noexcept {
  std::unique_lock lock(mutex_);
  for (;;) {
    if (queue_.empty() && !stopping_) {
      starter_idle_ = true;
      stalled_.wait(lock, [this] { return !queue_.empty() || stopping_; });
      starter_idle_ = false;
    }
    if (stopping_) return;
    Clock::time_point deadline = last_taken_ + stall_time;
    if (Clock::now() < deadline) {
      stalled_.wait_until(lock, deadline, [this] { return stopping_; });
      continue;  // look again: workers may have taken what was waiting
    }
    last_taken_ = Clock::now();  // give whoever is woken or started time before judging again
    if (waitingForAWorker() == 0) {
      task_ready_.notify_all();  // enough workers, asleep: the wake-ups they missed
      continue;
    }
    // One thread per stall: workers may also be held up by a client that reads slowly, and more
    // threads would not help that; calls that sleep still get a thread each within milliseconds.
    try {
      workers_.emplace_back([this] { work(); });
      ++idle_;  // idle from now, so no second worker is started for the same task
      threads_started_.fetch_add(1, std::memory_order_relaxed);
    } catch (const std::bad_alloc&) {  // no thread now: the queued tasks wait for the workers there are
    } catch (const std::system_error&) {
    }
    if (workers_.empty()) {
      // Not a single thread could start: run what waits here rather than strand it.
      while (!queue_.empty()) {
        Task task = queue_.front();
        queue_.pop_front();
        queued_.store(queue_.size(), std::memory_order_relaxed);
        lock.unlock();
        task.run(task.arg);
        lock.lock();
        if (--unfinished_ == 0) all_done_.notify_all();
      }
    }
  }
}
