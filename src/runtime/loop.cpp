#include "runtime/loop.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <utility>

namespace {

// Room for this many timers from the start, so that the first calls arm theirs without growing.
constexpr std::size_t initial_timers = 64;

bool before(const Timer& a, const Timer& b) {
  return a.deadline < b.deadline || (a.deadline == b.deadline && a.order < b.order);
}

}  // namespace

void brokenRule(const char* what) noexcept {
  (void)std::fprintf(stderr, "internal error: %s\n", what);
  std::abort();
}

Loop::Loop(std::pmr::memory_resource& gpa, LoopClock clock) : clock_(clock), heap_(&gpa) {
  heap_.reserve(initial_timers);
  hooks_.next = hooks_.prev = &hooks_;
  farewells_.next = farewells_.prev = &farewells_;
  poller_ = sys::openPoller();
}

Loop::~Loop() { sys::closePoller(poller_); }

std::uint32_t Loop::watch(Watch& w, std::uint8_t want) noexcept {
  if (w.known && w.wants == want) return 0;
  if (std::uint32_t error = sys::watchStream(poller_, *w.stream, want, &w)) return error;
  if ((want != sys::WantNothing) != (w.wants != sys::WantNothing)) {
    want != sys::WantNothing ? ++watching_ : --watching_;
  }
  w.known = true;
  w.wants = want;
  return 0;
}

void Loop::forget(Watch& w) noexcept {
  if (w.known) sys::forgetStream(poller_, *w.stream);
  watching_ -= w.wants != sys::WantNothing;
  w.known = false;
  w.wants = sys::WantNothing;
  for (sys::Event& e : handing_over_) {
    if (e.tag == &w) e.tag = nullptr;
  }
}

void Loop::addHook(TurnHook& h) noexcept {
  h.next = &hooks_;
  h.prev = hooks_.prev;
  h.prev->next = &h;
  hooks_.prev = &h;
  ++hook_count_;
}

void Loop::removeHook(TurnHook& h) noexcept {
  if (!h.next) return;
  h.prev->next = h.next;
  h.next->prev = h.prev;
  h.next = h.prev = nullptr;
  --hook_count_;
}

void Loop::addFarewell(Farewell& f) noexcept {
  f.next = &farewells_;
  f.prev = farewells_.prev;
  f.prev->next = &f;
  farewells_.prev = &f;
}

void Loop::removeFarewell(Farewell& f) noexcept {
  if (!f.next) return;
  f.prev->next = f.next;
  f.next->prev = f.prev;
  f.next = f.prev = nullptr;
}

void Loop::sayFarewells() noexcept {
  for (Farewell* f = farewells_.next; f != &farewells_; f = f->next) f->deliver(f->owner);
}

void endProcess(Loop& loop, int status) noexcept {
  loop.sayFarewells();
  sys::exitNow(status);
}

std::uint32_t Loop::run() noexcept {
  stopping_ = false;
  error_ = 0;
  std::uint32_t error = 0;
  while (turn(std::chrono::nanoseconds::max(), error)) {
  }
  return error;
}

bool Loop::turn(std::chrono::nanoseconds most, std::uint32_t& error) noexcept {
  sys::Event events[64];
  fireDue();
  for (TurnHook* h = hooks_.next; h != &hooks_;) {
    TurnHook* next = h->next;  // a hook may remove itself
    h->run(h->owner);
    h = next;
  }
  if (stopping_) {
    stopping_ = false;
    error = error_;
    return false;
  }
  std::chrono::nanoseconds timeout{-1};
  if (std::optional<Time> next = nextDeadline()) timeout = std::max(*next - now(), timeout.zero());
  if (most != std::chrono::nanoseconds::max() && (timeout < timeout.zero() || timeout > most)) timeout = most;
  sys::Waited waited = sys::waitEvents(poller_, timeout, events);
  if (waited.error) {
    error = waited.error;
    return false;
  }
  handing_over_ = std::span(events, waited.count);
  for (sys::Event& e : handing_over_) {
    if (!e.tag) continue;  // forgotten by an owner told before it
    auto& w = *static_cast<Watch*>(e.tag);
    const bool readable = e.readable && (w.wants & sys::WantRead);
    const bool writable = e.writable && (w.wants & sys::WantWrite);
    if (readable || writable) w.ready(w.owner, readable, writable);
  }
  handing_over_ = {};
  return true;
}

void Loop::place(Timer* t, std::size_t slot) noexcept {
  heap_[slot] = t;
  t->slot = slot;
}

void Loop::siftUp(std::size_t slot) noexcept {
  Timer* t = heap_[slot];
  while (slot > 0) {
    std::size_t parent = (slot - 1) / 2;
    if (!before(*t, *heap_[parent])) break;
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
    if (child + 1 < heap_.size() && before(*heap_[child + 1], *heap_[child])) ++child;
    if (!before(*heap_[child], *t)) break;
    place(heap_[child], slot);
    slot = child;
  }
  place(t, slot);
}

void Loop::arm(Timer& t) {
  if (t.armed()) brokenRule("a timer armed twice");
  heap_.push_back(&t);
  t.order = next_order_++;
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

void Loop::rearm(Timer& t, Time deadline) noexcept {
  t.deadline = deadline;
  t.order = next_order_++;
  siftUp(t.slot);
  siftDown(t.slot);
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
    if (t.fired) {
      t.fired(t.owner);
    } else {
      t.waiting.resume();
    }
  }
}

void Loop::compact() noexcept {
  if (heap_.capacity() <= initial_timers || heap_.size() * 2 > heap_.capacity()) return;
  // compact decides: without memory for a smaller heap, the larger one stays.
  try {
    std::pmr::vector<Timer*> smaller(heap_.get_allocator());
    smaller.reserve(std::max(heap_.size(), initial_timers));
    smaller.assign(heap_.begin(), heap_.end());
    heap_.swap(smaller);
  } catch (const std::bad_alloc&) {
  }
}

EndRequests::~EndRequests() {
  if (!listening_) return;
  loop_.forget(watch_);
  sys::closeEndRequests(stream_);
}

std::uint32_t EndRequests::listen() noexcept {
  if (listening_) return 0;
  if (std::uint32_t error = sys::openEndRequests(stream_)) return error;
  watch_ = Watch{&stream_, &onRequest, this};
  if (std::uint32_t error = loop_.watch(watch_, sys::WantRead)) {
    sys::closeEndRequests(stream_);
    return error;
  }
  listening_ = true;
  return 0;
}

void EndRequests::onRequest(void* self, bool, bool) noexcept {
  auto& e = *static_cast<EndRequests*>(self);
  if (sys::takeEndRequests(e.stream_) > 0) e.heard_(e.owner_);
}
