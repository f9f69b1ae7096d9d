// demo_http_sessions: many MCP sessions over HTTP at once, each on a connection of its own. Opens N
// sessions (initialize, then notifications/initialized) a batch at a time, and once all are open
// sends a call of the slow tool on every one of them, as fast as the sockets take it. Reports how
// many replies arrived, when the last one did (counted from the moment the last call was sent), and
// the server's peak RSS (VmHWM). Before that it measures cold start (from just before the server is
// spawned to its URL line on standard error) and idle RSS (100 ms later), medians of five starts,
// beside the same figures for the server on standard input and output (to its ready line).
//
// A reply is the event whose data carries "result"; the stream it came on must then end (the
// chunked body's last chunk). Comments, id: lines and events with empty data are passed over.
//
// Usage: demo_http_sessions [--server PATH] [--url URL --pid PID] [--sessions N] [--seconds S]
//                           [--batch N] [--timeout S]
// The server defaults to ../demo_server next to this program, started with --http 127.0.0.1:0;
// with --url the driver uses a running server instead (with --pid too, it reads that process's
// memory). Targets: every reply within S + 1 s, peak RSS <= 128 MiB. Exits 1 when one is missed.
//
// Threads: one, on epoll. Every wait has a deadline: --timeout seconds (60) for the sessions to
// open, and S + 10 s after the last call for the replies.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "process_figures.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

pid_t spawned = -1;  // the server this driver started, ended on the way out

void stopSpawned() {
  if (spawned <= 0) return;
  ::kill(spawned, SIGTERM);
  for (int i = 0; i < 200; ++i) {
    if (::waitpid(spawned, nullptr, WNOHANG) == spawned) {
      spawned = -1;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ::kill(spawned, SIGKILL);
  ::waitpid(spawned, nullptr, 0);
  spawned = -1;
}

[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "demo_http_sessions: %s\n", why.c_str());
  stopSpawned();
  std::exit(2);
}

struct Options {
  std::string server;
  std::string url;  // empty: start the server
  pid_t pid = -1;   // of a server given by --url; -1: its memory is not read
  int sessions = 10'000;
  int seconds = 2;
  int batch = 256;
  int timeout = 60;
};

std::string mib(std::optional<double> kib) {
  if (!kib) return "n/a";
  char text[32];
  std::snprintf(text, sizeof text, "%.2f MiB", *kib / 1024);
  return text;
}

// Raises the soft descriptor limit to the hard one; the run needs a descriptor per session.
void raiseNofile(int sessions) {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) die("getrlimit failed");
  limit.rlim_cur = limit.rlim_max;
  if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) die(std::string("setrlimit failed: ") + std::strerror(errno));
  if (limit.rlim_cur != RLIM_INFINITY && limit.rlim_cur < static_cast<rlim_t>(sessions) + 32) {
    die("RLIMIT_NOFILE hard limit " + std::to_string(limit.rlim_cur) + " is too low for " + std::to_string(sessions) +
        " sessions");
  }
}

struct Started {
  pid_t pid = -1;
  int err = -1;      // the server's standard error, read here
  int in = -1;       // the stdio server's standard input, held open so that it keeps running
  std::string line;  // the line that told us it was up
  double cold = 0;   // seconds from before the spawn to that line
};

// Starts the server with `args` and reads standard error up to the first line holding `mark`.
Started start(const std::string& server, std::vector<std::string> args, std::string_view mark) {
  int err[2];
  int in[2];
  if (::pipe2(err, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) die("pipe failed");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in[0], 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, err[1], 2);
  std::vector<char*> argv{const_cast<char*>(server.c_str())};
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Started s;
  Clock::time_point t0 = Clock::now();
  int e = ::posix_spawn(&s.pid, server.c_str(), &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (e != 0) die("cannot start " + server + ": " + std::strerror(e));
  spawned = s.pid;
  ::close(err[1]);
  ::close(in[0]);
  s.err = err[0];
  s.in = in[1];
  std::string text;
  char chunk[512];
  for (;;) {
    std::size_t nl = text.find('\n');
    while (nl != std::string::npos) {
      std::string line = text.substr(0, nl);
      text.erase(0, nl + 1);
      if (line.find(mark) != std::string::npos) {
        s.cold = secondsBetween(t0, Clock::now());
        s.line = line;
        return s;
      }
      nl = text.find('\n');
    }
    ssize_t n = ::read(s.err, chunk, sizeof chunk);
    if (n <= 0) die("the server ended before writing '" + std::string(mark) + "' (stderr: " + text + ")");
    text.append(chunk, static_cast<std::size_t>(n));
  }
}

void stop(Started& s) {
  stopSpawned();
  ::close(s.err);
  ::close(s.in);
}

struct StartFigures {
  double cold_ms = 0;
  std::optional<double> idle_kib;
};

// Medians of five starts: cold start, and RSS 100 ms after the server said it was up.
StartFigures startFigures(const std::string& server, const std::vector<std::string>& args, std::string_view mark) {
  std::vector<double> cold;
  std::vector<double> idle;
  for (int i = 0; i < 5; ++i) {
    Started s = start(server, args, mark);
    cold.push_back(s.cold * 1e3);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (std::optional<double> kib = procStatus(s.pid, "VmRSS")) idle.push_back(*kib);
    stop(s);
  }
  return {median(cold), idle.empty() ? std::nullopt : std::optional<double>(median(idle))};
}

// What a session connection is waiting for.
enum class Phase { Connecting, Initialize, Initialized, Ready, Call, Done, Failed };

struct Conn {
  int fd = -1;
  Phase phase = Phase::Connecting;
  std::string out;  // bytes not yet written
  std::string in;   // bytes read and not yet parsed
  std::string session;
  // The answer being read.
  int status = 0;
  bool head_done = false;
  bool chunked = false;
  bool event_stream = false;
  std::size_t length = 0;  // the Content-Length, when not chunked
  std::string body;        // decoded so far
  std::size_t event_start = 0;
  bool replied = false;    // the call's result event has arrived
  bool malformed = false;  // the answer could not be parsed
};

struct Url {
  sockaddr_in address{};
  std::string host;  // for the Host header
  std::string path;
};

Url parseUrl(const std::string& url) {
  constexpr std::string_view scheme = "http://";
  if (!url.starts_with(scheme)) die("not an http:// URL: " + url);
  std::string rest = url.substr(scheme.size());
  std::size_t slash = rest.find('/');
  Url u;
  u.host = rest.substr(0, slash);
  u.path = slash == std::string::npos ? "/" : rest.substr(slash);
  std::size_t colon = u.host.rfind(':');
  if (colon == std::string::npos) die("no port in " + url);
  int port = std::atoi(u.host.c_str() + colon + 1);
  u.address.sin_family = AF_INET;
  u.address.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, u.host.substr(0, colon).c_str(), &u.address.sin_addr) != 1) {
    die("not an IPv4 address: " + url);
  }
  return u;
}

std::string post(const Url& u, const std::string& session, std::string_view body) {
  std::string r = "POST " + u.path + " HTTP/1.1\r\nHost: " + u.host +
                  "\r\nAccept: application/json, text/event-stream\r\nContent-Type: application/json\r\n";
  if (!session.empty()) r += "Mcp-Session-Id: " + session + "\r\nMCP-Protocol-Version: 2025-06-18\r\n";
  r += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n";
  r += body;
  return r;
}

bool equalsFolded(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x | 0x20) == (y | 0x20);
         });
}

// Scans the event stream in c.body from c.event_start; true once an event's data holds a result.
bool resultEvent(Conn& c) {
  std::string data;
  std::size_t pos = c.event_start;
  for (;;) {
    std::size_t nl = c.body.find('\n', pos);
    if (nl == std::string::npos) return false;
    std::string_view line(c.body.data() + pos, nl - pos);
    if (line.ends_with('\r')) line.remove_suffix(1);
    pos = nl + 1;
    if (line.empty()) {
      c.event_start = pos;
      if (data.find("\"result\"") != std::string::npos) return true;
      data.clear();
    } else if (line.starts_with("data:")) {
      line.remove_prefix(5);
      if (line.starts_with(' ')) line.remove_prefix(1);
      data.append(line);
    }
  }
}

// Parses what has arrived of the answer. Returns true once it is whole; sets c.replied as soon as
// its result has arrived. False with c.malformed set when the answer is no HTTP/1.1 answer.
bool parseAnswer(Conn& c) {
  if (!c.head_done) {
    std::size_t end = c.in.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    std::string_view head(c.in.data(), end);
    if (!head.starts_with("HTTP/1.1 ") || head.size() < 12) {
      c.malformed = true;
      return false;
    }
    c.status = std::atoi(head.data() + 9);
    std::size_t pos = head.find("\r\n");
    while (pos != std::string_view::npos && pos < head.size()) {
      std::size_t next = head.find("\r\n", pos + 2);
      std::string_view line = head.substr(pos + 2, (next == std::string_view::npos ? head.size() : next) - pos - 2);
      std::size_t colon = line.find(':');
      if (colon != std::string_view::npos) {
        std::string_view name = line.substr(0, colon);
        std::string_view value = line.substr(colon + 1);
        while (value.starts_with(' ')) value.remove_prefix(1);
        if (equalsFolded(name, "content-length")) c.length = std::strtoul(std::string(value).c_str(), nullptr, 10);
        if (equalsFolded(name, "transfer-encoding")) c.chunked = value.find("chunked") != std::string_view::npos;
        if (equalsFolded(name, "content-type")) c.event_stream = value.starts_with("text/event-stream");
        if (equalsFolded(name, "mcp-session-id")) c.session = value;
      }
      pos = next;
    }
    c.in.erase(0, end + 4);
    c.head_done = true;
  }
  bool whole = false;
  if (!c.chunked) {
    std::size_t take = std::min(c.length - c.body.size(), c.in.size());
    c.body.append(c.in, 0, take);
    c.in.erase(0, take);
    whole = c.body.size() == c.length;
  } else {
    std::size_t pos = 0;
    for (;;) {
      std::size_t nl = c.in.find("\r\n", pos);
      if (nl == std::string::npos) break;
      std::size_t size = std::strtoul(c.in.c_str() + pos, nullptr, 16);
      if (size == 0) {  // the last chunk; this server sends no trailers
        if (c.in.size() < nl + 4) break;
        pos = nl + 4;
        whole = true;
        break;
      }
      if (c.in.size() < nl + 2 + size + 2) break;
      c.body.append(c.in, nl + 2, size);
      pos = nl + 2 + size + 2;
    }
    c.in.erase(0, pos);
  }
  if (!c.replied) {
    c.replied = c.event_stream ? resultEvent(c) : (whole && c.body.find("\"result\"") != std::string::npos);
  }
  return whole;
}

void resetAnswer(Conn& c) {
  c.status = 0;
  c.head_done = c.chunked = c.event_stream = c.replied = false;
  c.length = 0;
  c.body.clear();
  c.event_start = 0;
}

struct Run {
  Url url;
  int ep = -1;
  std::vector<Conn> conns;
  int opening = 0;    // connections between connect and Ready
  int next = 0;       // the next connection to open
  int ready = 0;
  int calling = 0;    // calls sent whose streams have not ended nor failed
  int replies = 0;
  int ended = 0;      // streams that ended after their reply
  int failed = 0;
  std::string first_failure;
  Clock::time_point last_reply{};
  Clock::time_point first_reply{};

  void fail(Conn& c, const std::string& why) {
    if (first_failure.empty()) first_failure = why;
    if (c.phase == Phase::Connecting || c.phase == Phase::Initialize || c.phase == Phase::Initialized) --opening;
    if (c.phase == Phase::Call) --calling;
    c.phase = Phase::Failed;
    ++failed;
    ::close(c.fd);
    c.fd = -1;
  }

  void watch(std::size_t i, std::uint32_t events, int op) {
    epoll_event e{};
    e.events = events;
    e.data.u64 = i;
    if (::epoll_ctl(ep, op, conns[i].fd, &e) != 0) die(std::string("epoll_ctl failed: ") + std::strerror(errno));
  }

  void open(std::size_t i) {
    Conn& c = conns[i];
    c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (c.fd < 0) die(std::string("socket failed: ") + std::strerror(errno));
    int one = 1;
    ::setsockopt(c.fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (::connect(c.fd, reinterpret_cast<const sockaddr*>(&url.address), sizeof url.address) != 0 &&
        errno != EINPROGRESS) {
      die(std::string("connect failed: ") + std::strerror(errno));
    }
    c.out = post(url, "",
                 R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
                 R"("capabilities":{},"clientInfo":{"name":"demo_http_sessions","version":"1.0"}}})");
    watch(i, EPOLLOUT | EPOLLIN, EPOLL_CTL_ADD);
    ++opening;
  }

  // Writes what is queued; true when all of it went.
  bool flush(std::size_t i) {
    Conn& c = conns[i];
    while (!c.out.empty()) {
      ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL);
      if (n < 0) {
        if (errno == EAGAIN) return false;
        if (errno == EINTR) continue;
        fail(c, std::string("send failed: ") + std::strerror(errno));
        return false;
      }
      c.out.erase(0, static_cast<std::size_t>(n));
    }
    return true;
  }

  void onReadable(std::size_t i) {
    Conn& c = conns[i];
    char chunk[16384];
    bool closed = false;
    for (;;) {
      ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
      if (n > 0) {
        c.in.append(chunk, static_cast<std::size_t>(n));
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      closed = !(n < 0 && errno == EAGAIN);
      break;
    }
    bool had_reply = c.replied;
    bool whole = parseAnswer(c);
    if (c.malformed) return fail(c, "malformed answer: " + c.in.substr(0, 200));
    if (c.phase == Phase::Call && c.replied && !had_reply) {
      Clock::time_point now = Clock::now();
      if (replies == 0) first_reply = now;
      last_reply = now;
      ++replies;
    }
    if (!whole) {
      if (closed) fail(c, c.replied ? "connection closed before the stream ended" : "connection closed before the answer");
      return;
    }
    if (c.status != 200 && c.status != 202) {
      fail(c, "status " + std::to_string(c.status) + ": " + c.body.substr(0, 200));
      return;
    }
    if (c.phase == Phase::Initialize) {
      if (c.session.empty()) return fail(c, "initialize answered without Mcp-Session-Id");
      c.phase = Phase::Initialized;
      c.out = post(url, c.session, R"({"jsonrpc":"2.0","method":"notifications/initialized"})");
      resetAnswer(c);
      if (!flush(i) && c.fd >= 0) watch(i, EPOLLIN | EPOLLOUT, EPOLL_CTL_MOD);
    } else if (c.phase == Phase::Initialized) {
      c.phase = Phase::Ready;
      resetAnswer(c);
      --opening;
      ++ready;
      if (closed) {
        --ready;
        fail(c, "connection closed after the session opened");
      }
    } else if (c.phase == Phase::Call) {
      if (!c.replied) return fail(c, "the call's answer ended without a result: " + c.body.substr(0, 200));
      c.phase = Phase::Done;
      --calling;
      ++ended;
      ::close(c.fd);
      c.fd = -1;
    }
  }

  void onEvent(const epoll_event& e) {
    std::size_t i = e.data.u64;
    Conn& c = conns[i];
    if (c.fd < 0) return;
    if (c.phase == Phase::Connecting) {
      int error = 0;
      socklen_t size = sizeof error;
      ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size);
      if (error != 0) return fail(c, std::string("connect failed: ") + std::strerror(error));
      c.phase = Phase::Initialize;
    }
    if ((e.events & EPOLLOUT) && flush(i)) watch(i, EPOLLIN, EPOLL_CTL_MOD);
    if (c.fd >= 0 && (e.events & (EPOLLIN | EPOLLHUP | EPOLLERR))) onReadable(i);
  }

  // Waits up to `ms` and handles what is ready.
  void poll(int ms) {
    epoll_event events[512];
    int n = ::epoll_wait(ep, events, 512, ms);
    if (n < 0 && errno != EINTR) die(std::string("epoll_wait failed: ") + std::strerror(errno));
    for (int k = 0; k < n; ++k) onEvent(events[k]);
  }
};

Options parseOptions(int argc, char** argv) {
  Options o;
  o.server = defaultNextToSelf("demo_server");
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die("missing value after " + std::string(arg));
      return argv[++i];
    };
    auto count = [&]() -> int {
      std::string v = value();
      int n = 0;
      auto r = std::from_chars(v.data(), v.data() + v.size(), n);
      if (r.ec != std::errc() || r.ptr != v.data() + v.size() || n < 1) die("not a positive count: " + v);
      return n;
    };
    if (arg == "--server") o.server = value();
    else if (arg == "--url") o.url = value();
    else if (arg == "--pid") o.pid = count();
    else if (arg == "--sessions") o.sessions = count();
    else if (arg == "--seconds") o.seconds = count();
    else if (arg == "--batch") o.batch = count();
    else if (arg == "--timeout") o.timeout = count();
    else die("unknown argument " + std::string(arg) + " (see the head of http_sessions.cpp)");
  }
  if (o.url.empty() && ::access(o.server.c_str(), X_OK) != 0) die("no server at " + o.server + " (use --server)");
  return o;
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);
  Options o = parseOptions(argc, argv);
  raiseNofile(o.sessions);
  Started server;
  pid_t pid = o.pid;
  std::string url = o.url;
  if (url.empty()) {
    StartFigures stdio = startFigures(o.server, {}, "ready");
    StartFigures http = startFigures(o.server, {"--http", "127.0.0.1:0"}, "http://");
    std::printf("%-28s %10s %12s\n", "server", "cold start", "idle RSS");
    std::printf("%-28s %7.2f ms %12s\n", "stdio", stdio.cold_ms, mib(stdio.idle_kib).c_str());
    std::printf("%-28s %7.2f ms %12s\n", "--http 127.0.0.1:0", http.cold_ms, mib(http.idle_kib).c_str());
    server = start(o.server, {"--http", "127.0.0.1:0"}, "http://");
    pid = server.pid;
    url = server.line.substr(server.line.find("http://"));
    ::fcntl(server.err, F_SETFL, O_NONBLOCK);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::optional<double> idle = procStatus(pid, "VmRSS");

  Run run;
  run.url = parseUrl(url);
  run.ep = ::epoll_create1(EPOLL_CLOEXEC);
  if (run.ep < 0) die("epoll_create1 failed");
  run.conns.resize(static_cast<std::size_t>(o.sessions));
  auto drainServer = [&] {  // keeps the server's standard error from filling up
    char sink[4096];
    while (server.err >= 0 && ::read(server.err, sink, sizeof sink) > 0) {
    }
  };

  Clock::time_point t_open = Clock::now();
  Clock::time_point deadline = t_open + std::chrono::seconds(o.timeout);
  while (run.ready + run.failed < o.sessions && Clock::now() < deadline) {
    while (run.next < o.sessions && run.opening < o.batch) run.open(static_cast<std::size_t>(run.next++));
    run.poll(100);
    drainServer();
  }
  double open_s = secondsBetween(t_open, Clock::now());
  int opened = run.ready;  // sessions that open from here on get no call
  std::optional<double> open_rss = procStatus(pid, "VmRSS");

  std::string call = R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"slow","arguments":{"seconds":)" +
                     std::to_string(o.seconds) + "}}}";
  Clock::time_point t_first_call = Clock::now();
  for (std::size_t i = 0; i < run.conns.size(); ++i) {
    Conn& c = run.conns[i];
    if (c.phase != Phase::Ready) continue;
    c.phase = Phase::Call;
    ++run.calling;
    c.out = post(run.url, c.session, call);
    if (!run.flush(i) && c.fd >= 0) run.watch(i, EPOLLIN | EPOLLOUT, EPOLL_CTL_MOD);
  }
  Clock::time_point t_last_call = Clock::now();
  deadline = t_last_call + std::chrono::seconds(o.seconds + 10);
  while (run.calling > 0 && Clock::now() < deadline) {
    run.poll(100);
    drainServer();
  }
  std::optional<double> peak = procStatus(pid, "VmHWM");
  std::optional<double> after = procStatus(pid, "VmRSS");

  double last = run.replies ? secondsBetween(t_last_call, run.last_reply) : 0;
  double limit_s = o.seconds + 1.0;
  bool all = opened == o.sessions && run.replies == o.sessions && run.ended == o.sessions;
  bool in_time = all && last <= limit_s;
  bool small = !peak || *peak <= 128 * 1024;
  std::printf("sessions %d: %d opened in %.2f s (%d at once)%s, RSS then %s\n", o.sessions, opened, open_s,
              o.batch, opened + run.failed < o.sessions ? ", the rest timed out" : "", mib(open_rss).c_str());
  std::printf("slow %d s on each: calls sent in %.3f s; %d replies, %d streams ended, %d failed%s%s\n", o.seconds,
              secondsBetween(t_first_call, t_last_call), run.replies, run.ended, run.failed,
              run.first_failure.empty() ? "" : "; first: ", run.first_failure.c_str());
  if (run.replies) {
    std::printf("first reply %.3f s, last reply %.3f s after the last call was sent\n",
                secondsBetween(t_last_call, run.first_reply), last);
  }
  std::printf("server RSS: idle %s, peak (VmHWM) %s, after %s\n", mib(idle).c_str(), mib(peak).c_str(),
              mib(after).c_str());
  std::printf("%-6s every reply by %.0f s after the last call\n%-6s peak RSS <= 128 MiB\n", in_time ? "PASS" : "FAIL",
              limit_s, small ? "PASS" : "FAIL");
  for (Conn& c : run.conns) {
    if (c.fd >= 0) ::close(c.fd);
  }
  if (server.pid > 0) stop(server);
  return in_time && small ? 0 : 1;
}
