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

void writeLine(void* ctx, std::string_view line) {
  auto& out = *static_cast<StdoutSink*>(ctx);
  std::lock_guard lock(out.mutex);
  if (line.size() < staging_size) {
    char staging[staging_size];
    std::memcpy(staging, line.data(), line.size());
    staging[line.size()] = '\n';
    iovec whole{staging, line.size() + 1};
    writeAll(out.fd, &whole, 1);
    return;
  }
  char newline = '\n';
  iovec parts[2] = {{const_cast<char*>(line.data()), line.size()}, {&newline, 1}};
  writeAll(out.fd, parts, 2);
}

}  // namespace

Sink sinkOf(StdoutSink& out) { return Sink{&out, &writeLine}; }

LoopEnd runLineLoop(Server& s, int fd) {
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
