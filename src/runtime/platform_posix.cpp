// The loop's system calls on POSIX systems. Standard output is usually a pipe or a terminal in
// blocking mode, whose file description the host may share with others, so its mode must not
// change. Where the system lets us open a description of our own on the same pipe or terminal
// (/proc/self/fd on Linux, the terminal's name anywhere), that one is made non-blocking and
// written freely. Otherwise a blocking stream is written only right after a wait has reported room,
// and then no more than PIPE_BUF bytes: what one readiness guarantees.

#include "runtime/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <iterator>
#include <new>
#include <vector>

#if defined(__GLIBC__)
#include <malloc.h>
#endif
#if defined(__linux__)
#include <sys/epoll.h>
#endif

#if defined(__linux__)
IoCalls io_calls = {&::read, &::write, &::poll, &::epoll_wait};
const IoCalls system_io_calls = {&::read, &::write, &::poll, &::epoll_wait};
#else
IoCalls io_calls = {&::read, &::write, &::poll};
const IoCalls system_io_calls = {&::read, &::write, &::poll};
#endif

namespace sys {
namespace {

enum Kind : std::uint8_t {
  NonBlocking,  // says "not now" itself when full: the host's own non-blocking description, or ours
  File,         // a regular file or a block device: a write takes what it takes
  LimitedFile,  // the same, under a file-size limit: whole lines up to the limit, then none
  Socket,       // each send asks not to wait
  Bounded,      // the host's blocking pipe or terminal: PIPE_BUF bytes after each readiness
};

// A send to a socket never waits, where the system has the flag for it; a socket without it is
// written like a blocking pipe. A reader that has gone fails the send without a signal where the
// system can say so (SIGPIPE is caught anyway).
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

// A non-blocking description of our own for the pipe or terminal `fd`, or -1. The host's own
// description keeps its mode; ours shares the same pipe or terminal, so no byte order changes.
int openOwn(int fd) {
  constexpr int flags = O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC;
#if defined(__linux__)
  char path[32];
  (void)std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
  if (int own = ::open(path, flags); own >= 0) return own;
#endif
  char name[256];
  if (::isatty(fd) && ::ttyname_r(fd, name, sizeof name) == 0) return ::open(name, flags);
  return -1;
}

bool fileSizeLimited() {
  rlimit limit{};
  return ::getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY;
}

}  // namespace

StandardStreams standardStreams() noexcept {
  // A closed standard output must fail writes (EPIPE), and a file past the process's size limit
  // must fail them too (EFBIG), rather than end the process: both signals are caught by a handler
  // that does nothing.
  struct sigaction action {};
  action.sa_handler = [](int) {};
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);
  sigaction(SIGXFSZ, &action, nullptr);
  return {0, 1, 2};
}

Stream openInput(Descriptor fd) noexcept {
  Stream s{fd, NonBlocking};
  const int flags = ::fcntl(fd, F_GETFL);
  s.read_waits = flags >= 0 && !(flags & O_NONBLOCK);
  return s;
}

Stream openOutput(Descriptor fd) noexcept {
  Stream s{fd, Bounded};
  struct stat st {};
  if (::fstat(fd, &st) != 0) return s;  // a closed descriptor: its writes fail
  s.object = (static_cast<std::uint64_t>(st.st_dev) << 32) ^ static_cast<std::uint64_t>(st.st_ino);
  const int flags = ::fcntl(fd, F_GETFL);
  if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) {
    s.kind = fileSizeLimited() ? LimitedFile : File;
  } else if (S_ISSOCK(st.st_mode)) {
    s.kind = sockets_wait_not ? Socket : Bounded;
  } else if (flags >= 0 && (flags & O_NONBLOCK)) {
    s.kind = NonBlocking;
  } else if (int own = openOwn(fd); own >= 0) {
    s = Stream{own, NonBlocking, true, nullptr, s.object};
  }
  return s;
}

void closeStream(Stream& s) noexcept {
  if (s.own_fd) ::close(s.fd);
  s.own_fd = false;
  s.fd = -1;
}

Transfer readSome(const Stream& in, char* buffer, std::size_t size) noexcept {
  for (;;) {
    ssize_t got = io_calls.read(in.fd, buffer, size);
    if (got > 0) return {Io::Done, static_cast<std::size_t>(got)};
    if (got == 0) return {Io::End};
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {Io::NotNow};
    if (errno != EINTR) return {Io::Failed, 0, static_cast<std::uint32_t>(errno)};
  }
}

Transfer writeSome(const Stream& out, const char* data, std::size_t size, bool ready) noexcept {
  if (out.kind == Bounded) {
    if (!ready) return {Io::Done, 0};
    size = std::min<std::size_t>(size, PIPE_BUF);
  }
  for (;;) {
    ssize_t written = out.kind == Socket ? ::send(out.fd, data, size, send_flags) : io_calls.write(out.fd, data, size);
    if (written >= 0) return {Io::Done, static_cast<std::size_t>(written)};
    if (errno == EAGAIN || errno == EWOULDBLOCK) return {Io::Done, 0};
    if (errno != EINTR) return {Io::Failed, 0, static_cast<std::uint32_t>(errno)};
  }
}

std::size_t roomLeft(const Stream& out) noexcept {
  if (out.kind != LimitedFile) return SIZE_MAX;
  rlimit limit{};
  if (::getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return SIZE_MAX;
  // A description opened for appending writes at the end, wherever its offset stands.
  off_t at = -1;
  const int flags = ::fcntl(out.fd, F_GETFL);
  struct stat st {};
  if (flags >= 0 && (flags & O_APPEND) && ::fstat(out.fd, &st) == 0) at = st.st_size;
  if (at < 0) at = ::lseek(out.fd, 0, SEEK_CUR);
  if (at < 0) return SIZE_MAX;
  const auto max = static_cast<std::uint64_t>(limit.rlim_cur);
  return static_cast<std::uint64_t>(at) >= max ? 0 : static_cast<std::size_t>(max - static_cast<std::uint64_t>(at));
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
  if (io_calls.poll(fds, count, millisecondsOf(timeout)) < 0) {
    if (errno != EINTR && errno != EAGAIN) r.error = static_cast<std::uint32_t>(errno);
    return r;
  }
  // An error or a hang-up is "ready" too: the next read or write tells which.
  auto isReady = [&](int s) { return s >= 0 && fds[s].revents != 0; };
  r.input = isReady(slot[0]);
  r.outputs[0] = isReady(slot[1]);
  r.outputs[1] = isReady(slot[2]);
  // Room that one readiness reports on a blocking pipe is for one write: when both outputs are that
  // same pipe (2>&1), only one of them may use it.
  const Stream* a = interest.outputs[0];
  const Stream* b = interest.outputs[1];
  if (r.outputs[0] && r.outputs[1] && a->kind == Bounded && b->kind == Bounded && a->object == b->object &&
      a->object != 0) {
    r.outputs[1] = false;
  }
  return r;
}

namespace {

// A stream watched as `tag` for `want`.
struct Watched {
  int fd;
  std::uint8_t want;
  void* tag;
};

#if defined(__linux__)
// epoll, and beside it the streams it refuses (files, which are always ready): those are reported
// ready at every wait, and the wait then does not block.
struct PollerState {
  int epoll_fd = -1;
  std::vector<Watched> always;
};
#else
// poll() over every stream watched for something.
struct PollerState {
  std::vector<Watched> watched;
  std::vector<pollfd> fds;  // rebuilt for each wait
};
#endif

}  // namespace

Poller openPoller() noexcept {
  auto* state = new (std::nothrow) PollerState;
  if (!state) return {nullptr, ENOMEM};
#if defined(__linux__)
  state->epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (state->epoll_fd < 0) {
    const int error = errno;
    delete state;
    return {nullptr, static_cast<std::uint32_t>(error)};
  }
#endif
  return {state, 0};
}

void closePoller(Poller& p) noexcept {
  auto* state = static_cast<PollerState*>(p.state);
  if (!state) return;
#if defined(__linux__)
  ::close(state->epoll_fd);
#endif
  delete state;
  p.state = nullptr;
}

#if defined(__linux__)

std::uint32_t watchStream(Poller& p, const Stream& s, std::uint8_t want, void* tag) noexcept {
  auto* state = static_cast<PollerState*>(p.state);
  if (!state) return p.error;
  for (Watched& w : state->always) {
    if (w.fd == s.fd) {
      w = {s.fd, want, tag};
      return 0;
    }
  }
  // A stream wanted for nothing leaves the set: epoll would report its hang-up at every wait.
  if (want == WantNothing) {
    ::epoll_ctl(state->epoll_fd, EPOLL_CTL_DEL, s.fd, nullptr);
    return 0;
  }
  epoll_event event{};
  event.events = ((want & WantRead) ? EPOLLIN : 0u) | ((want & WantWrite) ? EPOLLOUT : 0u);
  event.data.ptr = tag;
  if (::epoll_ctl(state->epoll_fd, EPOLL_CTL_MOD, s.fd, &event) == 0) return 0;
  if (errno == ENOENT && ::epoll_ctl(state->epoll_fd, EPOLL_CTL_ADD, s.fd, &event) == 0) return 0;
  if (errno != EPERM) return static_cast<std::uint32_t>(errno);
  try {
    state->always.push_back({s.fd, want, tag});
  } catch (const std::bad_alloc&) {  // watchStream decides: the stream cannot be watched
    return ENOMEM;
  }
  return 0;
}

void forgetStream(Poller& p, const Stream& s) noexcept {
  auto* state = static_cast<PollerState*>(p.state);
  if (!state) return;
  ::epoll_ctl(state->epoll_fd, EPOLL_CTL_DEL, s.fd, nullptr);
  std::erase_if(state->always, [&](const Watched& w) { return w.fd == s.fd; });
}

Waited waitEvents(Poller& p, std::chrono::nanoseconds timeout, std::span<Event> events) noexcept {
  auto* state = static_cast<PollerState*>(p.state);
  if (!state) return {0, p.error};
  std::size_t always = 0;
  for (const Watched& w : state->always) always += w.want != WantNothing;
  epoll_event got[64];
  const int room = static_cast<int>(std::min<std::size_t>(std::size(got), events.size() - std::min(always, events.size())));
  Waited waited;
  const int n = room > 0 ? io_calls.epoll_wait(state->epoll_fd, got, room, always ? 0 : millisecondsOf(timeout)) : 0;
  if (n < 0 && errno != EINTR) return {0, static_cast<std::uint32_t>(errno)};
  for (int i = 0; i < n; ++i) {
    const std::uint32_t e = got[i].events;
    events[waited.count++] = {got[i].data.ptr, (e & (EPOLLIN | EPOLLHUP | EPOLLERR)) != 0,
                              (e & (EPOLLOUT | EPOLLHUP | EPOLLERR)) != 0};
  }
  for (const Watched& w : state->always) {
    if (w.want == WantNothing || waited.count == events.size()) continue;
    events[waited.count++] = {w.tag, (w.want & WantRead) != 0, (w.want & WantWrite) != 0};
  }
  return waited;
}

#else

std::uint32_t watchStream(Poller& p, const Stream& s, std::uint8_t want, void* tag) noexcept {
  auto* state = static_cast<PollerState*>(p.state);
  if (!state) return p.error;
  for (Watched& w : state->watched) {
    if (w.fd == s.fd) {
      w = {s.fd, want, tag};
      return 0;
    }
  }
  try {
    state->watched.push_back({s.fd, want, tag});
    state->fds.reserve(state->watched.size());
  } catch (const std::bad_alloc&) {  // watchStream decides: the stream cannot be watched
    return ENOMEM;
  }
  return 0;
}

void forgetStream(Poller& p, const Stream& s) noexcept {
  auto* state = static_cast<PollerState*>(p.state);
  if (state) std::erase_if(state->watched, [&](const Watched& w) { return w.fd == s.fd; });
}

Waited waitEvents(Poller& p, std::chrono::nanoseconds timeout, std::span<Event> events) noexcept {
  auto* state = static_cast<PollerState*>(p.state);
  if (!state) return {0, p.error};
  state->fds.clear();
  for (const Watched& w : state->watched) {  // room was reserved as each was watched
    // A stream wanted for nothing stays out: poll would report its hang-up at every wait.
    state->fds.push_back({w.want == WantNothing ? -1 : w.fd,
                          static_cast<short>(((w.want & WantRead) ? POLLIN : 0) | ((w.want & WantWrite) ? POLLOUT : 0)), 0});
  }
  const int n = io_calls.poll(state->fds.data(), static_cast<nfds_t>(state->fds.size()), millisecondsOf(timeout));
  if (n < 0 && errno != EINTR && errno != EAGAIN) return {0, static_cast<std::uint32_t>(errno)};
  Waited waited;
  for (std::size_t i = 0; n > 0 && i < state->fds.size() && waited.count < events.size(); ++i) {
    const short e = state->fds[i].revents;
    if (e == 0) continue;
    events[waited.count++] = {state->watched[i].tag, (e & (POLLIN | POLLHUP | POLLERR)) != 0,
                              (e & (POLLOUT | POLLHUP | POLLERR)) != 0};
  }
  return waited;
}

#endif

bool shareRoom(const Stream& a, const Stream& b) noexcept {
  return a.kind == Bounded && b.kind == Bounded && a.object != 0 && a.object == b.object;
}

namespace {

// Makes a descriptor of our own non-blocking and closed on exec. False when the system refuses.
bool ownDescriptor(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

std::uint32_t lastError() { return static_cast<std::uint32_t>(errno); }

}  // namespace

std::uint32_t listenTcp(std::string_view host, std::uint16_t port, Stream& listener) noexcept {
  char text[INET6_ADDRSTRLEN + 1] = {};
  if (host.size() >= sizeof text) return EINVAL;
  host.copy(text, host.size());
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  const sockaddr* address = nullptr;
  socklen_t size = 0;
  if (::inet_pton(AF_INET, text, &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    address = reinterpret_cast<const sockaddr*>(&v4);
    size = sizeof v4;
  } else if (::inet_pton(AF_INET6, text, &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    address = reinterpret_cast<const sockaddr*>(&v6);
    size = sizeof v6;
  } else {
    return EINVAL;
  }
  const int fd = ::socket(address->sa_family, SOCK_STREAM, 0);
  if (fd < 0) return lastError();
  const int on = 1;
  // A server restarted at once finds its port free, though connections of the last run linger.
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (!ownDescriptor(fd) || ::bind(fd, address, size) != 0 || ::listen(fd, SOMAXCONN) != 0) {
    const std::uint32_t error = lastError();
    ::close(fd);
    return error;
  }
  listener = Stream{fd, Socket, true};
  return 0;
}

std::size_t parseAddress(std::string_view text, std::span<std::uint8_t, 16> out) noexcept {
  char terminated[INET6_ADDRSTRLEN + 1] = {};
  if (text.size() >= sizeof terminated || text.find('\0') != std::string_view::npos) return 0;
  text.copy(terminated, text.size());
  if (::inet_pton(AF_INET, terminated, out.data()) == 1) return 4;
  if (::inet_pton(AF_INET6, terminated, out.data()) == 1) return 16;
  return 0;
}

std::uint16_t localPort(const Stream& listener) noexcept {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (::getsockname(listener.fd, reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
}

Transfer acceptOne(const Stream& listener, Stream& connection) noexcept {
  for (;;) {
    const int fd = ::accept(listener.fd, nullptr, nullptr);
    if (fd >= 0) {
      if (!ownDescriptor(fd)) {
        const std::uint32_t error = lastError();
        ::close(fd);
        return {Io::Failed, 0, error};
      }
      const int on = 1;  // replies are whole messages: no waiting for more to fill a packet
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
      connection = Stream{fd, Socket, true};
      return {Io::Done, 1};
    }
    // A connection its client gave up before it was taken is no failure of the listener.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) return {Io::NotNow};
    if (errno != EINTR) return {Io::Failed, 0, lastError()};
  }
}

void endSending(const Stream& connection) noexcept { ::shutdown(connection.fd, SHUT_WR); }

bool secureRandom(std::span<std::byte> out) noexcept {
#if defined(__GLIBC__) || defined(__APPLE__) || defined(__FreeBSD__) || defined(__OpenBSD__)
  // Without a descriptor: it works when every descriptor is taken by connections.
  for (std::size_t at = 0; at < out.size(); at += 256) {
    if (::getentropy(out.data() + at, std::min<std::size_t>(256, out.size() - at)) != 0) return false;
  }
  return true;
#else
  const int fd = ::open("/dev/urandom", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  std::size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = ::read(fd, out.data() + got, out.size() - got);
    if (n > 0) got += static_cast<std::size_t>(n);
    else if (n == 0 || errno != EINTR) break;
  }
  ::close(fd);
  return got == out.size();
#endif
}

void raiseDescriptorLimit() noexcept {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

namespace {

// The pipe a request to end writes a byte to, from the signal handler, and the loop reads: the
// handler does nothing else, so that it is safe whatever it interrupts.
int end_request_pipe[2] = {-1, -1};
constexpr int end_signals[] = {SIGTERM, SIGINT};
struct sigaction end_defaults[std::size(end_signals)];  // what closeEndRequests puts back

void onEndRequest(int) {
  const int saved = errno;
  const char byte = 1;
  (void)!::write(end_request_pipe[1], &byte, 1);  // a full pipe has a request to tell already
  errno = saved;
}

bool makeNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) == 0;
}

}  // namespace

std::uint32_t openEndRequests(Stream& requests) noexcept {
  if (end_request_pipe[0] >= 0) return EBUSY;  // one listener at a time
  if (::pipe(end_request_pipe) != 0) return static_cast<std::uint32_t>(errno);
  struct sigaction action {};
  action.sa_handler = &onEndRequest;
  action.sa_flags = SA_RESTART;
  sigemptyset(&action.sa_mask);
  int error = 0;
  if (!makeNonBlocking(end_request_pipe[0]) || !makeNonBlocking(end_request_pipe[1])) error = errno;
  for (std::size_t i = 0; i < std::size(end_signals); ++i) {
    if (error || ::sigaction(end_signals[i], nullptr, &end_defaults[i]) != 0) continue;
    // A signal the host has us ignore (SIGINT for a job started in the background) stays ignored.
    if (end_defaults[i].sa_handler == SIG_IGN) continue;
    if (::sigaction(end_signals[i], &action, nullptr) != 0) error = errno;
  }
  requests = Stream{end_request_pipe[0], NonBlocking};
  if (error) closeEndRequests(requests);
  return static_cast<std::uint32_t>(error);
}

std::size_t takeEndRequests(const Stream& requests) noexcept {
  std::size_t count = 0;
  char bytes[64];
  for (ssize_t n; (n = ::read(requests.fd, bytes, sizeof bytes)) > 0 || (n < 0 && errno == EINTR);) {
    count += n > 0 ? static_cast<std::size_t>(n) : 0;
  }
  return count;
}

void closeEndRequests(Stream& requests) noexcept {
  for (std::size_t i = 0; i < std::size(end_signals); ++i) {
    struct sigaction now {};
    if (::sigaction(end_signals[i], nullptr, &now) == 0 && now.sa_handler == &onEndRequest) {
      ::sigaction(end_signals[i], &end_defaults[i], nullptr);
    }
  }
  for (int& fd : end_request_pipe) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
  requests.fd = -1;
}

std::size_t errorText(std::uint32_t code, std::span<char> out) noexcept {
  // The names a failed read, write or wait can give, as the system's headers spell them.
  struct Name {
    int code;
    const char* name;
  };
  static constexpr Name names[] = {
      {EINVAL, "EINVAL"}, {ENOMEM, "ENOMEM"}, {EBADF, "EBADF"},   {EFAULT, "EFAULT"}, {EIO, "EIO"},
      {EPIPE, "EPIPE"},   {EFBIG, "EFBIG"},   {ENOSPC, "ENOSPC"}, {EMFILE, "EMFILE"}, {ENFILE, "ENFILE"},
      {EACCES, "EACCES"}, {EPERM, "EPERM"},   {ENXIO, "ENXIO"},   {ECONNRESET, "ECONNRESET"},
      {EADDRINUSE, "EADDRINUSE"}, {EADDRNOTAVAIL, "EADDRNOTAVAIL"}, {EAFNOSUPPORT, "EAFNOSUPPORT"},
  };
  char number[32];
  const char* text = number;
  for (const Name& n : names) {
    if (static_cast<std::uint32_t>(n.code) == code) text = n.name;
  }
  if (text == number) (void)std::snprintf(number, sizeof number, "errno %u", static_cast<unsigned>(code));
  std::size_t size = std::min(std::strlen(text), out.size());
  std::memcpy(out.data(), text, size);
  return size;
}

void giveBackMemory() noexcept {
#if defined(__GLIBC__)
  ::malloc_trim(0);  // also the free pages amid the heap, not only those at its top
#endif
}

void exitNow(int status) noexcept { std::_Exit(status); }

}  // namespace sys
