#include "runtime/stdio.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <optional>
#include <utility>

namespace {

using std::chrono::steady_clock;

// How long an output that takes nothing is waited for when the process ends: after `crash`, and
// for standard error after input has ended (a host may never read it).
constexpr std::chrono::milliseconds end_patience{80};

// A queue that once held a burst gives its memory back when it empties.
constexpr std::size_t kept_capacity = std::size_t{1} << 20;

void advance(StdoutSink& out, std::size_t bytes) {
  out.head += bytes;
  out.left += bytes;
}

// The line the stream failed in is dropped; the lines after it are tried on their own.
void dropLine(StdoutSink& out) {
  const char* from = out.queue.data() + out.head;
  const void* newline = std::memchr(from, '\n', backlog(out));
  advance(out, newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - from) + 1 : backlog(out));
  out.mid_line = false;
  out.retried = false;
}

void tellDeliveries(StdoutSink& out) {
  while (out.first && out.first->mark <= out.left) {
    Delivery& d = *out.first;
    out.first = d.next;
    if (!out.first) out.last = nullptr;
    d.done(d);  // may write more lines: the queue is consistent by now
  }
}

void writeLine(void* ctx, std::string_view line) {
  auto& out = *static_cast<StdoutSink*>(ctx);
  if (out.drop_beyond != 0 && backlog(out) + line.size() + 1 > out.drop_beyond) return;
  try {
    if (out.queue.capacity() < StdoutSink::buffer_capacity) out.queue.reserve(StdoutSink::buffer_capacity);
    out.queue.append(line);
    out.queue += '\n';
  } catch (const std::bad_alloc&) {
    // The sink decides for a line it cannot keep: dropped, with one report where there is a place for it.
    if (out.reports) writeLine(out.reports, "out of memory; message dropped");
    return;
  }
  if (out.drop_beyond != 0 || backlog(out) >= StdoutSink::buffer_capacity) writeWhatFits(out, false);
}

bool after(void* ctx, Delivery& d) {
  auto& out = *static_cast<StdoutSink*>(ctx);
  if (backlog(out) == 0) return false;
  d.mark = out.left + backlog(out);
  d.next = nullptr;
  (out.last ? out.last->next : out.first) = &d;
  out.last = &d;
  return true;
}

}  // namespace

StdoutSink::StdoutSink(sys::Descriptor fd, std::pmr::memory_resource& memory, std::size_t drop_beyond)
    : stream(sys::openOutput(fd)), drop_beyond(drop_beyond), queue(&memory) {}

void reserveBuffers(StdoutSink& out) { out.queue.reserve(StdoutSink::buffer_capacity); }

Sink sinkOf(StdoutSink& out) { return Sink{&out, &writeLine, &after}; }

void writeWhatFits(StdoutSink& out, bool ready) noexcept {
  while (backlog(out) > 0) {
    sys::Transfer t = sys::writeSome(out.stream, out.queue.data() + out.head, backlog(out), ready);
    ready = false;  // the room a wait reported may be used up
    if (t.status == sys::Io::Done) {
      if (t.count == 0) break;
      advance(out, t.count);
      out.mid_line = out.queue[out.head - 1] != '\n';
      out.retried = false;
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
  if (backlog(out) == 0) {
    out.head = 0;
    out.queue.clear();
    if (out.queue.capacity() > kept_capacity) std::pmr::string(out.queue.get_allocator()).swap(out.queue);
  }
  tellDeliveries(out);
}

namespace {

// The input side: lines are cut from what each read brings; a line that spans reads is gathered in
// `pending`, which keeps its capacity (up to a point), so steady traffic allocates nothing.
struct LineInput {
  sys::Stream stream;
  std::span<char> buffer;
  std::pmr::string pending;
};

// Reads once and hands every whole line to `handler`. How input ended, or nullopt while it goes on.
std::optional<LoopEnd> readLines(LineInput& in, LineHandler handler) {
  sys::Transfer got = sys::readSome(in.stream, in.buffer.data(), in.buffer.size());
  if (got.status == sys::Io::NotNow) return std::nullopt;
  if (got.status == sys::Io::Failed) return LoopEnd::ReadFailed;
  if (got.status == sys::Io::End) {
    handler.handle(handler.ctx, in.pending);
    return LoopEnd::EndOfInput;
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
      return LoopEnd::WriteFailed;
    }
    handler.handle(handler.ctx, in.pending);
    in.pending.clear();
    if (in.pending.capacity() > kept_capacity) in.pending.shrink_to_fit();
  }
  try {
    in.pending += rest;
  } catch (const std::bad_alloc&) {
    return LoopEnd::WriteFailed;
  }
  return std::nullopt;
}

// Writes what `outputs` hold for as long as each takes bytes; gives up on one that has taken
// nothing for `patience`.
void deliverAll(std::span<StdoutSink* const> outputs, std::chrono::milliseconds patience) noexcept {
  steady_clock::time_point progress[2] = {steady_clock::now(), steady_clock::now()};
  for (;;) {
    sys::Interest interest;
    steady_clock::time_point give_up = steady_clock::time_point::max();
    for (std::size_t i = 0; i < outputs.size() && i < 2; ++i) {
      StdoutSink* out = outputs[i];
      if (!out) continue;
      std::uint64_t before = out->left;
      writeWhatFits(*out, false);
      if (out->left != before) progress[i] = steady_clock::now();
      if (backlog(*out) == 0 || steady_clock::now() - progress[i] >= patience) continue;
      interest.outputs[i] = &out->stream;
      give_up = std::min(give_up, progress[i] + patience);
    }
    if (!interest.outputs[0] && !interest.outputs[1]) return;
    sys::Readiness ready = sys::waitFor(interest, give_up - steady_clock::now());
    for (std::size_t i = 0; i < outputs.size() && i < 2; ++i) {
      if (!ready.outputs[i]) continue;
      std::uint64_t before = outputs[i]->left;
      writeWhatFits(*outputs[i], true);
      if (outputs[i]->left != before) progress[i] = steady_clock::now();
    }
  }
}

}  // namespace

LoopEnd runLineLoop(Loop& loop, sys::Descriptor in, std::span<char> buffer, std::pmr::memory_resource& gpa,
                    StdoutSink& out, StdoutSink& err, LineHandler handler) {
  loop.outputs[0] = &out;
  loop.outputs[1] = &err;
  LineInput input{sys::openInput(in), buffer, std::pmr::string(&gpa)};
  std::optional<LoopEnd> end;
  for (;;) {
    loop.fireDue();
    writeWhatFits(out, false);  // a lone reply leaves before the loop waits
    writeWhatFits(err, false);
    if (end && backlog(out) == 0 && (loop.tasks == 0 || !loop.nextDeadline())) break;
    sys::Interest interest;
    if (!end && backlog(out) < StdoutSink::max_backlog) interest.input = &input.stream;
    if (backlog(out) > 0) interest.outputs[0] = &out.stream;
    if (backlog(err) > 0) interest.outputs[1] = &err.stream;
    std::chrono::nanoseconds timeout{-1};
    if (std::optional<Loop::Time> next = loop.nextDeadline()) timeout = std::max(*next - loop.now(), timeout.zero());
    sys::Readiness ready = sys::waitFor(interest, timeout);
    if (ready.outputs[0]) writeWhatFits(out, true);
    if (ready.outputs[1]) writeWhatFits(err, true);
    if (ready.input) end = readLines(input, handler);
  }
  // A host may never read standard error: what it has not taken after a while is given up.
  StdoutSink* outputs[] = {nullptr, &err};
  deliverAll(outputs, end_patience);
  loop.outputs[0] = loop.outputs[1] = nullptr;
  return *end;
}

void deliverQueued(StdoutSink& out) noexcept {
  StdoutSink* outputs[] = {&out};
  deliverAll(outputs, end_patience);
}

void endProcess(Loop& loop, int status) noexcept {
  deliverAll(loop.outputs, end_patience);
  sys::exitNow(status);
}
