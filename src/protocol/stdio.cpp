#include "protocol/stdio.h"

#include <sys/uio.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>
#include <utility>

#include "protocol/waiting.h"


namespace {

constexpr std::size_t read_buffer_size = 65536;

constexpr std::size_t buffer_capacity = 65536;

// Makes the calling thread the one writer. REQUIRES: `lock` holds out.mutex.
void becomeWriter(StdoutSink& out, std::unique_lock<std::mutex>& lock) {
  out.writer_done.wait(lock, [&] { return !out.writing; });
  out.writing = true;
}

// Writes what is pending, again and again while other threads add lines meanwhile, then gives the
// writer's role back. `extra`, when not empty, follows the first batch as a line of its own.
// REQUIRES: the caller is the writer and `lock` holds out.mutex.
void drain(StdoutSink& out, std::unique_lock<std::mutex>& lock, std::string_view extra = {}) {
  while (out.pending_size > 0 || !extra.empty()) {
    std::swap(out.pending, out.sending);
    std::size_t size = std::exchange(out.pending_size, 0);
    lock.unlock();
    char newline = '\n';
    iovec parts[3] = {{out.sending.get(), size}, {const_cast<char*>(extra.data()), extra.size()}, {&newline, 1}};
    writeAll(out.fd, parts, extra.empty() ? 1 : 3);  // a failed write drops the lines silently
    extra = {};
    lock.lock();
  }
  out.writing = false;
  out.writer_done.notify_all();
}

void writeLine(void* ctx, std::string_view line) {
  auto& out = *static_cast<StdoutSink*>(ctx);
  std::unique_lock lock(out.mutex);
  bool is_writer = false;
  if (out.pending_size + line.size() + 1 > buffer_capacity) {
    becomeWriter(out, lock);
    is_writer = true;
    if (out.pending_size + line.size() + 1 > buffer_capacity) return drain(out, lock, line);
    // the writer before us emptied the buffer: the line fits after all
  }
  std::memcpy(out.pending.get() + out.pending_size, line.data(), line.size());
  out.pending[out.pending_size + line.size()] = '\n';
  out.pending_size += line.size() + 1;
  if (!is_writer) {
    if (out.hold_lines) return;  // held until flush()
    if (out.writing) return;  // the writer takes it along before it stops
    out.writing = true;
  }
  drain(out, lock);
}

void flushPending(void* ctx) {
  auto& out = *static_cast<StdoutSink*>(ctx);
  std::unique_lock lock(out.mutex);
  becomeWriter(out, lock);
  drain(out, lock);
}

}  // namespace

StdoutSink::StdoutSink(int fd, bool hold_lines)
    : fd(fd),
      hold_lines(hold_lines),
      pending(std::make_unique_for_overwrite<char[]>(buffer_capacity)),
      sending(std::make_unique_for_overwrite<char[]>(buffer_capacity)) {}

Sink sinkOf(StdoutSink& out) { return Sink{&out, &writeLine, &flushPending}; }

namespace {

LoopEnd readLines(int fd, std::pmr::memory_resource& gpa, LineHandler handler) {
  // A line that lies whole in the read buffer is handed over in place; only a line that spans
  // refills is gathered in `pending`, which keeps its capacity, so steady traffic allocates nothing.
  auto buffer = std::make_unique_for_overwrite<char[]>(read_buffer_size);
  std::pmr::string pending(&gpa);
  std::size_t start = 0;
  std::size_t end = 0;
  for (;;) {
    const char* newline = static_cast<const char*>(std::memchr(buffer.get() + start, '\n', end - start));
    if (newline) {
      std::string_view piece(buffer.get() + start, static_cast<std::size_t>(newline - (buffer.get() + start)));
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
      pending.append(buffer.get() + start, end - start);
    } catch (const std::bad_alloc&) {
      return LoopEnd::WriteFailed;
    }
    start = end = 0;
    ssize_t got = readSome(fd, buffer.get(), read_buffer_size);  // replies held back leave first
    if (got < 0) return LoopEnd::ReadFailed;
    if (got == 0) {
      handler.handle(handler.ctx, pending);
      return LoopEnd::EndOfInput;
    }
    end = static_cast<std::size_t>(got);
  }
}

}  // namespace

LoopEnd runLineLoop(int fd, std::pmr::memory_resource& gpa, const Sink& out, LineHandler handler) {
  HeldLines held(&out);
  LoopEnd end = readLines(fd, gpa, handler);
  flush(out);
  return end;
}
