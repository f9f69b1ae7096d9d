// The loop's system calls on POSIX systems. Standard output is usually a pipe in blocking mode
// that the host shares with nobody, but whose mode we must not change: the host may share the same
// open pipe with others. So a write never asks for more than the stream surely takes at once.

#include "runtime/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>

IoCalls io_calls = {&::read, &::write, &::poll};
const IoCalls system_io_calls = {&::read, &::write, &::poll};

namespace sys {
namespace {

enum Kind : std::uint8_t {
  Unbounded,    // a file, a terminal, anything else: a write takes what it takes
  NonBlocking,  // the stream says "not now" itself when it is full
  Pipe,         // blocking: write what its free room surely holds
  Socket,       // blocking: each send asks not to wait
};

// Bytes a blocking pipe surely takes without waiting. A pipe holds its bytes in pages, and the first
// one may be partly read: that page's worth is not counted as room. 0 where the system cannot tell.
std::size_t pipeRoom(const Stream& out) {
#if defined(FIONREAD)
  int queued = 0;
  if (out.capacity == 0 || ::ioctl(out.fd, FIONREAD, &queued) != 0) return 0;
  const long room = static_cast<long>(out.capacity) - queued - 4096;
  return room > 0 ? static_cast<std::size_t>(room) : 0;
#else
  (void)out;
  return 0;
#endif
}

// A send to a socket never waits, where the system has the flag for it; a socket without it is
// written like a file. A reader that has gone fails the send without a signal where the system can
// say so (SIGPIPE is ignored anyway).
#if defined(MSG_DONTWAIT)
constexpr bool sockets_wait_not = true;
#if defined(MSG_NOSIGNAL)
constexpr int send_flags = MSG_DONTWAIT | MSG_NOSIGNAL;
#else
constexpr int send_flags = MSG_DONTWAIT;
#endif
#else
constexpr bool sockets_wait_not = false;
constexpr int send_flags = 0;
#endif

int millisecondsOf(std::chrono::nanoseconds timeout) {
  if (timeout.count() < 0) return -1;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();  // never wake early
  return static_cast<int>(std::min<decltype(ms)>(ms, INT_MAX));
}

}  // namespace

StandardStreams standardStreams() noexcept {
  // A closed standard output must fail writes (EPIPE), not end the process.
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
  return {0, 1, 2};
}

Stream openInput(Descriptor fd) noexcept { return Stream{fd, Unbounded, 0, nullptr}; }

Stream openOutput(Descriptor fd) noexcept {
  Stream s{fd, Unbounded, 0, nullptr};
  int flags = ::fcntl(fd, F_GETFL);
  struct stat st {};
  if (flags >= 0 && (flags & O_NONBLOCK)) {
    s.kind = NonBlocking;
  } else if (::fstat(fd, &st) == 0 && S_ISSOCK(st.st_mode)) {
    s.kind = sockets_wait_not ? Socket : Unbounded;
  } else if (S_ISFIFO(st.st_mode)) {
    s.kind = Pipe;
#if defined(F_GETPIPE_SZ)
    int capacity = ::fcntl(fd, F_GETPIPE_SZ);
    s.capacity = capacity > 0 ? static_cast<std::size_t>(capacity) : 0;
#endif
  }
  return s;
}

Transfer readSome(const Stream& in, char* buffer, std::size_t size) noexcept {
  for (;;) {
    ssize_t got = io_calls.read(in.fd, buffer, size);
    if (got > 0) return {Io::Done, static_cast<std::size_t>(got)};
    if (got == 0) return {Io::End};
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {Io::NotNow};
    if (errno != EINTR) return {Io::Failed};
  }
}

Transfer writeSome(const Stream& out, const char* data, std::size_t size, bool ready) noexcept {
  std::size_t chunk = size;
  if (out.kind == Pipe) {
    // A pipe that has just polled writable has room for PIPE_BUF bytes at least.
    chunk = std::min(size, std::max(pipeRoom(out), ready ? std::size_t{PIPE_BUF} : 0));
    if (chunk == 0) return {Io::Done, 0};
  }
  for (;;) {
    ssize_t written = out.kind == Socket ? ::send(out.fd, data, chunk, send_flags) : io_calls.write(out.fd, data, chunk);
    if (written >= 0) return {Io::Done, static_cast<std::size_t>(written)};
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {Io::Done, 0};
    if (errno != EINTR) return {Io::Failed};
  }
}

Readiness waitFor(const Interest& interest, std::chrono::nanoseconds timeout) noexcept {
  pollfd fds[3];
  nfds_t count = 0;
  int slot[3] = {-1, -1, -1};  // which descriptor of `fds` stands for input, output 0, output 1
  if (interest.input) {
    slot[0] = static_cast<int>(count);
    fds[count++] = {interest.input->fd, POLLIN, 0};
  }
  for (int i = 0; i < 2; ++i) {
    if (!interest.outputs[i]) continue;
    slot[i + 1] = static_cast<int>(count);
    fds[count++] = {interest.outputs[i]->fd, POLLOUT, 0};
  }
  Readiness r;
  // A failed poll reports nothing ready: the caller looks again, and a blocking read or write is
  // never risked on a guess.
  if (io_calls.poll(fds, count, millisecondsOf(timeout)) <= 0) return r;
  // An error or a hang-up is "ready" too: the next read or write tells which.
  auto isReady = [&](int s) { return s >= 0 && fds[s].revents != 0; };
  r.input = isReady(slot[0]);
  r.outputs[0] = isReady(slot[1]);
  r.outputs[1] = isReady(slot[2]);
  return r;
}

void exitNow(int status) noexcept { std::_Exit(status); }

}  // namespace sys
