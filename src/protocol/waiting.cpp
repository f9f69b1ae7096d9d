#include "protocol/waiting.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <thread>

#include "protocol/task_group.h"

namespace {

thread_local const Sink* held_lines = nullptr;
thread_local bool reads_input = false;
thread_local int output_backlog = -1;

// Waits until `fd` is ready for `events`. A failed poll other than EINTR gives up: the caller's
// next read or write then reports the descriptor's state.
void waitReady(int fd, short events) noexcept {
  pollfd p{fd, events, 0};
  while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
  }
}

}  // namespace

HeldLines::HeldLines(const Sink* out, bool reads) noexcept : previous_(held_lines), previous_reads_input_(reads_input) {
  held_lines = out;
  reads_input = reads;
}

HeldLines::~HeldLines() {
  held_lines = previous_;
  reads_input = previous_reads_input_;
  output_backlog = -1;
}

bool readsInput() noexcept { return reads_input; }

void setOutputBacklog(int fd) noexcept { output_backlog = fd; }

std::size_t writeWhatFits(int fd, const char* data, std::size_t size) noexcept {
  std::size_t done = 0;
  while (done < size) {
    pollfd p{fd, POLLOUT, 0};
    int ready = ::poll(&p, 1, 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0) break;
    if (p.revents & (POLLERR | POLLNVAL)) return size;
    // A pipe that polls writable has room for PIPE_BUF bytes at least: this write never waits.
    std::size_t chunk = std::min<std::size_t>(size - done, PIPE_BUF);
    ssize_t written = ::write(fd, data + done, chunk);
    if (written < 0) {
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) break;
      return size;
    }
    done += static_cast<std::size_t>(written);
  }
  return done;
}

void aboutToBlock(bool flush_held) noexcept {
  if (flush_held && held_lines) flush(*held_lines);
  TaskGroup::aboutToBlock();
}

ssize_t readSome(int fd, void* buffer, std::size_t size) noexcept {
  aboutToBlock();
  for (;;) {
    if (output_backlog >= 0) {  // wait for input, or for room for the lines still waiting
      pollfd p[2] = {{fd, POLLIN, 0}, {output_backlog, POLLOUT, 0}};
      if (::poll(p, 2, -1) < 0 && errno != EINTR) return -1;
      if (!p[0].revents) {
        if (p[1].revents) aboutToBlock();
        continue;
      }
    }
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
