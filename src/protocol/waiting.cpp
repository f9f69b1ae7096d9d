#include "protocol/waiting.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

#include "protocol/task_group.h"

namespace {

thread_local const Sink* held_lines = nullptr;

// Waits until `fd` is ready for `events`. A failed poll other than EINTR gives up: the caller's
// next read or write then reports the descriptor's state.
void waitReady(int fd, short events) noexcept {
  pollfd p{fd, events, 0};
  while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace

HeldLines::HeldLines(const Sink* out) noexcept : previous_(held_lines) { held_lines = out; }

HeldLines::~HeldLines() { held_lines = previous_; }

void aboutToBlock(bool flush_held) noexcept {
  if (flush_held && held_lines) flush(*held_lines);
  TaskGroup::aboutToBlock();
}

ssize_t readSome(int fd, void* buffer, std::size_t size) noexcept {
  aboutToBlock();
  for (;;) {
    ssize_t got = ::read(fd, buffer, size);
    if (got >= 0) return got;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      waitReady(fd, POLLIN);
    } else if (errno != EINTR) {
      return -1;
    }
  }
}

bool writeAll(int fd, iovec* parts, int count) noexcept {
  aboutToBlock(false);  // a write to a full pipe blocks
  while (count > 0) {
    ssize_t written = ::writev(fd, parts, count);
    if (written < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        waitReady(fd, POLLOUT);
        continue;
      }
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

void sleepFor(std::chrono::nanoseconds duration) noexcept {
  aboutToBlock();
  std::this_thread::sleep_for(duration);
}
