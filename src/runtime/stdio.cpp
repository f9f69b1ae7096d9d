#include "runtime/stdio.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <optional>
#include <thread>
#include <utility>

namespace {

using std::chrono::steady_clock;
using Block = OutputQueue::Block;

// A line accumulator that once held a long line gives its memory back when it is done with it.
constexpr std::size_t kept_capacity = std::size_t{1} << 20;

// After a burst of at least this many tasks, memory is given back once most of them have ended.
constexpr std::size_t burst_tasks = 4096;

// Queues `line` and its newline, whole or not at all. Throws std::bad_alloc.
void append(LineQueue& out, std::string_view line) {
  // Most lines fit in the block being filled: copied here, at the cost of a reply's few instructions.
  if (Block* tail = out.tail; tail && tail->capacity - tail->end > line.size() && !failed(out)) {
    char* to = tail->bytes() + tail->end;
    std::memcpy(to, line.data(), line.size());
    to[line.size()] = '\n';
    tail->end += line.size() + 1;
    out.queued += line.size() + 1;
    return;
  }
  appendBytes(out, line, "\n");
}

// The line the stream failed in is dropped; the lines after it are tried on their own.
void dropLine(LineQueue& out) noexcept {
  while (out.head) {
    Block& b = *out.head;
    const char* from = b.bytes() + b.begin;
    const void* newline = std::memchr(from, '\n', b.end - b.begin);
    settle(out, newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - from) + 1 : b.end - b.begin);
    if (newline) break;
  }
  out.mid_line = false;
  out.retried = false;
}

// How many of the queued bytes, within the first `limit`, make up whole lines.
std::size_t wholeLinesWithin(const LineQueue& out, std::size_t limit) {
  std::size_t seen = 0, whole = 0;
  for (const Block* b = out.head; b && seen < limit; b = b->next) {
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
  auto& out = *static_cast<LineQueue*>(ctx);
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

bool after(void* ctx, Delivery& d) { return linkDelivery(*static_cast<LineQueue*>(ctx), d); }

}  // namespace

LineQueue::LineQueue(sys::Descriptor fd, std::pmr::memory_resource& memory, std::size_t drop_beyond)
    : OutputQueue(sys::openOutput(fd), memory), drop_beyond(drop_beyond) {}

Sink sinkOf(LineQueue& out) { return Sink{&out, &writeLine, &after}; }

void writeWhatFits(LineQueue& out, bool ready) noexcept {
  while (out.head) {
    const Block& b = *out.head;
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
    sys::Transfer t = writeFront(out, size, ready);
    ready = false;  // the room a wait reported may be used up
    if (t.status == sys::Io::Done) {
      if (t.count == 0) break;
      out.mid_line = b.bytes()[b.begin + t.count - 1] != '\n';
      out.retried = false;
      settle(out, t.count);
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

namespace {

// Writes what `outputs` (standard output, standard error; either may be null) hold for as long as
// each takes bytes, by the line rules; gives up on each once it has taken nothing for
// end_patience since it last took a byte, and on all when the system cannot wait.
void deliverLines(LineQueue* const (&outputs)[2]) noexcept {
  for (LineQueue* out : outputs) {
    if (out) out->progress = steady_clock::now();
  }
  for (;;) {
    sys::Interest interest;
    steady_clock::time_point give_up = steady_clock::time_point::max();
    for (std::size_t i = 0; i < 2; ++i) {
      LineQueue* out = outputs[i];
      if (!out) continue;
      const std::uint64_t before = out->settled;
      writeWhatFits(*out, false);
      if (out->settled != before) out->progress = steady_clock::now();
      if (backlog(*out) == 0 || steady_clock::now() - out->progress >= end_patience) continue;
      interest.outputs[i] = &out->stream;
      give_up = std::min(give_up, out->progress + end_patience);
    }
    if (!interest.outputs[0] && !interest.outputs[1]) return;
    // The writes above may have taken longer than the patience left: then one last look, no wait.
    const auto left = std::max(give_up - steady_clock::now(), steady_clock::duration::zero());
    sys::Readiness ready = sys::waitFor(interest, left);
    if (ready.error) {  // no way to wait for room: look again a little later, for as long as patience lasts
      std::this_thread::sleep_for(std::min<steady_clock::duration>(left, std::chrono::milliseconds(1)));
      continue;
    }
    for (std::size_t i = 0; i < 2; ++i) {
      if (!ready.outputs[i]) continue;
      const std::uint64_t before = outputs[i]->settled;
      writeWhatFits(*outputs[i], true);
      if (outputs[i]->settled != before) outputs[i]->progress = steady_clock::now();
    }
  }
}

// Writes `bytes` straight from the caller's memory, waiting for room up to end_patience at a time.
void writeDirect(const sys::Stream& stream, std::string_view bytes) noexcept {
  bool ready = false;
  while (!bytes.empty()) {
    sys::Transfer t = sys::writeSome(stream, bytes.data(), bytes.size(), ready);
    if (t.status != sys::Io::Done) return;
    bytes.remove_prefix(t.count);
    if (t.count > 0 || bytes.empty()) continue;
    sys::Interest interest;
    interest.outputs[0] = &stream;
    sys::Readiness r = sys::waitFor(interest, end_patience);
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

void writeLast(LineQueue& out, std::string_view line) noexcept {
  try {
    append(out, line);
    deliverQueued(out);
    return;
  } catch (const std::bad_alloc&) {  // writeLast decides: no memory for the line, so it goes out from `line`
  }
  deliverQueued(out);
  writeDirect(out.stream, line);
  writeDirect(out.stream, "\n");
}

void writeUnqueued(const OutputQueue& out, std::string_view bytes) noexcept { writeDirect(out.stream, bytes); }

void deliverQueued(LineQueue& out) noexcept {
  LineQueue* const outputs[2] = {&out, nullptr};
  deliverLines(outputs);
}

Driver::Driver(Loop& loop, LineQueue& err, LineQueue* out) noexcept
    : loop(loop), err(err), out(out), hook_{&beforeWait, this}, farewell_{&farewell, this} {
  outputs_[0] = Output{Watch{out ? &out->stream : nullptr, &onOutput, &outputs_[0]}, out, this};
  outputs_[1] = Output{Watch{&err.stream, &onOutput, &outputs_[1]}, &err, this};
  loop.addHook(hook_);
  loop.addFarewell(farewell_);
}

Driver::~Driver() {
  loop.removeFarewell(farewell_);
  loop.removeHook(hook_);
  for (Output& o : outputs_) {
    if (o.queue) loop.forget(o.watch);
  }
}

void Driver::onOutput(void* owner, bool, bool) noexcept {
  auto& o = *static_cast<Output*>(owner);
  Driver& d = *o.driver;
  // Room that one wait reports on a blocking pipe is for one write, when both outputs are it.
  const bool shared = d.room_taken_ && d.out && sys::shareRoom(d.out->stream, d.err.stream);
  writeWhatFits(*o.queue, !shared);
  d.room_taken_ = true;
}

void Driver::beforeWait(void* owner) noexcept { static_cast<Driver*>(owner)->turn(); }

void Driver::farewell(void* owner) noexcept {
  auto& d = *static_cast<Driver*>(owner);
  LineQueue* const outputs[2] = {d.out, &d.err};
  deliverLines(outputs);
}

void Driver::turn() noexcept {
  room_taken_ = false;
  for (;;) {
    // A lone reply leaves before the loop waits; so do the lines of calls that its leaving resumes.
    for (bool told = true; told;) {
      told = false;
      for (Output& o : outputs_) {
        if (o.queue) writeWhatFits(*o.queue, false);
      }
      for (Output& o : outputs_) {
        if (o.queue) told = tellDelivered(*o.queue) || told;
      }
    }
    busiest_ = std::max(busiest_, loop.tasks);
    if (busiest_ >= burst_tasks && loop.tasks <= busiest_ / 8) {
      loop.compact();
      sys::giveBackMemory();
      busiest_ = loop.tasks;
    }
    for (Output& o : outputs_) {
      if (!o.queue) continue;
      if (std::uint32_t error = loop.watch(o.watch, backlog(*o.queue) > 0 ? sys::WantWrite : sys::WantNothing)) {
        return loop.fail(error);
      }
    }
    if (!step.run || !step.run(step.owner)) return;
  }
}

namespace {

// Standard input on the loop, read into lines: the driver's step, which decides, after the outputs
// have been written, whether to read and when the run is over.
struct StdioInput {
  StdioInput(Driver& driver, LineInput input, const LineHandler& handler)
      : driver(driver), input(std::move(input)), handler(handler) {}
  StdioInput(const StdioInput&) = delete;
  StdioInput& operator=(const StdioInput&) = delete;

  Driver& driver;
  LineInput input;
  LineHandler handler;
  Watch reading{&input.stream, &onInput, this};
  std::optional<LoopOutcome> end;

  static void onInput(void* owner, bool, bool) noexcept {
    auto& s = *static_cast<StdioInput*>(owner);
    s.end = readLines(s.input, s.handler);
  }
  static bool step(void* owner) noexcept { return static_cast<StdioInput*>(owner)->afterOutputs(); }
  bool afterOutputs() noexcept;
};

bool StdioInput::afterOutputs() noexcept {
  Loop& loop = driver.loop;
  const std::size_t waiting = backlog(*driver.out);
  if (end && waiting == 0) {
    if (loop.tasks == 0) {
      loop.stop();
      return false;
    }
    // Only a timer or a delivery resumes a task, and no line waits to be delivered.
    if (!loop.nextDeadline()) brokenRule("the loop ended with tasks that nothing will resume");
  }
  if (std::uint32_t error = loop.watch(reading, !end && waiting < LineQueue::max_backlog ? sys::WantRead : sys::WantNothing)) {
    loop.fail(error);
    return false;
  }
  // With input all there is to wait for, a read that waits is the wait, one call instead of two:
  // a client that sends one request at a time gets each reply sooner.
  if (!input.stream.read_waits || !loop.waitsOnlyFor(reading)) return false;
  end = readLines(input, handler);
  return true;
}

}  // namespace

LoopOutcome runLineLoop(Driver& driver, sys::Descriptor in, std::span<char> buffer, std::pmr::memory_resource& gpa,
                        LineHandler handler) {
  if (!driver.out) brokenRule("a line loop without standard output");
  StdioInput s(driver, LineInput{sys::openInput(in), buffer, std::pmr::string(&gpa)}, handler);
  driver.step = Driver::Step{&StdioInput::step, &s};
  // Nothing can be waited for again when the run fails: it ends here, tasks and all.
  if (std::uint32_t error = driver.loop.run()) s.end = LoopOutcome{LoopEnd::WaitFailed, error};
  driver.step = {};
  driver.loop.forget(s.reading);
  // A host may never read standard error: what it has not taken after a while is given up. Without
  // a way to wait, standard output is given the same while, so that no line is left cut short.
  LineQueue* const outputs[2] = {s.end->end == LoopEnd::WaitFailed ? driver.out : nullptr, &driver.err};
  deliverLines(outputs);
  sys::closeStream(s.input.stream);
  return *s.end;
}
