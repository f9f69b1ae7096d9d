#include "runtime/output_queue.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <thread>
#include <utility>

namespace {

using Block = OutputQueue::Block;
using std::chrono::steady_clock;

// A block for at least `bytes`: a spare one when it is large enough. Throws std::bad_alloc.
Block* newBlock(OutputQueue& out, std::size_t bytes) {
  if (bytes <= out.unit && out.spare) {
    Block* b = std::exchange(out.spare, out.spare->next);
    --out.spares;
    b->next = nullptr;
    return b;
  }
  const std::size_t capacity = std::max(bytes, out.unit);
  void* memory = out.memory.allocate(sizeof(Block) + capacity, alignof(Block));
  return new (memory) Block{nullptr, capacity, 0, 0};
}

// Keeps a few emptied blocks of the usual size for the next bytes, so that a queue that fills as
// fast as it drains costs no allocation; gives back the others.
void freeBlock(OutputQueue& out, Block* b) noexcept {
  if (b->capacity == out.unit && out.spares < out.keep) {
    *b = Block{out.spare, b->capacity, 0, 0};
    out.spare = b;
    ++out.spares;
    return;
  }
  out.memory.deallocate(b, sizeof(Block) + b->capacity, alignof(Block));
}

}  // namespace

OutputQueue::OutputQueue(const sys::Stream& stream, std::pmr::memory_resource& memory)
    : memory(memory), stream(stream) {
  waiting.next = waiting.prev = &waiting;
}

OutputQueue::~OutputQueue() {
  while (head) settle(*this, head->end - head->begin);
  while (spare) {
    Block* next = spare->next;
    memory.deallocate(spare, sizeof(Block) + spare->capacity, alignof(Block));
    spare = next;
  }
  while (waiting.next != &waiting) unlink(*waiting.next);  // never to be told
  sys::closeStream(stream);
}

void appendBytes(OutputQueue& out, std::string_view bytes, std::string_view more) {
  const std::size_t size = bytes.size() + more.size();
  if (size == 0 || failed(out)) return;
  const std::size_t room = out.tail ? out.tail->capacity - out.tail->end : 0;
  Block* extra = room < size ? newBlock(out, size - room) : nullptr;  // before a byte is copied
  // Copies bytes [from, from + n) of `bytes` and `more` to the end of `b`.
  auto copy = [&](Block* b, std::size_t from, std::size_t n) {
    char* to = b->bytes() + b->end;
    const std::size_t of_bytes = from < bytes.size() ? std::min(n, bytes.size() - from) : 0;
    if (of_bytes > 0) std::memcpy(to, bytes.data() + from, of_bytes);
    if (of_bytes < n) {
      const char* rest = more.data() + (from + of_bytes - bytes.size());
      if (n - of_bytes == 1) to[of_bytes] = *rest;  // a line's newline, mostly
      else std::memcpy(to + of_bytes, rest, n - of_bytes);
    }
    b->end += n;
  };
  const std::size_t first = std::min(room, size);
  if (first > 0) copy(out.tail, 0, first);
  if (extra) {
    copy(extra, first, size - first);
    (out.tail ? out.tail->next : out.head) = extra;
    out.tail = extra;
  }
  out.queued += size;
}

void giveBackSpares(OutputQueue& out) noexcept {
  while (out.spare) {
    Block* next = out.spare->next;
    out.memory.deallocate(out.spare, sizeof(Block) + out.spare->capacity, alignof(Block));
    out.spare = next;
  }
  out.spares = 0;
}

void reserveBuffers(OutputQueue& out) {
  if (!out.spare && !out.head) {
    out.spare = newBlock(out, out.unit);
    out.spares = 1;
  }
}

void settle(OutputQueue& out, std::size_t n) noexcept {
  Block* b = out.head;
  b->begin += n;
  out.queued -= n;
  out.settled += n;
  if (b->begin < b->end) return;
  out.head = b->next;
  if (!out.head) out.tail = nullptr;
  freeBlock(out, b);
}

sys::Transfer writeFront(OutputQueue& out, std::size_t limit, bool ready) noexcept {
  Block& b = *out.head;
  return sys::writeSome(out.stream, b.bytes() + b.begin, std::min(limit, b.end - b.begin), ready);
}

void writeWhatFits(OutputQueue& out, bool ready) noexcept {
  while (out.head) {
    sys::Transfer t = writeFront(out, out.head->end - out.head->begin, ready);
    ready = false;  // the room a wait reported may be used up
    if (t.status == sys::Io::Done) {
      if (t.count == 0) return;
      settle(out, t.count);
      continue;
    }
    // The peer has gone: nothing more can reach it, and nobody waits for what it held.
    out.error = t.error != 0 ? t.error : 1;
    while (out.head) settle(out, out.head->end - out.head->begin);
  }
}

bool linkDelivery(OutputQueue& out, Delivery& d) noexcept {
  if (backlog(out) == 0) return false;
  d.mark = out.settled + out.queued;
  d.next = &out.waiting;
  d.prev = out.waiting.prev;
  d.prev->next = &d;
  out.waiting.prev = &d;
  return true;
}

bool tellDelivered(OutputQueue& out) noexcept {
  bool told = false;
  while (out.waiting.next != &out.waiting && out.waiting.next->mark <= out.settled) {
    Delivery& d = *out.waiting.next;
    unlink(d);
    d.done(d);  // may queue more bytes, or link in another delivery behind the others
    told = true;
  }
  return told;
}

void deliverQueued(std::span<OutputQueue* const> outputs) noexcept {
  const steady_clock::time_point start = steady_clock::now();
  for (OutputQueue* out : outputs) {
    if (out) out->progress = start;
  }
  for (;;) {
    bool left = false;
    for (OutputQueue* out : outputs) {
      if (!out || backlog(*out) == 0) continue;
      const steady_clock::time_point now = steady_clock::now();
      if (now - out->progress >= end_patience) continue;  // given up: it took nothing for so long
      const std::uint64_t before = out->settled;
      writeWhatFits(*out, false);
      if (out->settled != before) out->progress = now;
      left = left || backlog(*out) > 0;
    }
    if (!left) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}
