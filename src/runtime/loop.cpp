#include "runtime/loop.h"

#include <utility>

namespace {

// Room for this many timers from the start, so that the first calls arm theirs without growing.
constexpr std::size_t initial_timers = 64;

}  // namespace

Loop::Loop(std::pmr::memory_resource& gpa, LoopClock clock) : clock_(clock), heap_(&gpa) {
  heap_.reserve(initial_timers);
}

void Loop::place(Timer* t, std::size_t slot) noexcept {
  heap_[slot] = t;
  t->slot = slot;
}

void Loop::siftUp(std::size_t slot) noexcept {
  Timer* t = heap_[slot];
  while (slot > 0) {
    std::size_t parent = (slot - 1) / 2;
    if (heap_[parent]->deadline <= t->deadline) break;
    place(heap_[parent], slot);
    slot = parent;
  }
  place(t, slot);
}

void Loop::siftDown(std::size_t slot) noexcept {
  Timer* t = heap_[slot];
  for (;;) {
    std::size_t child = 2 * slot + 1;
    if (child >= heap_.size()) break;
    if (child + 1 < heap_.size() && heap_[child + 1]->deadline < heap_[child]->deadline) ++child;
    if (t->deadline <= heap_[child]->deadline) break;
    place(heap_[child], slot);
    slot = child;
  }
  place(t, slot);
}

void Loop::arm(Timer& t) {
  heap_.push_back(&t);
  t.slot = heap_.size() - 1;
  siftUp(t.slot);
}

void Loop::disarm(Timer& t) noexcept {
  if (!t.armed()) return;
  std::size_t slot = std::exchange(t.slot, Timer::unarmed);
  Timer* last = heap_.back();
  heap_.pop_back();
  if (last == &t) return;
  place(last, slot);
  siftUp(slot);
  siftDown(last->slot);
}

std::optional<Loop::Time> Loop::nextDeadline() const {
  if (heap_.empty()) return std::nullopt;
  return heap_.front()->deadline;
}

void Loop::fireDue() noexcept {
  const Time due = now();  // a coroutine resumed here arms its next timer later than this
  while (!heap_.empty() && heap_.front()->deadline <= due) {
    Timer& t = *heap_.front();
    disarm(t);
    t.waiting.resume();
  }
}
