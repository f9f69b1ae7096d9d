#pragma once
// What the loop needs from the system, and nothing more: reading and writing the standard streams
// without ever blocking, waiting for them and for time in one call, giving memory back, and ending
// the process. One file per system family implements it: platform_posix.cpp and
// platform_windows.cpp; everything above is the same on all.
// "Not now" (EINTR, EAGAIN, a full pipe) is never a failure here: the caller waits and goes on.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#if !defined(_WIN32)
#include <poll.h>
#include <sys/types.h>
#endif

namespace sys {

#if defined(_WIN32)
using Descriptor = void*;  // a HANDLE
#else
using Descriptor = int;
#endif

// How much one read of the input brings at most: the loop's read buffer holds exactly one.
inline constexpr std::size_t read_chunk = 65536;

// The process's standard input, output and error, made ready for the loop: a write to a reader
// that has gone, or past the process's file-size limit, fails rather than ending the process.
struct StandardStreams {
  Descriptor in, out, err;
};
StandardStreams standardStreams() noexcept;

// One standard stream as the loop uses it. What the fields mean is the backend's.
struct Stream {
  Descriptor fd{};
  std::uint8_t kind = 0;
  bool own_fd = false;  // `fd` is a description the backend opened for itself; closeStream closes it
  void* helper = nullptr;
  std::uint64_t object = 0;  // which pipe or file this is, where that matters; 0 unknown
  // An input whose read itself waits until there is something to read, or the end: the host's
  // blocking description, or a file. When it is all there is to wait for, reading it is the wait.
  bool read_waits = false;
};

// The stream for reading `fd`, or for writing it: looked at once, so that later reads and writes
// know how to avoid blocking on it. The host's own file description never changes mode.
Stream openInput(Descriptor fd) noexcept;
Stream openOutput(Descriptor fd) noexcept;
// Gives back what openInput or openOutput took for `s`.
void closeStream(Stream& s) noexcept;

enum class Io : std::uint8_t {
  Done,    // `count` bytes moved; a write may move fewer than asked, even none (no room now)
  NotNow,  // nothing to read yet: wait for the stream to be ready
  End,     // end of input
  Failed,  // the stream is broken, or its reader has gone; `error` says why
};
struct Transfer {
  Io status;
  std::size_t count = 0;
  std::uint32_t error = 0;  // the system's error code when Failed
};

// Reads what `in` holds now, up to `size` bytes; never waits.
Transfer readSome(const Stream& in, char* buffer, std::size_t size) noexcept;

// Writes what `out` takes now of `size` bytes; never waits. `ready`: a wait has just reported
// room for `out`, and nothing was written to it since. Some streams take bytes only then.
Transfer writeSome(const Stream& out, const char* data, std::size_t size, bool ready) noexcept;

// How many more bytes `out` can ever take: a file stops at the process's file-size limit. SIZE_MAX
// where there is no such limit.
std::size_t roomLeft(const Stream& out) noexcept;

// What to wait for: input to read, room in either output (null: not wanted).
struct Interest {
  const Stream* input = nullptr;
  const Stream* outputs[2] = {nullptr, nullptr};
};
struct Readiness {
  bool input = false;
  bool outputs[2] = {false, false};
  std::uint32_t error = 0;  // not 0: the wait itself failed (the system's code), and will again
};

// Waits until something of `interest` is ready or `timeout` has passed (negative: no limit). May
// return early with nothing ready (a signal came); the caller looks again. A stream whose state is
// unknown (an error, a hang-up, a helper that never started) counts as ready: the next read or write
// tells what it is. Two outputs on the same pipe are never both reported ready by one wait.
Readiness waitFor(const Interest& interest, std::chrono::nanoseconds timeout) noexcept;

// Many streams waited on at once, as the loop's descriptors are: the system's scalable wait where it
// has one (epoll on Linux), poll() elsewhere. `state` is the backend's; null when it could not be
// made, and then every wait fails with `error`.
struct Poller {
  void* state = nullptr;
  std::uint32_t error = 0;
};
enum Want : std::uint8_t { WantNothing = 0, WantRead = 1, WantWrite = 2 };
struct Event {
  void* tag = nullptr;
  bool readable = false;
  bool writable = false;
};
struct Waited {
  std::size_t count = 0;    // events filled in
  std::uint32_t error = 0;  // not 0: the wait itself failed (the system's code), and will again
};

Poller openPoller() noexcept;
void closePoller(Poller& p) noexcept;
// Waits for `want` (WantRead, WantWrite, both, or nothing for now) on `s` from now on, and tells
// `tag` when it is ready. 0, or the system's error when it cannot wait on it (no memory, no
// descriptors).
std::uint32_t watchStream(Poller& p, const Stream& s, std::uint8_t want, void* tag) noexcept;
// Stops waiting on `s`, before it is closed.
void forgetStream(Poller& p, const Stream& s) noexcept;
// Waits until a stream is ready as wanted, or `timeout` has passed (negative: no limit), and fills
// `events`. A stream whose state is unknown (an error, a hang-up) counts as ready for what it wants;
// so does one the system cannot wait on (a file): the next read or write tells. May return early
// with nothing (a signal came).
Waited waitEvents(Poller& p, std::chrono::nanoseconds timeout, std::span<Event> events) noexcept;
// Whether room that one wait reports for `a` is room for `b` too, so that only one may use it: two
// outputs that are the same blocking pipe (2>&1).
bool shareRoom(const Stream& a, const Stream& b) noexcept;

// TCP for the HTTP transport. Sockets are streams too: read and written without waiting, watched
// by the poller, given back by closeStream.

// A listening socket on `host` (an IPv4 or IPv6 address, as text) and `port` (0: any free one),
// in `listener`. 0, or the system's error (the address is in use, or not this machine's...).
std::uint32_t listenTcp(std::string_view host, std::uint16_t port, Stream& listener) noexcept;
// The IP address `text` names, read as listenTcp reads it: an IPv4 address in dotted decimal, or
// an IPv6 address without brackets or zone. Its bytes fill the start of `out`; returns how many
// (4 or 16), or 0 when `text` is neither.
std::size_t parseAddress(std::string_view text, std::span<std::uint8_t, 16> out) noexcept;
// The port `listener` listens on.
std::uint16_t localPort(const Stream& listener) noexcept;
// Takes one connection that waits on `listener`, into `connection`: Done (count 1), NotNow when none
// waits, or Failed with the system's error (out of descriptors, say), the connection left waiting.
Transfer acceptOne(const Stream& listener, Stream& connection) noexcept;
// Tells the peer of a connected socket that nothing more will be sent (TCP's FIN); reading goes
// on. A socket closed while its peer still sends is reset, and a reset may destroy what was sent
// last before the peer has read it.
void endSending(const Stream& connection) noexcept;
// Fills `out` from the system's secure random source. False when it cannot.
bool secureRandom(std::span<std::byte> out) noexcept;
// Raises the process's soft limit on open descriptors to its hard one, where there is such a limit.
void raiseDescriptorLimit() noexcept;

// Requests to end the process (SIGTERM and SIGINT on POSIX; Ctrl+C, Ctrl+Break, closing the
// console, logging off or shutting down on Windows) as a stream in `requests` that the poller can
// watch: readable once a request has come, which then no longer ends the process. 0, or the
// system's error, and the system's default stands.
std::uint32_t openEndRequests(Stream& requests) noexcept;
// How many requests have come since last asked; takes them, so the stream is no longer readable
// for them.
std::size_t takeEndRequests(const Stream& requests) noexcept;
// Gives the requests back to the system's default (the process ends at once) and closes `requests`.
void closeEndRequests(Stream& requests) noexcept;

// The system's name for error `code`, for a last report: at most `out.size()` bytes, not
// terminated. Returns how many were written.
std::size_t errorText(std::uint32_t code, std::span<char> out) noexcept;

// Returns memory the process has freed to the system, where the system allows it. Costs time in
// proportion to the heap: for when a burst is over, not for every turn of the loop.
void giveBackMemory() noexcept;

// Ends the process at once with `status`: no clean-up runs.
[[noreturn]] void exitNow(int status) noexcept;

}  // namespace sys

#if !defined(_WIN32)
// The system calls behind the POSIX backend: the system's own unless a test has put others in
// their place to inject faults (EINTR, EAGAIN, short transfers, EPIPE...).
#if defined(__linux__)
struct epoll_event;
#endif
struct IoCalls {
  ssize_t (*read)(int fd, void* buffer, std::size_t size);
  ssize_t (*write)(int fd, const void* data, std::size_t size);
  int (*poll)(pollfd* fds, nfds_t count, int timeout_ms);
#if defined(__linux__)
  int (*epoll_wait)(int epoll_fd, epoll_event* events, int count, int timeout_ms);
#endif
};
extern IoCalls io_calls;
extern const IoCalls system_io_calls;
#endif
