#include "protocol/task_group.h"

#include <pthread.h>

#include <algorithm>
#include <cstdint>
#include <new>

#include "protocol/waiting.h"

namespace {

thread_local TaskGroup* this_workers_group = nullptr;

constexpr std::size_t worker_stack_size = std::size_t{256} << 10;

}  // namespace

bool startDetachedThread(void (*body)(void* arg), void* arg) noexcept {
  struct Start {
    void (*body)(void*);
    void* arg;
    static void* run(void* start) {
      Start s = *static_cast<Start*>(start);
      delete static_cast<Start*>(start);
      s.body(s.arg);
      return nullptr;
    }
  };
  // cppcheck-suppress unreadVariable ; it is read: pthread_create hands it to the thread
  auto* launch = new (std::nothrow) Start{body, arg};
  if (!launch) return false;
  // Tool calls run shallow code: a small stack lets threads start under tight address-space limits.
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
  pthread_attr_setstacksize(&attr, worker_stack_size);
  pthread_t thread;
  int failed = pthread_create(&thread, &attr, &Start::run, launch);
  pthread_attr_destroy(&attr);
  if (failed) delete launch;  // the group decides what a failed start means
  return !failed;
}

TaskGroup::TaskGroup(std::size_t max_threads, const Sink* out, ThreadStarter start)
    : max_threads_(max_threads), out_(out), start_(start) {}

TaskGroup::~TaskGroup() {
  wait();
  std::unique_lock lock(mutex_);
  stopping_ = true;
  task_ready_.notify_all();
  all_ended_.wait(lock, [this] { return threads_ == 0; });
}

bool TaskGroup::tryStart(Task task) noexcept {
  std::unique_lock lock(mutex_);
  try {
    queue_.push_back(task);
  } catch (const std::bad_alloc&) {
    return false;
  }
  // The caller (the thread that reads input) starts at most one thread; the worker that takes a
  // task starts the others, so a burst of calls does not hold up the caller.
  ++unfinished_;  // before the lock is let go: a new worker may run it at once
  provideWorkers(lock, coming_ == 0 ? 1 : 0);
  if (threads_ > 0) return true;
  // Not a single thread: nobody would ever run it, unless a worker took it meanwhile and is gone.
  auto same = [&](const Task& t) { return t.run == task.run && t.arg == task.arg; };
  auto queued = std::find_if(queue_.begin(), queue_.end(), same);
  if (queued == queue_.end()) return true;
  queue_.erase(queued);
  if (--unfinished_ == 0) all_done_.notify_all();
  return false;
}

void TaskGroup::wait() noexcept {
  std::unique_lock lock(mutex_);
  waitUntil(all_done_, lock, std::chrono::steady_clock::time_point::max(), [this] { return unfinished_ == 0; });
}

void TaskGroup::aboutToBlock() noexcept {
  TaskGroup* group = this_workers_group;
  if (!group) return;
  std::unique_lock lock(group->mutex_);
  group->provideWorkers(lock, SIZE_MAX);
}

// Gives every queued task a worker on its way: a sleeper woken, or one of at most `max_starts`
// threads started.
void TaskGroup::provideWorkers(std::unique_lock<std::mutex>& lock, std::size_t max_starts) noexcept {
  while (coming_ < queue_.size() && !stopping_) {
    if (sleeping_ > wakeups_) {
      ++wakeups_;
      ++coming_;
      task_ready_.notify_one();
      continue;
    }
    if (max_starts == 0 || threads_ >= max_threads_) return;  // the tasks wait for a worker that finishes
    --max_starts;
    ++threads_;  // counted before it starts, so that others do not start one for the same task
    ++coming_;
    lock.unlock();  // starting a thread takes a while: others queue and take tasks meanwhile
    bool started = start_(&runWorker, this);
    lock.lock();
    if (!started) {
      --coming_;
      if (--threads_ == 0) all_ended_.notify_all();
      return;
    }
    threads_started_.fetch_add(1, std::memory_order_relaxed);
  }
}

void TaskGroup::runWorker(void* group) noexcept { static_cast<TaskGroup*>(group)->work(); }

void TaskGroup::work() noexcept {
  this_workers_group = this;
  HeldLines held(out_);  // what this worker writes leaves before it waits
  std::unique_lock lock(mutex_);
  for (;;) {  // counted in coming_: by whoever started or woke this worker, then after each task
    if (!queue_.empty()) {
      Task task = queue_.front();
      queue_.pop_front();
      --coming_;
      provideWorkers(lock, SIZE_MAX);  // for the tasks queued behind this one
      lock.unlock();
      task.run(task.arg);
      lock.lock();
      ++coming_;  // back for the next task
      if (--unfinished_ == 0) all_done_.notify_all();
      continue;
    }
    --coming_;
    if (stopping_) break;
    if (out_) {  // what the last tasks wrote must not stay behind while this worker sleeps
      lock.unlock();
      flush(*out_);
      lock.lock();
      if (!queue_.empty()) {
        ++coming_;
        continue;
      }
    }
    // Spare workers beyond a few end at once: after a burst of calls the process is back to a
    // handful of threads, and ending it later costs nothing per thread.
    if (sleeping_ >= spare_workers) break;
    ++sleeping_;
    bool woken = task_ready_.wait_for(lock, idle_retire_time, [this] { return wakeups_ > 0 || stopping_; });
    --sleeping_;
    if (wakeups_ > 0) {  // whoever woke this worker counted it in coming_
      --wakeups_;
      continue;
    }
    if (!woken || stopping_) break;  // idle for long enough: retire
  }
  // The last thing this thread does with the group: the destructor may free it right after.
  if (--threads_ == 0) all_ended_.notify_all();
}
