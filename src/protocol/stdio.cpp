#include "protocol/stdio.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "protocol/waiting.h"


namespace {

// Makes the calling thread the one writer. REQUIRES: `lock` holds out.mutex.
void becomeWriter(StdoutSink& out, std::unique_lock<std::mutex>& lock) {
  out.writer_done.wait(lock, [&] { return !out.writing; });
  out.writing = true;
}

void giveUpWriting(StdoutSink& out) {
  out.writing = false;
  out.writer_done.notify_all();
}

// Writes `size` bytes at `data` as the writer, waiting for room or not; returns how many left.
// REQUIRES: the caller is the writer.
std::size_t send(StdoutSink& out, const char* data, std::size_t size, bool wait) {
  std::size_t done = writeLines(out.fd, data, size, !out.mid_line, wait);
  if (done > 0) out.mid_line = data[done - 1] != '\n';
  return done;
}

// Writes what is pending, again and again while other threads add lines meanwhile, then gives the
// writer's role back. `extra`, when not empty, follows the first batch as a line of its own.
// REQUIRES: the caller is the writer and `lock` holds out.mutex.
void drain(StdoutSink& out, std::unique_lock<std::mutex>& lock, std::string_view extra = {}) {
  while (!out.pending.empty() || !extra.empty()) {
    std::swap(out.pending, out.sending);
    out.pending.clear();
    lock.unlock();
    send(out, out.sending.data(), out.sending.size(), true);  // a failed write drops its lines
    if (!extra.empty()) {
      bool dropped = false;
      writeLines(out.fd, extra.data(), extra.size(), true, true, &dropped);
      if (!dropped) writeLines(out.fd, "\n", 1, false, true);
      extra = {};
    }
    lock.lock();
  }
  giveUpWriting(out);
}

// The input reader's drain: writes what the descriptor takes now and leaves the rest pending,
// in order. Tells the waiting helpers whether a backlog is left for the reader to come back to.
// REQUIRES: the caller is the writer and `lock` holds out.mutex.
void drainWhatFits(StdoutSink& out, std::unique_lock<std::mutex>& lock) {
  while (!out.pending.empty()) {
    std::swap(out.pending, out.sending);
    out.pending.clear();
    lock.unlock();
    std::size_t written = send(out, out.sending.data(), out.sending.size(), false);
    lock.lock();
    if (written < out.sending.size()) {
      try {  // what others added meanwhile goes after what is still to be written
        out.pending.insert(0, out.sending, written);
      } catch (const std::bad_alloc&) {  // no room to keep it: send it the slow way
        lock.unlock();
        send(out, out.sending.data() + written, out.sending.size() - written, true);
        lock.lock();
        return drain(out, lock);
      }
      setOutputBacklog(out.fd);
      return giveUpWriting(out);
    }
  }
  setOutputBacklog(-1);
  giveUpWriting(out);
}

// Appends `line` and its newline. False when the buffer cannot grow.
bool append(StdoutSink& out, std::string_view line) {
  try {
    if (out.pending.capacity() == 0) out.pending.reserve(StdoutSink::buffer_capacity);
    out.pending.append(line);
    out.pending += '\n';
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void writeLine(void* ctx, std::string_view line) {
  auto& out = *static_cast<StdoutSink*>(ctx);
  bool reads_input = readsInput();
  std::unique_lock lock(out.mutex);
  std::size_t after = out.pending.size() + line.size() + 1;
  std::size_t limit = reads_input ? StdoutSink::max_backlog : StdoutSink::buffer_capacity;
  if (after > limit || !append(out, line)) {
    // Too much waits already, or no memory for more: this thread writes, waiting for the pipe.
    becomeWriter(out, lock);
    if (after <= limit && append(out, line)) return drain(out, lock);
    return drain(out, lock, line);
  }
  if (out.writing) return;  // the writer takes it along before it stops
  if (out.hold_lines && out.pending.size() <= StdoutSink::buffer_capacity) return;  // held until flush()
  out.writing = true;
  if (reads_input) return drainWhatFits(out, lock);
  drain(out, lock);
}

void flushPending(void* ctx) {
  auto& out = *static_cast<StdoutSink*>(ctx);
  std::unique_lock lock(out.mutex);
  if (readsInput()) {
    if (out.writing) return setOutputBacklog(-1);  // the writer takes everything along
    out.writing = true;
    return drainWhatFits(out, lock);
  }
  becomeWriter(out, lock);
  drain(out, lock);
}

}  // namespace

StdoutSink::StdoutSink(int fd, bool hold_lines, std::pmr::memory_resource& memory)
    : fd(fd), hold_lines(hold_lines), pending(&memory), sending(&memory) {}

Sink sinkOf(StdoutSink& out) { return Sink{&out, &writeLine, &flushPending}; }

namespace {

LoopEnd readLines(int fd, std::span<char> buffer, std::pmr::memory_resource& gpa, LineHandler handler) {
  // A line that lies whole in the read buffer is handed over in place; only a line that spans
  // refills is gathered in `pending`, which keeps its capacity, so steady traffic allocates nothing.
  std::pmr::string pending(&gpa);
  std::size_t start = 0;
  std::size_t end = 0;
  for (;;) {
    const char* newline = static_cast<const char*>(std::memchr(buffer.data() + start, '\n', end - start));
    if (newline) {
      std::string_view piece(buffer.data() + start, static_cast<std::size_t>(newline - (buffer.data() + start)));
      start += piece.size() + 1;
      if (pending.empty()) {
        handler.handle(handler.ctx, piece);
        continue;
      }
      try {
        pending += piece;
      } catch (const std::bad_alloc&) {  // the loop decides: input cannot be gathered, so it ends
        return LoopEnd::WriteFailed;
      }
      handler.handle(handler.ctx, pending);
      pending.clear();
      continue;
    }
    try {
      pending.append(buffer.data() + start, end - start);
    } catch (const std::bad_alloc&) {
      return LoopEnd::WriteFailed;
    }
    start = end = 0;
    ssize_t got = readSome(fd, buffer.data(), buffer.size());  // replies held back leave first
    if (got < 0) return LoopEnd::ReadFailed;
    if (got == 0) {
      handler.handle(handler.ctx, pending);
      return LoopEnd::EndOfInput;
    }
    end = static_cast<std::size_t>(got);
  }
}

}  // namespace

void reserveBuffers(StdoutSink& out) {
  out.pending.reserve(StdoutSink::buffer_capacity);
  out.sending.reserve(StdoutSink::buffer_capacity);
}

LoopEnd runLineLoop(int fd, std::span<char> buffer, std::pmr::memory_resource& gpa, const Sink& out,
                    LineHandler handler) {
  LoopEnd end;
  {
    HeldLines held(&out, true);
    end = readLines(fd, buffer, gpa, handler);
  }
  flush(out);
  return end;
}
