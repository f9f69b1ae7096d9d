#pragma once
// What the loop needs from the system, and nothing more: reading and writing the standard streams
// without ever blocking, waiting for them and for time in one call, and ending the process. One
// file per system family implements it (platform_posix.cpp); everything above is the same on all.
// "Not now" (EINTR, EAGAIN, a full pipe) is never a failure here: the caller waits and goes on.

#include <chrono>
#include <cstddef>
#include <cstdint>

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

// The process's standard input, output and error, made ready for the loop: a write to a reader
// that has gone fails, rather than ending the process.
struct StandardStreams {
  Descriptor in, out, err;
};
StandardStreams standardStreams() noexcept;

// One standard stream as the loop uses it. What the fields mean is the backend's.
struct Stream {
  Descriptor fd{};
  std::uint8_t kind = 0;
  std::size_t capacity = 0;
  void* helper = nullptr;
};

// The stream for reading `fd`, or for writing it: looked at once, so that later reads and writes
// know how to avoid blocking on it.
Stream openInput(Descriptor fd) noexcept;
Stream openOutput(Descriptor fd) noexcept;

enum class Io : std::uint8_t {
  Done,    // `count` bytes moved; a write may move fewer than asked, even none (no room now)
  NotNow,  // nothing to read yet: wait for the stream to be ready
  End,     // end of input
  Failed,  // the stream is broken, or its reader has gone
};
struct Transfer {
  Io status;
  std::size_t count = 0;
};

// Reads what `in` holds now, up to `size` bytes; never waits.
Transfer readSome(const Stream& in, char* buffer, std::size_t size) noexcept;

// Writes what `out` takes now of `size` bytes; never waits. `ready`: a wait has just reported
// room, so at least a little surely fits.
Transfer writeSome(const Stream& out, const char* data, std::size_t size, bool ready) noexcept;

// What to wait for: input to read, room in either output (null: not wanted).
struct Interest {
  const Stream* input = nullptr;
  const Stream* outputs[2] = {nullptr, nullptr};
};
struct Readiness {
  bool input = false;
  bool outputs[2] = {false, false};
};

// Waits until something of `interest` is ready or `timeout` has passed (a negative timeout: no
// limit). May return early with nothing ready (a signal came); the caller looks again.
Readiness waitFor(const Interest& interest, std::chrono::nanoseconds timeout) noexcept;

// Ends the process at once with `status`: no clean-up runs.
[[noreturn]] void exitNow(int status) noexcept;

}  // namespace sys

#if !defined(_WIN32)
// The system calls behind the POSIX backend: the system's own unless a test has put others in
// their place to inject faults (EINTR, EAGAIN, short transfers, EPIPE...).
struct IoCalls {
  ssize_t (*read)(int fd, void* buffer, std::size_t size);
  ssize_t (*write)(int fd, const void* data, std::size_t size);
  int (*poll)(pollfd* fds, nfds_t count, int timeout_ms);
};
extern IoCalls io_calls;
extern const IoCalls system_io_calls;
#endif
