#include "protocol/waiting.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <thread>

#include "protocol/task_group.h"

namespace {

thread_local const Sink* held_lines = nullptr;
thread_local bool reads_input = false;
thread_local int output_backlog = -1;

constexpr int reader_patience_ms = 1;

// How many bytes a pipe surely takes without waiting; 0 where the system cannot tell. A pipe holds
// its bytes in pages, and the first one may be partly read: that page's worth is not counted as
// room. The capacity of the last pipe asked about is kept: it changes only when someone sets it.
std::size_t pipeRoom(int fd) {
#if defined(__linux__) && defined(F_GETPIPE_SZ) && defined(FIONREAD)
  thread_local int known_fd = -1;
  thread_local int capacity = 0;
  if (fd != known_fd) {
    capacity = ::fcntl(fd, F_GETPIPE_SZ);
    known_fd = fd;
  }
  int queued = 0;
  if (capacity <= 0 || ::ioctl(fd, FIONREAD, &queued) != 0) return 0;
  const long room = static_cast<long>(capacity) - queued - 4096;
  return room > 0 ? static_cast<std::size_t>(room) : 0;
#else
  (void)fd;
  return 0;
#endif
}

// Waits until `fd` is ready for `events`. A failed poll other than EINTR gives up: the caller's
// next read or write then reports the descriptor's state.
void waitReady(int fd, short events) noexcept {
  pollfd p{fd, events, 0};
  while (io_calls.poll(&p, 1, -1) < 0 && (errno == EINTR || errno == EAGAIN)) {
  }
}

}  // namespace

IoCalls io_calls = system_io_calls;

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

void aboutToBlock(bool flush_held) noexcept {
  if (flush_held && held_lines) flush(*held_lines);
  TaskGroup::aboutToBlock();
}

ssize_t readSome(int fd, void* buffer, std::size_t size) noexcept {
  aboutToBlock();
  for (;;) {
    if (output_backlog >= 0) {  // wait for input, or for room for the lines still waiting
      pollfd p[2] = {{fd, POLLIN, 0}, {output_backlog, POLLOUT, 0}};
      if (io_calls.poll(p, 2, -1) < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        output_backlog = -1;  // poll cannot help: read, and leave the lines for the next flush
      } else if (!p[0].revents) {
        if (p[1].revents) aboutToBlock();
        continue;
      }
    }
    ssize_t got = io_calls.read(fd, buffer, size);
    if (got >= 0) return got;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      waitReady(fd, POLLIN);
    } else if (errno != EINTR) {
      return -1;
    }
  }
}

std::size_t writeLines(int fd, const char* data, std::size_t size, bool at_line_start, bool wait,
                       bool* dropped_last) noexcept {
  if (wait) aboutToBlock(false);  // a write to a full pipe blocks
  std::size_t done = 0;
  bool retried = false;
  if (dropped_last) *dropped_last = false;
  while (done < size) {
    std::size_t chunk = size - done;
    if (!wait) {
      std::size_t room = pipeRoom(fd);
      if (room < chunk) {
        // A reader that is there makes room within a millisecond; only one that has stopped leaves
        // the lines to wait, and the thread free to read on.
        pollfd p{fd, POLLOUT, 0};
        int ready = io_calls.poll(&p, 1, reader_patience_ms);
        if (ready < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (ready <= 0) break;
        // A pipe that polls writable has room for PIPE_BUF bytes at least: this write never waits.
        chunk = std::min<std::size_t>(chunk, std::max<std::size_t>(PIPE_BUF, pipeRoom(fd)));
      }
    }
    ssize_t written = io_calls.write(fd, data + done, chunk);
    if (written >= 0) {
      done += static_cast<std::size_t>(written);
      retried = false;
      continue;
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (!wait) break;
      waitReady(fd, POLLOUT);
      continue;
    }
    bool mid_line = done > 0 ? data[done - 1] != '\n' : !at_line_start;
    if (mid_line && !retried) {
      retried = true;
      continue;
    }
    const void* newline = std::memchr(data + done, '\n', size - done);
    done = newline ? static_cast<std::size_t>(static_cast<const char*>(newline) - data) + 1 : size;
    if (done == size && dropped_last) *dropped_last = true;
    retried = false;
  }
  return done;
}

void sleepFor(std::chrono::nanoseconds duration) noexcept {
  aboutToBlock();
  std::this_thread::sleep_for(duration);
}
