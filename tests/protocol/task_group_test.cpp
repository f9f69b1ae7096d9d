#include "protocol/task_group.h"

#include "protocol/waiting.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

// Tasks that record where they ran and then hold their worker until the test opens the gate.
struct Gate {
  std::mutex mutex;
  std::condition_variable changed;
  bool open = false;                    // guarded by mutex
  std::size_t arrived = 0;              // guarded by mutex
  std::size_t left = 0;                 // guarded by mutex; tasks that passed the open gate
  std::set<std::thread::id> threads;    // guarded by mutex

  static void run(void* arg) noexcept {
    Gate& g = *static_cast<Gate*>(arg);
    std::unique_lock lock(g.mutex);
    ++g.arrived;
    g.threads.insert(std::this_thread::get_id());
    g.changed.notify_all();
    g.changed.wait(lock, [&] { return g.open; });
    ++g.left;
  }
  Task task() { return Task{&run, this}; }

  // False when fewer than `n` tasks arrived within 10 s.
  bool waitForArrivals(std::size_t n) {
    std::unique_lock lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return arrived >= n; });
  }
  void release() {
    {
      std::lock_guard lock(mutex);
      open = true;
    }
    changed.notify_all();
  }
};

void count(void* arg) noexcept {
  static_cast<std::atomic<int>*>(arg)->fetch_add(1);
}

// A full group queues; once its tasks end, the same workers take the queued ones.
TEST(TaskGroup, QueuesWhenFullAndReusesWorkers) {
  TaskGroup group(2);
  Gate first;
  EXPECT_TRUE(group.tryStart(first.task()));
  EXPECT_TRUE(group.tryStart(first.task()));
  EXPECT_TRUE(first.waitForArrivals(2));
  std::atomic<int> queued_runs{0};
  EXPECT_TRUE(group.tryStart(Task{&count, &queued_runs}));
  first.release();
  group.wait();
  EXPECT_EQ(queued_runs.load(), 1);
  EXPECT_EQ(first.threads.size(), 2u);

  Gate second;
  EXPECT_TRUE(group.tryStart(second.task()));
  EXPECT_TRUE(group.tryStart(second.task()));
  EXPECT_TRUE(second.waitForArrivals(2));
  second.release();
  group.wait();
  EXPECT_EQ(second.threads, first.threads);
}

// A thread starter that fails while `failing` is set.
std::atomic<bool> failing{false};
bool startUnlessFailing(void (*body)(void*), void* arg) noexcept {
  return !failing.load() && startDetachedThread(body, arg);
}

// A task queued when no thread could start gets one the moment a running worker is about to block.
TEST(TaskGroup, WorkerAboutToBlockHandsOverTheQueue) {
  struct Blocker {
    std::mutex mutex;
    std::condition_variable changed;
    bool running = false;  // guarded by mutex
    bool go = false;       // guarded by mutex
    Gate queued;
    static void run(void* arg) noexcept {
      Blocker& b = *static_cast<Blocker*>(arg);
      {
        std::unique_lock lock(b.mutex);
        b.running = true;
        b.changed.notify_all();
        b.changed.wait(lock, [&] { return b.go; });  // a bare wait: the group does not hear of it
      }
      std::unique_lock lock(b.queued.mutex);  // blocks through the helper until the queued task runs
      waitUntil(b.queued.changed, lock, std::chrono::steady_clock::now() + std::chrono::seconds(20),
                [&] { return b.queued.arrived > 0; });
    }
  } blocker;
  TaskGroup group(8, nullptr, &startUnlessFailing);
  failing = true;
  EXPECT_FALSE(group.tryStart(Task{&Blocker::run, &blocker}));  // not a single thread: declined
  failing = false;
  ASSERT_TRUE(group.tryStart(Task{&Blocker::run, &blocker}));
  {
    std::unique_lock lock(blocker.mutex);
    blocker.changed.wait(lock, [&] { return blocker.running; });
  }
  failing = true;
  ASSERT_TRUE(group.tryStart(blocker.queued.task()));  // waits behind the one worker
  failing = false;
  {
    std::lock_guard lock(blocker.mutex);
    blocker.go = true;
  }
  blocker.changed.notify_all();
  EXPECT_TRUE(blocker.queued.waitForArrivals(1));
  blocker.queued.release();
  group.wait();
}

// wait() returns only after every started task has run to its end, however many there were.
TEST(TaskGroup, WaitWaitsForEveryTask) {
  TaskGroup group(8);
  std::atomic<int> runs{0};
  int started = 0;
  for (int round = 0; round < 50; ++round) {
    for (int i = 0; i < 20; ++i) started += group.tryStart(Task{&count, &runs}) ? 1 : 0;
    group.wait();
    EXPECT_EQ(runs.load(), started);
  }
  EXPECT_GE(started, 50 * 8);  // at least the tasks that found a worker free each round
}

TEST(TaskGroup, DestructorWaitsForTasks) {
  Gate gate;
  std::thread opener([&] {
    gate.waitForArrivals(1);
    gate.release();
  });
  {
    TaskGroup group(4);
    bool started = group.tryStart(gate.task());
    EXPECT_TRUE(started);
    if (!started) Gate::run(&gate);  // lets the opener finish
  }
  opener.join();
  EXPECT_EQ(gate.left, 1u);
}

// Tasks queued back to back while a worker watches the queue must each reach a worker: a group
// of two runs two blocking tasks at once, round after round.
TEST(TaskGroup, EveryQueuedTaskFindsAWorker) {
  TaskGroup group(2);
  for (int round = 0; round < 200; ++round) {
    SCOPED_TRACE(round);
    Gate gate;
    ASSERT_TRUE(group.tryStart(gate.task()));
    ASSERT_TRUE(group.tryStart(gate.task()));
    ASSERT_TRUE(gate.waitForArrivals(2));
    gate.release();
    group.wait();
  }
}

}  // namespace
