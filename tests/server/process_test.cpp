// The process around the server, run in-process on pipes: start-up with every allocation failing
// in turn, and every kind of fault the system calls of the standard streams can return.

#include "server/process.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#if defined(__linux__)
#include <sys/epoll.h>
#endif
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cerrno>
#include <cstring>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "runtime/platform.h"
#include "support/capture.h"
#include "support/lines.h"
#include "support/process.h"

namespace {

struct Served {
  int status = -1;
  std::string out, err;
};

std::string readAll(int fd) {
  std::string text;
  char chunk[65536];
  for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) text.append(chunk, static_cast<std::size_t>(n));
  return text;
}

// Runs serve() on fresh pipes: `input` is written by one thread while two others collect the output.
Served serveOn(std::pmr::memory_resource& gpa, const std::string& input) {
  ::signal(SIGPIPE, SIG_IGN);
  int in[2], out[2], err[2];
  if (::pipe(in) || ::pipe(out) || ::pipe(err)) return {};
#ifdef F_SETPIPE_SZ
  ::fcntl(out[1], F_SETPIPE_SZ, 4096);  // a small pipe fills often: the server must wait for room
#endif
  std::thread feeder([&] {
    for (std::size_t sent = 0; sent < input.size();) {
      ssize_t n = ::write(in[1], input.data() + sent, input.size() - sent);
      if (n <= 0) break;
      sent += static_cast<std::size_t>(n);
    }
    ::close(in[1]);
  });
  Served r;
  std::thread out_reader([&] { r.out = readAll(out[0]); });
  std::thread err_reader([&] { r.err = readAll(err[0]); });
  r.status = serve(gpa, in[0], out[1], err[1]);
  for (int fd : {in[0], out[1], err[1]}) ::close(fd);  // a feeder still writing gets EPIPE
  feeder.join();
  out_reader.join();
  err_reader.join();
  for (int fd : {out[0], err[0]}) ::close(fd);
  return r;
}

// The command line as a user meets it: what goes where, and the exit status.
TEST(CommandLine, StatusAndStreams) {
  struct Case {
    std::vector<std::string> args;
    int status;
    const char* out_starts;
    const char* err_starts;
  } cases[] = {
      {{"--version"}, 0, "demo_server 1.", ""},
      {{"--help"}, 0, "demo_server: an MCP demo server.", ""},
      {{"--bogus"}, 2, "", "demo_server: unknown option --bogus\nusage: demo_server\n"},
      {{"--http", "99999"}, 2, "", "demo_server: "},
      {{"--http", "192.0.2.1:0"}, 2, "", "demo_server: "},  // beyond loopback without a token
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args[0]);
    ProcessResult r = runServer("", {.timeout_seconds = 10, .args = c.args});
    EXPECT_EQ(r.exit_code, c.status);
    EXPECT_TRUE(r.out.starts_with(c.out_starts)) << r.out;
    EXPECT_TRUE(r.err.starts_with(c.err_starts)) << r.err;
    EXPECT_EQ(r.out.empty(), *c.out_starts == '\0') << "one stream only";
    EXPECT_EQ(r.err.empty(), *c.err_starts == '\0') << "one stream only";
  }
}

// Reads `fd` until what came ends with `end`, for at most 5 s.
std::string readUntil(int fd, std::string_view end) {
  std::string got;
  char chunk[512];
  for (int i = 0; i < 500 && !std::string_view(got).ends_with(end); ++i) {
    pollfd ready{fd, POLLIN, 0};
    if (::poll(&ready, 1, 10) <= 0) continue;
    ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    got.append(chunk, static_cast<std::size_t>(n));
  }
  return got;
}

// The exit status of `pid`, or 128 + the signal that ended it; -1 (and killed) when it has not
// ended within 5 s.
int exitStatus(int pid) {
  int status = 0;
  for (int i = 0; i < 500; ++i) {
    if (::waitpid(pid, &status, WNOHANG) == pid) return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    ::poll(nullptr, 0, 10);
  }
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
  return -1;
}

// Over HTTP, SIGTERM and SIGINT end the server in order, with status 0; on stdio SIGTERM keeps the
// system's default and ends it at once.
TEST(PosixSignals, EndRequests) {
  struct Case {
    const char* name;
    std::vector<std::string> args;
    int signal;
    const char* ready;  // what standard error ends with once the server listens
    int status;
  } cases[] = {
      {"http, SIGTERM", {"--http", "0"}, SIGTERM, "/mcp\n", 0},
      {"http, SIGINT", {"--http", "0"}, SIGINT, "/mcp\n", 0},
      {"stdio, SIGTERM", {}, SIGTERM, "ready\n", 128 + SIGTERM},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ServerPipes server = startServer({.args = c.args});
    ASSERT_TRUE(readUntil(server.err, c.ready).ends_with(c.ready));
    ::kill(server.pid, c.signal);
    EXPECT_EQ(exitStatus(server.pid), c.status);
    for (int fd : {server.in, server.out, server.err}) ::close(fd);
  }
}

// Memory runs out at each allocation of the start-up in turn, and stays out, as under an
// address-space limit: the process either runs or ends with "error: OutOfMemory" and status 1.
TEST(Serve, OutOfMemoryAtStartUp) {
  const std::string input = R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n";
  for (std::size_t n = 1;; ++n) {
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    ASSERT_LT(n, 1000u);
    FailingResource gpa;
    gpa.arm(n, true);
    Served r = serveOn(gpa, input);
    EXPECT_EQ(gpa.outstanding(), 0u);
    if (r.err.starts_with(ready_line)) {  // every allocation before the start-up line went through
      EXPECT_EQ(r.status, 0);
      break;
    }
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "error: OutOfMemory\n");
    EXPECT_EQ(r.out, "");
  }
}

// Which call fails, how, and on which turn.
enum class Call { Read, Write, Poll };
enum class Fault { Interrupted, NotNow, Short, BrokenPipe, BadDescriptor, IoError, Persistent };
struct Injection {
  Call call;
  Fault fault;
  int turn;            // the 1st, 2nd... call of that kind fails (and every later one, when Persistent)
  int seen[3] = {};    // calls of each kind so far
} injection{Call::Read, Fault::Interrupted, 0};

// True when this call is the one to fail; then `errno` is set for a failing fault.
bool failsNow(Call call) {
  int seen = ++injection.seen[static_cast<int>(call)];
  if (call != injection.call || seen < injection.turn) return false;
  if (seen > injection.turn && injection.fault != Fault::Persistent) return false;
  constexpr int codes[] = {EINTR, EAGAIN, 0, EPIPE, EBADF, EIO, EINVAL};
  errno = codes[static_cast<int>(injection.fault)];
  return true;
}
bool isShort() { return injection.fault == Fault::Short; }

const IoCalls faulty = {
    [](int fd, void* buffer, std::size_t size) -> ssize_t {
      if (!failsNow(Call::Read)) return ::read(fd, buffer, size);
      return isShort() ? ::read(fd, buffer, std::min<std::size_t>(size, 5)) : -1;
    },
    [](int fd, const void* data, std::size_t size) -> ssize_t {
      if (!failsNow(Call::Write)) return ::write(fd, data, size);
      return isShort() ? ::write(fd, data, std::min<std::size_t>(size, 5)) : -1;
    },
    [](pollfd* fds, nfds_t count, int timeout) -> int {
      return failsNow(Call::Poll) ? -1 : ::poll(fds, count, timeout);
    },
#if defined(__linux__)
    [](int epoll_fd, epoll_event* events, int count, int timeout) -> int {
      return failsNow(Call::Poll) ? -1 : ::epoll_wait(epoll_fd, events, count, timeout);
    },
#endif
};

// Every call of the standard streams fails in turn, in each way. Whatever happens, lines on
// standard output are never split, merged, reordered or repeated; faults that mean "not now" lose
// nothing; a failed write drops only the one line it was writing, and every line after it still
// arrives; a failed read ends with "error: ReadFailed" and status 1; a wait that fails for good ends
// with "error: WaitFailed" and status 1, at once rather than in a spin.
TEST(Serve, FaultsOfTheStandardStreams) {
  std::string input;
  std::vector<std::string> expected;
  for (int id = 0; id < 3000; ++id) {
    input += R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"ping","params":{"pad":")" +
             std::string(static_cast<std::size_t>(id % 40), ' ') + "\"}}\n";
    expected.push_back(R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":{}})");
  }
  std::pmr::memory_resource& gpa = *std::pmr::new_delete_resource();
  io_calls = faulty;
  injection = {Call::Read, Fault::Interrupted, 0};
  Served clean = serveOn(gpa, input);
  ASSERT_EQ(splitLines(clean.out), expected);
  int calls[3];
  std::copy(std::begin(injection.seen), std::end(injection.seen), calls);
  const Fault transfer_faults[] = {Fault::Interrupted, Fault::NotNow,        Fault::Short,
                                   Fault::BrokenPipe,  Fault::BadDescriptor, Fault::IoError};
  const Fault wait_faults[] = {Fault::Interrupted, Fault::Persistent};
  struct Plan {
    Call call;
    std::span<const Fault> faults;
  } plans[] = {{Call::Read, transfer_faults}, {Call::Write, transfer_faults}, {Call::Poll, wait_faults}};
  int cases = 0;
  for (const Plan& plan : plans) {
    for (Fault fault : plan.faults) {
      // The clean run's count of calls depends on how fast the pipes were read; at most 20 turns of
      // each kind, spread from the first to one past the last, keep the run's time bounded.
      const int last = calls[static_cast<int>(plan.call)] + 1;
      const int stride = std::max(1, last / 20);
      for (int turn = 1; turn <= last; turn = turn == last || turn + stride <= last ? turn + stride : last, ++cases) {
        SCOPED_TRACE("call " + std::to_string(static_cast<int>(plan.call)) + ", fault " +
                     std::to_string(static_cast<int>(fault)) + ", turn " + std::to_string(turn));
        injection = {plan.call, fault, turn};
        Served r = serveOn(gpa, input);
        std::vector<std::string> got = splitLines(r.out);
        // Every line whole, each at most once and in order: a subsequence of what was asked for.
        auto next = expected.begin();
        for (const std::string& line : got) {
          next = std::find(next, expected.end(), line);
          ASSERT_NE(next, expected.end()) << "not a whole line, or out of order: " << line;
          ++next;
        }
        bool injected = injection.seen[static_cast<int>(plan.call)] >= turn;  // the run made that many calls
        bool not_now = !injected || fault == Fault::Interrupted || fault == Fault::NotNow || fault == Fault::Short;
        if (not_now) {
          EXPECT_EQ(r.status, 0) << r.err;
          EXPECT_EQ(got, expected);
          EXPECT_EQ(r.err, ready_line);
        } else if (plan.call == Call::Read) {
          EXPECT_EQ(r.status, 1);
          EXPECT_TRUE(r.err.ends_with("error: ReadFailed\n")) << r.err;
        } else if (plan.call == Call::Poll) {
          EXPECT_EQ(r.status, 1);
          EXPECT_EQ(r.err, std::string(ready_line) + "error: WaitFailed: EINVAL\n");
        } else {  // the failed write cost at most its own line, and every later line still arrived
          EXPECT_EQ(r.status, 0) << r.err;
          EXPECT_GE(got.size() + 1, expected.size());
          EXPECT_EQ(got.back(), expected.back());
        }
      }
    }
  }
  io_calls = system_io_calls;
  RecordProperty("cases", cases);
  EXPECT_GT(cases, 100);
}

}  // namespace
