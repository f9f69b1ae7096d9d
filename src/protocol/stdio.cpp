#include "protocol/stdio.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "protocol/message.h"

namespace {

constexpr std::size_t staging_size = 4096;
constexpr std::size_t read_buffer_size = 65536;

// Writes all of `parts`, resuming after partial writes and interrupts. False when the descriptor
// fails (for instance a closed pipe; SIGPIPE is handled, so this is EPIPE).
bool writeAll(int fd, iovec* parts, int count) {
  while (count > 0) {
    ssize_t written = ::writev(fd, parts, count);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    auto left = static_cast<std::size_t>(written);
    while (count > 0 && left >= parts->iov_len) {
      left -= parts->iov_len;
      ++parts;
      --count;
    }
    if (count > 0) {
      parts->iov_base = static_cast<char*>(parts->iov_base) + left;
      parts->iov_len -= left;
    }
  }
  return true;
}

constexpr std::size_t held_capacity = 65536;

// REQUIRES: out.mutex is held.
void sendHeld(StdoutSink& out) {
  if (out.held_size == 0) return;
  iovec whole{out.held.get(), out.held_size};
  out.held_size = 0;  // sent or dropped: a failed write loses them like any other line
  writeAll(out.fd, &whole, 1);
}

// Whatever is held, then `line` and its newline. REQUIRES: out.mutex is held.
void sendWith(StdoutSink& out, std::string_view line) {
  if (out.held_size == 0 && line.size() < staging_size) {
    char staging[staging_size];
    std::memcpy(staging, line.data(), line.size());
    staging[line.size()] = '\n';
    iovec whole{staging, line.size() + 1};
    writeAll(out.fd, &whole, 1);
    return;
  }
  char newline = '\n';
  iovec parts[3] = {{out.held.get(), out.held_size}, {const_cast<char*>(line.data()), line.size()}, {&newline, 1}};
  out.held_size = 0;
  writeAll(out.fd, parts, 3);
}

void writeLine(void* ctx, std::string_view line) {
  auto& out = *static_cast<StdoutSink*>(ctx);
  std::lock_guard lock(out.mutex);
  if (out.held && std::this_thread::get_id() == out.holder) {
    if (out.held_size + line.size() + 1 > held_capacity) sendHeld(out);
    if (line.size() + 1 <= held_capacity) {
      std::memcpy(out.held.get() + out.held_size, line.data(), line.size());
      out.held[out.held_size + line.size()] = '\n';
      out.held_size += line.size() + 1;
      return;
    }
  }
  sendWith(out, line);
}

void flushHeld(void* ctx) {
  auto& out = *static_cast<StdoutSink*>(ctx);
  std::lock_guard lock(out.mutex);
  sendHeld(out);
}

}  // namespace

StdoutSink::StdoutSink(int fd, bool hold_own_lines)
    : fd(fd),
      holder(hold_own_lines ? std::this_thread::get_id() : std::thread::id()),
      held(hold_own_lines ? std::make_unique_for_overwrite<char[]>(held_capacity) : nullptr) {}

Sink sinkOf(StdoutSink& out) { return Sink{&out, &writeLine, &flushHeld}; }

namespace {

LoopEnd readLines(Server& s, int fd) {
  // A line that lies whole in the read buffer is handed over in place; only a line that spans
  // refills is gathered in `pending`, which keeps its capacity, so steady traffic allocates nothing.
  auto buffer = std::make_unique_for_overwrite<char[]>(read_buffer_size);
  std::pmr::string pending(&s.gpa);
  std::size_t start = 0;
  std::size_t end = 0;
  for (;;) {
    const char* newline = static_cast<const char*>(std::memchr(buffer.get() + start, '\n', end - start));
    if (newline) {
      std::string_view piece(buffer.get() + start, static_cast<std::size_t>(newline - (buffer.get() + start)));
      start += piece.size() + 1;
      if (pending.empty()) {
        handle(s, piece);
        continue;
      }
      try {
        pending += piece;
      } catch (const std::bad_alloc&) {  // the loop decides: input cannot be gathered, so it ends
        return LoopEnd::WriteFailed;
      }
      handle(s, pending);
      pending.clear();
      continue;
    }
    try {
      pending.append(buffer.get() + start, end - start);
    } catch (const std::bad_alloc&) {
      return LoopEnd::WriteFailed;
    }
    start = end = 0;
    flush(s.sink);  // replies held back go out before the server waits for more input
    ssize_t got = ::read(fd, buffer.get(), read_buffer_size);
    if (got < 0) {
      if (errno == EINTR) continue;
      return LoopEnd::ReadFailed;
    }
    if (got == 0) {
      handle(s, pending);
      return LoopEnd::EndOfInput;
    }
    end = static_cast<std::size_t>(got);
  }
}

}  // namespace

LoopEnd runLineLoop(Server& s, int fd) {
  LoopEnd end = readLines(s, fd);
  flush(s.sink);
  return end;
}
