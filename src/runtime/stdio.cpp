#include "runtime/stdio.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <optional>
#include <thread>
#include <utility>

// A block of queued bytes: those from `begin` to `end` wait to be written.
struct OutputQueue::Block {
  Block* next = nullptr;
  std::size_t capacity = 0;
  std::size_t begin = 0;
  std::size_t end = 0;
  char* bytes() { return reinterpret_cast<char*>(this + 1); }
};

namespace {

using std::chrono::steady_clock;
using Block = OutputQueue::Block;

// How long an output that takes nothing is waited for when the process ends: after `crash`, and
// for standard error after input has ended (a host may never read it).
constexpr std::chrono::milliseconds end_patience{80};

// A line accumulator that once held a long line gives its memory back when it is done with it.
constexpr std::size_t kept_capacity = std::size_t{1} << 20;

// After a burst of at least this many tasks, memory is given back once most of them have ended.
constexpr std::size_t burst_tasks = 4096;

// A block for at least `bytes`: a spare one when it is large enough. Throws std::bad_alloc.
Block* newBlock(OutputQueue& out, std::size_t bytes) {
  if (bytes <= OutputQueue::block_size && out.spare) {
    Block* b = std::exchange(out.spare, out.spare->next);
    --out.spares;
    b->next = nullptr;
    return b;
  }
  const std::size_t capacity = std::max(bytes, OutputQueue::block_size);
  void* memory = out.memory.allocate(sizeof(Block) + capacity, alignof(Block));
  return new (memory) Block{nullptr, capacity, 0, 0};
}

// Keeps a few emptied blocks of the usual size for the next lines, so that a queue that fills as
// fast as it drains costs no allocation; gives back the others.
void freeBlock(OutputQueue& out, Block* b) noexcept {
  if (b->capacity == OutputQueue::block_size && out.spares < OutputQueue::kept_blocks) {
    *b = Block{out.spare, b->capacity, 0, 0};
    out.spare = b;
    ++out.spares;
    return;
  }
  out.memory.deallocate(b, sizeof(Block) + b->capacity, alignof(Block));
}

// Queues `line` and its newline (or `line` alone, for bytes that are not lines), whole or not at
// all. Throws std::bad_alloc.
void append(OutputQueue& out, std::string_view line, bool newline = true) {
  const std::size_t size = line.size() + (newline ? 1 : 0);
  const std::size_t room = out.tail ? out.tail->capacity - out.tail->end : 0;
  Block* extra = room < size ? newBlock(out, size - room) : nullptr;  // before a byte is copied
  // Copies bytes [from, from + n) of the line and its newline to the end of `b`.
  auto copy = [&](Block* b, std::size_t from, std::size_t n) {
    char* to = b->bytes() + b->end;
    const std::size_t of_line = from < line.size() ? std::min(n, line.size() - from) : 0;
    if (of_line > 0) std::memcpy(to, line.data() + from, of_line);
    if (of_line < n) to[of_line] = '\n';
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

// `n` bytes of the oldest block have been written or dropped; a block emptied is given back.
void consume(OutputQueue& out, std::size_t n) noexcept {
  Block* b = out.head;
  b->begin += n;
  out.queued -= n;
  out.settled += n;
  if (b->begin < b->end) return;
  out.head = b->next;
  if (!out.head) out.tail = nullptr;
  freeBlock(out, b);
}

// The line the stream failed in is dropped; the lines after it are tried on their own.
void dropLine(OutputQueue& out) noexcept {
  while (out.head) {
    Block& b = *out.head;
    const char* from = b.bytes() + b.begin;
    const void* newline = std::memchr(from, '\n', b.end - b.begin);
    consume(out, newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - from) + 1 : b.end - b.begin);
    if (newline) break;
  }
  out.mid_line = false;
  out.retried = false;
}

// How many of the queued bytes, within the first `limit`, make up whole lines.
std::size_t wholeLinesWithin(const OutputQueue& out, std::size_t limit) {
  std::size_t seen = 0, whole = 0;
  for (Block* b = out.head; b && seen < limit; b = b->next) {
    const std::size_t n = std::min(b->end - b->begin, limit - seen);
    const char* from = b->bytes() + b->begin;
    for (std::size_t i = n; i > 0; --i) {
      if (from[i - 1] == '\n') {
        whole = seen + i;
        break;
      }
    }
    seen += n;
  }
  return whole;
}

void writeLine(void* ctx, std::string_view line) {
  auto& out = *static_cast<OutputQueue*>(ctx);
  if (out.drop_beyond != 0 && backlog(out) + line.size() + 1 > out.drop_beyond) return;
  try {
    append(out, line);
  } catch (const std::bad_alloc&) {
    // The queue decides for a line it cannot keep: dropped, with one report where there is a place for it.
    if (out.reports) writeLine(out.reports, "out of memory; message dropped");
    return;
  }
  if (out.drop_beyond != 0 || backlog(out) >= OutputQueue::block_size) writeWhatFits(out, false);
}

bool after(void* ctx, Delivery& d) {
  auto& out = *static_cast<OutputQueue*>(ctx);
  if (backlog(out) == 0) return false;
  d.mark = out.settled + out.queued;
  d.next = &out.waiting;
  d.prev = out.waiting.prev;
  d.prev->next = &d;
  out.waiting.prev = &d;
  return true;
}

}  // namespace

OutputQueue::OutputQueue(sys::Descriptor fd, std::pmr::memory_resource& memory, std::size_t drop_beyond)
    : memory(memory), stream(sys::openOutput(fd)), drop_beyond(drop_beyond) {
  waiting.next = waiting.prev = &waiting;
}

OutputQueue::OutputQueue(const sys::Stream& stream, std::pmr::memory_resource& memory)
    : memory(memory), stream(stream), drop_beyond(0) {
  waiting.next = waiting.prev = &waiting;
}

void appendBytes(OutputQueue& out, std::string_view bytes) {
  if (!bytes.empty()) append(out, bytes, false);
}

OutputQueue::~OutputQueue() {
  while (head) consume(*this, head->end - head->begin);
  while (spare) {
    Block* next = spare->next;
    memory.deallocate(spare, sizeof(Block) + spare->capacity, alignof(Block));
    spare = next;
  }
  while (waiting.next != &waiting) unlink(*waiting.next);  // never to be told
  sys::closeStream(stream);
}

void reserveBuffers(OutputQueue& out) {
  if (!out.spare && !out.head) {
    out.spare = newBlock(out, OutputQueue::block_size);
    out.spares = 1;
  }
}

Sink sinkOf(OutputQueue& out) { return Sink{&out, &writeLine, &after}; }

void writeWhatFits(OutputQueue& out, bool ready) noexcept {
  while (out.head) {
    Block& b = *out.head;
    std::size_t size = b.end - b.begin;
    // A stream that will take only so much more (a file at its size limit) gets whole lines or nothing.
    const std::size_t limit = sys::roomLeft(out.stream);
    if (limit < out.queued) {
      const std::size_t whole = wholeLinesWithin(out, limit);
      if (whole == 0) {
        dropLine(out);
        continue;
      }
      size = std::min(size, whole);
    }
    sys::Transfer t = sys::writeSome(out.stream, b.bytes() + b.begin, size, ready);
    ready = false;  // the room a wait reported may be used up
    if (t.status == sys::Io::Done) {
      if (t.count == 0) break;
      out.mid_line = b.bytes()[b.begin + t.count - 1] != '\n';
      out.retried = false;
      consume(out, t.count);
      continue;
    }
    // A line already begun is tried once more, so that a passing fault leaves no half line behind;
    // when the reader has gone, each line fails on its own.
    if (out.mid_line && !out.retried) {
      out.retried = true;
      continue;
    }
    dropLine(out);
  }
}

bool tellDelivered(OutputQueue& out) noexcept {
  bool told = false;
  while (out.waiting.next != &out.waiting && out.waiting.next->mark <= out.settled) {
    Delivery& d = *out.waiting.next;
    unlink(d);
    d.done(d);  // may write more lines, or link in another delivery behind the others
    told = true;
  }
  return told;
}

namespace {

// Writes what `outputs` hold for as long as each takes bytes; gives up on one that has taken
// nothing for `patience`, and on all when the system cannot wait.
void deliverAll(std::span<OutputQueue* const> outputs, std::chrono::milliseconds patience) noexcept {
  steady_clock::time_point progress[2] = {steady_clock::now(), steady_clock::now()};
  for (;;) {
    sys::Interest interest;
    steady_clock::time_point give_up = steady_clock::time_point::max();
    for (std::size_t i = 0; i < outputs.size() && i < 2; ++i) {
      OutputQueue* out = outputs[i];
      if (!out) continue;
      std::uint64_t before = out->settled;
      writeWhatFits(*out, false);
      if (out->settled != before) progress[i] = steady_clock::now();
      if (backlog(*out) == 0 || steady_clock::now() - progress[i] >= patience) continue;
      interest.outputs[i] = &out->stream;
      give_up = std::min(give_up, progress[i] + patience);
    }
    if (!interest.outputs[0] && !interest.outputs[1]) return;
    // The writes above may have taken longer than the patience left: then one last look, no wait.
    const auto left = std::max(give_up - steady_clock::now(), steady_clock::duration::zero());
    sys::Readiness ready = sys::waitFor(interest, left);
    if (ready.error) {  // no way to wait for room: look again a little later, for as long as patience lasts
      std::this_thread::sleep_for(std::min<steady_clock::duration>(left, std::chrono::milliseconds(1)));
      continue;
    }
    for (std::size_t i = 0; i < outputs.size() && i < 2; ++i) {
      if (!ready.outputs[i]) continue;
      std::uint64_t before = outputs[i]->settled;
      writeWhatFits(*outputs[i], true);
      if (outputs[i]->settled != before) progress[i] = steady_clock::now();
    }
  }
}

// Writes `bytes` straight from the caller's memory, waiting for room up to `patience` at a time.
void writeDirect(const sys::Stream& stream, std::string_view bytes, std::chrono::milliseconds patience) noexcept {
  bool ready = false;
  while (!bytes.empty()) {
    sys::Transfer t = sys::writeSome(stream, bytes.data(), bytes.size(), ready);
    if (t.status != sys::Io::Done) return;
    bytes.remove_prefix(t.count);
    if (t.count > 0 || bytes.empty()) continue;
    sys::Interest interest;
    interest.outputs[0] = &stream;
    sys::Readiness r = sys::waitFor(interest, patience);
    if (r.error || !r.outputs[0]) return;
    ready = true;
  }
}

// The input side: lines are cut from what each read brings; a line that spans reads is gathered in
// `pending`, which keeps its capacity (up to a point), so steady traffic allocates nothing.
struct LineInput {
  sys::Stream stream;
  std::span<char> buffer;
  std::pmr::string pending;
};

// Reads once and hands every whole line to `handler`. How input ended, or nullopt while it goes on.
std::optional<LoopOutcome> readLines(LineInput& in, LineHandler handler) {
  sys::Transfer got = sys::readSome(in.stream, in.buffer.data(), in.buffer.size());
  if (got.status == sys::Io::NotNow) {
    in.stream.read_waits = false;  // the description has been made non-blocking since it was opened
    return std::nullopt;
  }
  if (got.status == sys::Io::Failed) return LoopOutcome{LoopEnd::ReadFailed, got.error};
  if (got.status == sys::Io::End) {
    handler.handle(handler.ctx, in.pending);
    if (handler.ended) handler.ended(handler.ctx);
    return LoopOutcome{LoopEnd::EndOfInput};
  }
  std::string_view rest(in.buffer.data(), got.count);
  for (std::size_t newline; (newline = rest.find('\n')) != std::string_view::npos; rest.remove_prefix(newline + 1)) {
    std::string_view piece = rest.substr(0, newline);
    if (in.pending.empty()) {  // a line that lies whole in the buffer is handed over in place
      handler.handle(handler.ctx, piece);
      continue;
    }
    try {
      in.pending += piece;
    } catch (const std::bad_alloc&) {  // the loop decides: input cannot be gathered, so it ends
      return LoopOutcome{LoopEnd::NoMemoryForLine};
    }
    handler.handle(handler.ctx, in.pending);
    in.pending.clear();
    if (in.pending.capacity() > kept_capacity) in.pending.shrink_to_fit();
  }
  try {
    in.pending += rest;
  } catch (const std::bad_alloc&) {
    return LoopOutcome{LoopEnd::NoMemoryForLine};
  }
  return std::nullopt;
}

}  // namespace

void writeLast(OutputQueue& out, std::string_view line) noexcept {
  try {
    append(out, line);
    deliverQueued(out);
    return;
  } catch (const std::bad_alloc&) {  // writeLast decides: no memory for the line, so it goes out from `line`
  }
  deliverQueued(out);
  writeDirect(out.stream, line, end_patience);
  writeDirect(out.stream, "\n", end_patience);
}

void writeUnqueued(const OutputQueue& out, std::string_view bytes) noexcept { writeDirect(out.stream, bytes, end_patience); }

namespace {

// The standard streams as owners of streams on the loop: input read into lines, two outputs
// written as they take bytes. The hook decides, before each wait, what is waited for and when the
// run is over.
struct StdioOnLoop {
  struct Output {
    Watch watch;
    OutputQueue& queue;
    StdioOnLoop& all;
  };

  StdioOnLoop(Loop& loop, LineInput input, LineHandler handler, OutputQueue& out, OutputQueue& err)
      : loop(loop), input(std::move(input)), handler(handler), outputs{{{}, out, *this}, {{}, err, *this}} {
    for (Output& o : outputs) o.watch = Watch{&o.queue.stream, &onOutput, &o};
  }
  StdioOnLoop(const StdioOnLoop&) = delete;
  StdioOnLoop& operator=(const StdioOnLoop&) = delete;

  Loop& loop;
  LineInput input;
  LineHandler handler;
  Output outputs[2];
  Watch reading{&input.stream, &onInput, this};
  TurnHook hook{&beforeWait, this};
  std::optional<LoopOutcome> end;
  std::uint32_t refused = 0;  // the system would not wait on a stream: the run ends with this
  std::size_t busiest = 0;    // the most tasks at once since memory was last given back
  bool room_taken = false;    // an output has used the room the last wait reported

  OutputQueue& out() { return outputs[0].queue; }
  OutputQueue& err() { return outputs[1].queue; }

  static void onInput(void* owner, bool, bool) noexcept {
    auto& s = *static_cast<StdioOnLoop*>(owner);
    s.end = readLines(s.input, s.handler);
  }
  static void onOutput(void* owner, bool, bool) noexcept {
    auto& o = *static_cast<Output*>(owner);
    // Room that one wait reports on a blocking pipe is for one write, when both outputs are it.
    const bool shared = o.all.room_taken && sys::shareRoom(o.all.out().stream, o.all.err().stream);
    writeWhatFits(o.queue, !shared);
    o.all.room_taken = true;
  }
  static void beforeWait(void* owner) noexcept { static_cast<StdioOnLoop*>(owner)->turn(); }
  void want(Watch& w, std::uint8_t what) noexcept {
    if (std::uint32_t error = loop.watch(w, what); error && !refused) refused = error;
  }
  void turn() noexcept;
};

void StdioOnLoop::turn() noexcept {
  room_taken = false;
  for (;;) {
    // A lone reply leaves before the loop waits; so do the lines of calls that its leaving resumes.
    for (bool told = true; told;) {
      writeWhatFits(out(), false);
      writeWhatFits(err(), false);
      told = tellDelivered(out());
      told = tellDelivered(err()) || told;
    }
    busiest = std::max(busiest, loop.tasks);
    if (busiest >= burst_tasks && loop.tasks <= busiest / 8) {
      loop.compact();
      sys::giveBackMemory();
      busiest = loop.tasks;
    }
    if (end && backlog(out()) == 0) {
      if (loop.tasks == 0) return loop.stop();
      // Only a timer or a delivery resumes a task, and no line waits to be delivered.
      if (!loop.nextDeadline()) brokenRule("the loop ended with tasks that nothing will resume");
    }
    want(reading, !end && backlog(out()) < OutputQueue::max_backlog ? sys::WantRead : sys::WantNothing);
    for (Output& o : outputs) want(o.watch, backlog(o.queue) > 0 ? sys::WantWrite : sys::WantNothing);
    if (refused) return loop.stop();
    // With input all there is to wait for, a read that waits is the wait, one call instead of two:
    // a client that sends one request at a time gets each reply sooner.
    if (!input.stream.read_waits || !loop.waitsOnlyFor(reading)) return;
    end = readLines(input, handler);
  }
}

}  // namespace

LoopOutcome runLineLoop(Loop& loop, sys::Descriptor in, std::span<char> buffer, std::pmr::memory_resource& gpa,
                        OutputQueue& out, OutputQueue& err, LineHandler handler) {
  loop.outputs[0] = &out;
  loop.outputs[1] = &err;
  StdioOnLoop s(loop, LineInput{sys::openInput(in), buffer, std::pmr::string(&gpa)}, handler, out, err);
  loop.addHook(s.hook);
  std::uint32_t error = loop.run();
  if (!error) error = s.refused;
  // Nothing can be waited for again: the run ends here, tasks and all.
  if (error) s.end = LoopOutcome{LoopEnd::WaitFailed, error};
  loop.removeHook(s.hook);
  loop.forget(s.reading);
  for (StdioOnLoop::Output& o : s.outputs) loop.forget(o.watch);
  // A host may never read standard error: what it has not taken after a while is given up. Without
  // a way to wait, standard output is given the same while, so that no line is left cut short.
  OutputQueue* outputs[] = {s.end->end == LoopEnd::WaitFailed ? &out : nullptr, &err};
  deliverAll(outputs, end_patience);
  loop.outputs[0] = loop.outputs[1] = nullptr;
  sys::closeStream(s.input.stream);
  return *s.end;
}

void deliverQueued(OutputQueue& out) noexcept {
  OutputQueue* outputs[] = {&out};
  deliverAll(outputs, end_patience);
}

void deliverQueued(std::span<OutputQueue* const> outputs) noexcept {
  if (outputs.size() <= 2) return deliverAll(outputs, end_patience);
  // More than one wait can watch: each takes what it can in turn, a millisecond apart, until all
  // have delivered or none has taken anything for as long as the patience.
  steady_clock::time_point progress = steady_clock::now();
  for (;;) {
    bool left = false;
    for (OutputQueue* out : outputs) {
      if (backlog(*out) == 0) continue;
      std::uint64_t before = out->settled;
      writeWhatFits(*out, false);
      if (out->settled != before) progress = steady_clock::now();
      left = left || backlog(*out) > 0;
    }
    if (!left || steady_clock::now() - progress >= end_patience) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void endProcess(Loop& loop, int status) noexcept {
  deliverAll(loop.outputs, end_patience);
  if (TurnHook* h = loop.last_words) h->run(h->owner);
  sys::exitNow(status);
}
