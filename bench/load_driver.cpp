// demo_load: measures a built demo_server as a client sees it, through its standard input and
// output. Each repeat starts two server processes: a fresh one for cold start, idle memory and a
// quick exit, and one that goes through the load phases (ping latency, pipelined ping, tools/list and
// echo calls, 50 concurrent slow calls) before its memory and its exit are measured. Two floors put
// the figures in proportion: starting /bin/true, and a line's round trip through /bin/cat. Every
// reply is checked: its id must be one we sent and not yet answered, and its bytes after the id must
// be the expected ones. Medians of all repeats go to a table on standard output and to one JSON file.
//
// With --yardstick PATH a second server goes through the same phases: a stand-in that answers with
// fixed bytes, the most these pipes carry on this machine. The two take turns phase by phase (in
// each repeat the one that went first before goes second), so both see the same moment of a shared
// and noisy machine; each measure is then reported for both, with the ratio demo_server / yardstick
// as the median of each repeat's own ratio. The yardstick cannot sleep, so it skips the slow calls;
// its replies are held to the same bytes as demo_server's, or the two would not do the same work.
//
// With --modern the server also answers the tools/list and echo phases as modern requests (MCP
// 2026-07-28: each names its revision and the client's capabilities in _meta), each right beside its
// legacy twin: the phase's count is split into --rounds rounds (4 by default), in each of which the
// two take a turn, the first of them changing each round and each repeat. Besides the replies a
// second, the server's own CPU time per request (user and system, its process CPU clock) is told for
// each of the two: the pipes and this driver weigh on the rate, not on the server's CPU time. The
// ratios modern / legacy (rate) and legacy / modern (CPU time) are medians of each repeat's own. A
// yardstick (main's binary, say) skips them.
//
// Usage: demo_load [--server PATH] [--yardstick PATH] [--out FILE] [--repeats N] [--pings N]
//                  [--lists N] [--echoes N] [--latency N] [--slow N] [--pipe-size BYTES] [--modern]
//                  [--rounds N]
// The server defaults to ../demo_server next to this program; the results to ../load_results.json.
//
// Threads: the main thread starts the servers and reads their replies; during a pipelined phase one
// more thread writes the requests, so writing never waits for reading.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
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
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "process_figures.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

struct Options {
  std::string server;
  std::string yardstick;  // empty: demo_server alone
  std::string out;
  int repeats = 5;
  std::uint64_t pings = 1'000'000;
  std::uint64_t lists = 500'000;
  std::uint64_t echoes = 300'000;
  std::uint64_t latency = 20'000;
  std::uint64_t slow = 50;
  int pipe_size = 0;  // 0: the system's default pipe capacity
  bool modern = false;
  std::uint64_t rounds = 4;  // turns of each modern phase and its legacy twin per repeat
};

// Ends the run: a benchmark of a server that answers wrongly is worthless.
[[noreturn]] void die(const std::string& why) {
  std::fprintf(stderr, "demo_load: %s\n", why.c_str());
  std::exit(1);
}

void writeAll(int fd, std::string_view data) {
  while (!data.empty()) {
    ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      die(std::string("write to the server failed: ") + std::strerror(errno));
    }
    data.remove_prefix(static_cast<std::size_t>(n));
  }
}

// Lines from a non-blocking descriptor; a line stays valid until the next call.
class LineReader {
 public:
  explicit LineReader(int fd) : fd_(fd), buffer_(1 << 20) {}

  // The next line without its "\n"; nullopt at end of output or after `timeout_ms` without data.
  std::optional<std::string_view> next(int timeout_ms) {
    for (;;) {
      if (const void* nl = std::memchr(buffer_.data() + start_, '\n', end_ - start_)) {
        std::string_view line(buffer_.data() + start_, static_cast<const char*>(nl) - (buffer_.data() + start_));
        start_ += line.size() + 1;
        return line;
      }
      if (start_ > 0) {
        std::memmove(buffer_.data(), buffer_.data() + start_, end_ - start_);
        end_ -= start_;
        start_ = 0;
      }
      if (end_ == buffer_.size()) buffer_.resize(2 * buffer_.size());
      ssize_t n = ::read(fd_, buffer_.data() + end_, buffer_.size() - end_);
      if (n > 0) {
        end_ += static_cast<std::size_t>(n);
        continue;
      }
      if (n == 0) return std::nullopt;
      if (errno == EINTR) continue;
      if (errno != EAGAIN) die(std::string("read from the server failed: ") + std::strerror(errno));
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, timeout_ms) == 0) return std::nullopt;
    }
  }

 private:
  int fd_;
  std::vector<char> buffer_;
  std::size_t start_ = 0;
  std::size_t end_ = 0;
};

struct Child {
  pid_t pid = -1;
  int in = -1;   // the server's standard input, written here
  int out = -1;  // the server's standard output, read here
};

Child spawnServer(const std::string& path, int pipe_size) {
  int to[2];
  int from[2];
  if (::pipe(to) != 0 || ::pipe(from) != 0) die("pipe failed");
  for (int fd : {to[0], to[1], from[0], from[1]}) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
#ifdef F_SETPIPE_SZ
  if (pipe_size > 0) {
    ::fcntl(to[1], F_SETPIPE_SZ, pipe_size);
    ::fcntl(from[0], F_SETPIPE_SZ, pipe_size);
  }
#else
  if (pipe_size > 0) die("--pipe-size is not available on this system");
#endif
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, to[0], 0);
  posix_spawn_file_actions_adddup2(&actions, from[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  Child c;
  std::string program = path;
  char* argv[] = {program.data(), nullptr};
  int err = ::posix_spawn(&c.pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) die("cannot start " + path + ": " + std::strerror(err));
  ::close(to[0]);
  ::close(from[1]);
  c.in = to[1];
  c.out = from[0];
  ::fcntl(c.out, F_SETFL, ::fcntl(c.out, F_GETFL) | O_NONBLOCK);
  return c;
}

// One field of /proc/<pid>/status, in kB (VmRSS, VmHWM) or as a count (Threads); the run cannot go
// on without it.
double statusOf(pid_t pid, std::string_view field) {
  if (std::optional<double> v = procStatus(pid, field)) return *v;
  die("no " + std::string(field) + " in /proc/" + std::to_string(pid) + "/status");
}

// The CPU time `pid` has used so far, user and system, in seconds: its process CPU clock, which
// counts what /proc/<pid>/stat tells as utime + stime, in nanoseconds instead of clock ticks (a
// tick, 10 ms, is as long as some turns). The run cannot go on without it.
double cpuSeconds(pid_t pid) {
  clockid_t clock;
  timespec t{};
  if (::clock_getcpuclockid(pid, &clock) != 0 || ::clock_gettime(clock, &t) != 0) {
    die("no CPU clock for process " + std::to_string(pid));
  }
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// Closes the server's input and returns the seconds until it has exited; it must exit with 0.
double closeAndWait(Child& c) {
  Clock::time_point t0 = Clock::now();
  ::close(c.in);
  int status = 0;
  while (::waitpid(c.pid, &status, 0) < 0) {
    if (errno != EINTR) die("waitpid failed");
  }
  double seconds = secondsSince(t0);
  ::close(c.out);
  if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) die("the server did not exit with status 0");
  return seconds;
}

void appendId(std::string& s, std::uint64_t id) {
  char digits[24];
  auto r = std::to_chars(digits, digits + sizeof digits, id);
  s.append(digits, r.ptr);
}

// A kind of request, and what must follow the id in each of its replies. An empty `suffix` is
// learned from the first reply, which must then begin with `suffix_head`; every later reply, from
// either server, must repeat it.
struct Workload {
  std::string_view name;
  std::string_view before_id;  // the request up to its id
  std::string_view after_id;   // the request after its id, without the newline
  std::string suffix;
  std::string_view suffix_head;
};

constexpr std::string_view reply_head = R"({"jsonrpc":"2.0","id":)";

Workload pingLoad() {
  return {"ping", reply_head, R"(,"method":"ping"})", R"(,"result":{}})", {}};
}
Workload toolsListLoad() {
  return {"tools/list", reply_head, R"(,"method":"tools/list"})", {}, R"(,"result":{"tools":[)"};
}
// "hi" is the one echo the yardstick knows; demo_server gets the same call with or without it.
Workload echoLoad() {
  return {"echo", reply_head, R"(,"method":"tools/call","params":{"name":"echo","arguments":{"text":"hi"}}})",
          R"(,"result":{"content":[{"type":"text","text":"hi"}],"isError":false}})", {}};
}
// The same two as modern requests; the server's identity in each result is learned from the first.
#define DEMO_MODERN_META                                                                            \
  R"("_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28",)"                             \
  R"("io.modelcontextprotocol/clientCapabilities":{}})"
Workload modernToolsListLoad() {
  return {"modern tools/list", reply_head, R"(,"method":"tools/list","params":{)" DEMO_MODERN_META "}}", {},
          R"(,"result":{"resultType":"complete","tools":[)"};
}
Workload modernEchoLoad() {
  return {"modern echo", reply_head,
          R"(,"method":"tools/call","params":{"name":"echo","arguments":{"text":"hi"},)" DEMO_MODERN_META "}}", {},
          R"(,"result":{"resultType":"complete","content":[{"type":"text","text":"hi"}],"isError":false,"_meta":)"};
}
#undef DEMO_MODERN_META
Workload slowLoad() {
  return {"slow", reply_head, R"(,"method":"tools/call","params":{"name":"slow","arguments":{"seconds":1}}})",
          R"(,"result":{"content":[{"type":"text","text":"slept 1 s"}],"isError":false}})", {}};
}
Workload initializeLoad() {
  return {"initialize", reply_head,
          R"(,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},)"
          R"("clientInfo":{"name":"demo_load","version":"1.0"}}})",
          {}, R"(,"result":{"protocolVersion":"2025-06-18",)"};
}

void appendRequest(std::string& out, const Workload& w, std::uint64_t id) {
  out += w.before_id;
  appendId(out, id);
  out += w.after_id;
  out += '\n';
}

// Checks the replies to ids [first, first + n), in any order, each exactly once.
class ReplyCheck {
 public:
  ReplyCheck(Workload& w, std::uint64_t first, std::uint64_t n) : w_(w), first_(first), seen_(n, false) {}

  void check(std::string_view line) {
    if (!line.starts_with(reply_head)) die(std::string(w_.name) + ": not a reply: " + std::string(line.substr(0, 200)));
    line.remove_prefix(reply_head.size());
    std::uint64_t id = 0;
    auto r = std::from_chars(line.data(), line.data() + line.size(), id);
    if (r.ec != std::errc() || id < first_ || id - first_ >= seen_.size()) {
      die(std::string(w_.name) + ": reply with an id we did not send: " + std::string(line.substr(0, 200)));
    }
    if (seen_[id - first_]) die(std::string(w_.name) + ": second reply to id " + std::to_string(id));
    seen_[id - first_] = true;
    std::string_view suffix(r.ptr, line.data() + line.size() - r.ptr);
    if (w_.suffix.empty() && suffix.starts_with(w_.suffix_head) && !w_.suffix_head.empty()) w_.suffix = suffix;
    if (suffix != w_.suffix) die(std::string(w_.name) + ": unexpected reply: " + std::string(suffix.substr(0, 200)));
  }

 private:
  Workload& w_;
  std::uint64_t first_;
  std::vector<bool> seen_;
};

// Reads `n` replies for `check`; dies when the server stops answering for 30 s.
void readReplies(LineReader& reader, ReplyCheck& check, std::uint64_t n, std::string_view what) {
  for (std::uint64_t i = 0; i < n; ++i) {
    std::optional<std::string_view> line = reader.next(30'000);
    if (!line) die(std::string(what) + ": the server stopped answering after " + std::to_string(i) + " replies");
    check.check(*line);
  }
}

// Sends n requests from a writer thread while this thread reads; returns replies per second.
double pipelined(Child& c, LineReader& reader, Workload& w, std::uint64_t first_id, std::uint64_t n) {
  std::string input;
  for (std::uint64_t i = 0; i < n; ++i) appendRequest(input, w, first_id + i);
  ReplyCheck check(w, first_id, n);
  Clock::time_point t0 = Clock::now();
  std::thread writer([&] { writeAll(c.in, input); });
  readReplies(reader, check, n, w.name);
  double seconds = secondsSince(t0);
  writer.join();
  return static_cast<double>(n) / seconds;
}

// Round trips of one ping at a time, after a warm-up; returns the microseconds of every trip.
std::vector<double> pingLatencies(Child& c, LineReader& reader, std::uint64_t first_id, std::uint64_t n) {
  Workload w = pingLoad();
  const std::uint64_t warm_up = std::min<std::uint64_t>(1000, n);
  ReplyCheck check(w, first_id, warm_up + n);
  std::vector<double> micros;
  micros.reserve(n);
  std::string line;
  for (std::uint64_t i = 0; i < warm_up + n; ++i) {
    line.clear();
    appendRequest(line, w, first_id + i);
    Clock::time_point t0 = Clock::now();
    writeAll(c.in, line);
    readReplies(reader, check, 1, "ping latency");
    double us = secondsSince(t0) * 1e6;
    if (i >= warm_up) micros.push_back(us);
  }
  return micros;
}

double percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

// The median round trip of one line through /bin/cat over the same pipes, in microseconds: the
// floor under ping_p50 that any server on this machine pays for two pipe hand-offs.
double pipeFloor(const Options& o, std::uint64_t n) {
  Child c = spawnServer("/bin/cat", o.pipe_size);
  LineReader reader(c.out);
  const std::string line = R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n";
  std::vector<double> micros;
  micros.reserve(n);
  for (std::uint64_t i = 0; i < n + 1000; ++i) {
    Clock::time_point t0 = Clock::now();
    writeAll(c.in, line);
    std::optional<std::string_view> back = reader.next(30'000);
    if (!back || *back != std::string_view(line).substr(0, line.size() - 1)) die("/bin/cat did not echo");
    if (i >= 1000) micros.push_back(secondsSince(t0) * 1e6);
  }
  closeAndWait(c);
  return percentile(micros, 0.50);
}

// Seconds to start and reap /bin/true: what starting any process costs on this machine, the floor
// under cold_start.
double processFloor() {
  Clock::time_point t0 = Clock::now();
  pid_t pid = -1;
  char path[] = "/bin/true";
  char* argv[] = {path, nullptr};
  if (::posix_spawn(&pid, path, nullptr, nullptr, argv, environ) != 0) die("cannot start /bin/true");
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) die("waitpid failed");
  }
  return secondsSince(t0);
}

// One server under test, with its replies' reader and the next id it has not seen.
struct Side {
  std::string path;
  bool yardstick = false;
  Child c;
  std::unique_ptr<LineReader> reader;
  std::uint64_t next_id = 1;
};

// Starts `side` and returns the seconds until the first reply to `initialize` arrives, counted from
// before the process starts. `init` learns the reply from the first server that gives it.
double coldStart(const Options& o, Side& side, Workload& init) {
  Clock::time_point t0 = Clock::now();
  side.c = spawnServer(side.path, o.pipe_size);
  std::string line;
  appendRequest(line, init, 1);
  writeAll(side.c.in, line);
  side.reader = std::make_unique<LineReader>(side.c.out);
  ReplyCheck check(init, 1, 1);
  readReplies(*side.reader, check, 1, "initialize");
  side.next_id = 2;
  return secondsSince(t0);
}

struct Metric {
  std::string name;
  std::string unit;
  std::string target;                  // as printed, e.g. "<= 3"
  std::function<bool(double)> meets;   // empty: no target
  std::vector<double> runs;
  std::vector<double> yardstick_runs;  // empty without a yardstick, and for floors and slow calls
};

// Where a side's figures go.
std::vector<double>& runsOf(Metric& m, const Side& side) { return side.yardstick ? m.yardstick_runs : m.runs; }

Options parseOptions(int argc, char** argv) {
  Options o;
  o.server = defaultNextToSelf("demo_server");
  o.out = defaultNextToSelf("load_results.json");
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) die("missing value after " + std::string(arg));
      return argv[++i];
    };
    auto count = [&]() -> std::uint64_t {
      std::string v = value();
      std::uint64_t n = 0;
      auto r = std::from_chars(v.data(), v.data() + v.size(), n);
      if (r.ec != std::errc() || r.ptr != v.data() + v.size()) die("not a count: " + v);
      return n;
    };
    if (arg == "--server") o.server = value();
    else if (arg == "--yardstick") o.yardstick = value();
    else if (arg == "--out") o.out = value();
    else if (arg == "--repeats") o.repeats = static_cast<int>(count());
    else if (arg == "--pings") o.pings = count();
    else if (arg == "--lists") o.lists = count();
    else if (arg == "--echoes") o.echoes = count();
    else if (arg == "--latency") o.latency = count();
    else if (arg == "--slow") o.slow = count();
    else if (arg == "--pipe-size") o.pipe_size = static_cast<int>(count());
    else if (arg == "--modern") o.modern = true;
    else if (arg == "--rounds") o.rounds = count();
    else die("unknown argument " + std::string(arg) + " (see the head of load_driver.cpp)");
  }
  if (o.repeats < 1 || o.pings < 1 || o.lists < 1 || o.echoes < 1 || o.latency < 1 || o.slow < 1 || o.rounds < 1) {
    die("counts must be at least 1");
  }
  if (::access(o.server.c_str(), X_OK) != 0) die("no server at " + o.server + " (use --server)");
  if (!o.yardstick.empty() && ::access(o.yardstick.c_str(), X_OK) != 0) die("no yardstick at " + o.yardstick);
  return o;
}

// The median of each repeat's demo_server / yardstick: a pair measured side by side drifts together.
double ratio(const Metric& m) {
  std::vector<double> ratios;
  for (std::size_t r = 0; r < m.runs.size() && r < m.yardstick_runs.size(); ++r) {
    if (m.yardstick_runs[r] != 0) ratios.push_back(m.runs[r] / m.yardstick_runs[r]);
  }
  return ratios.empty() ? 0 : median(ratios);
}

void writeRuns(std::ofstream& f, const std::vector<double>& runs) {
  f << "[";
  for (std::size_t r = 0; r < runs.size(); ++r) f << (r ? ", " : "") << runs[r];
  f << "]";
}

void writeJson(const Options& o, const std::vector<Metric>& metrics) {
  std::ofstream f(o.out);
  if (!f) die("cannot write " + o.out);
  f << "{\n  \"server\": \"" << o.server << "\",\n";
  if (!o.yardstick.empty()) f << "  \"yardstick\": \"" << o.yardstick << "\",\n";
  f << "  \"repeats\": " << o.repeats << ",\n  \"counts\": {\"pings\": " << o.pings << ", \"tools_list\": " << o.lists
    << ", \"echo\": " << o.echoes << ", \"latency\": " << o.latency << ", \"slow\": " << o.slow
    << ", \"pipe_size\": " << o.pipe_size << ", \"rounds\": " << o.rounds << "},\n  \"metrics\": {";
  for (std::size_t i = 0; i < metrics.size(); ++i) {
    const Metric& m = metrics[i];
    f << (i ? "," : "") << "\n    \"" << m.name << "\": {\"unit\": \"" << m.unit << "\", \"median\": " << median(m.runs);
    if (m.meets) f << ", \"target\": \"" << m.target << "\", \"met\": " << (m.meets(median(m.runs)) ? "true" : "false");
    f << ", \"runs\": ";
    writeRuns(f, m.runs);
    if (!m.yardstick_runs.empty()) {
      f << ", \"yardstick\": {\"median\": " << median(m.yardstick_runs) << ", \"runs\": ";
      writeRuns(f, m.yardstick_runs);
      f << "}, \"ratio\": " << ratio(m);
    }
    f << "}";
  }
  f << "\n  }\n}\n";
}

const char* verdict(const Metric& m) { return !m.meets ? "" : m.meets(median(m.runs)) ? "ok" : "MISSED"; }

void printTable(const std::vector<Metric>& metrics) {
  std::printf("\n%-28s %14s %14s %14s %-10s %-12s %s\n", "metric", "median", "min", "max", "unit", "target", "");
  for (const Metric& m : metrics) {
    auto [lo, hi] = std::minmax_element(m.runs.begin(), m.runs.end());
    std::printf("%-28s %14.3f %14.3f %14.3f %-10s %-12s %s\n", m.name.c_str(), median(m.runs), *lo, *hi,
                m.unit.c_str(), m.target.c_str(), verdict(m));
  }
}

// Medians side by side; the ratio is demo_server / yardstick (above 1: more time or memory, or more
// replies a second, than the yardstick).
void printComparison(const Options& o, const std::vector<Metric>& metrics) {
  std::printf("\n%-28s %14s %14s %10s %-10s %-12s %s\n", "metric", "demo_server", "yardstick", "ratio", "unit",
              "target", "");
  for (const Metric& m : metrics) {
    if (m.yardstick_runs.empty()) {
      std::printf("%-28s %14.3f %14s %10s %-10s %-12s %s\n", m.name.c_str(), median(m.runs), "", "", m.unit.c_str(),
                  m.target.c_str(), verdict(m));
      continue;
    }
    std::printf("%-28s %14.3f %14.3f %10.3f %-10s %-12s %s\n", m.name.c_str(), median(m.runs),
                median(m.yardstick_runs), ratio(m), m.unit.c_str(), m.target.c_str(), verdict(m));
  }
  std::ifstream script(o.yardstick);
  char head[2] = {};
  if (script.read(head, 2) && head[0] == '#' && head[1] == '!') {
    std::printf("(the yardstick is a script: its cold_start includes starting the script's interpreter)\n");
  }
}

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);  // a server that dies must fail our writes, not end us
  Options o = parseOptions(argc, argv);
  auto atMost = [](double limit) { return [limit](double v) { return v <= limit; }; };
  auto atLeast = [](double limit) { return [limit](double v) { return v >= limit; }; };
  enum {
    ProcessFloor, ColdStart, IdleRss, ExitFresh, PipeFloor, PingP50, PingP99, Ping, ToolsList, Echo, Slow, PeakRss, RssAfter, Threads,
    ExitAfter, ModernToolsList, ModernEcho, ModernListRatio, ModernEchoRatio, ListCpu, ModernListCpu, ListCpuRatio,
    EchoCpu, ModernEchoCpu, EchoCpuRatio
  };
  std::vector<Metric> metrics = {
      {"process_floor", "ms", "", {}, {}, {}},
      {"cold_start", "ms", "<= 3", atMost(3), {}, {}},
      {"idle_rss", "MiB", "<= 4", atMost(4), {}, {}},
      {"exit_idle_fresh", "ms", "<= 5", atMost(5), {}, {}},
      {"pipe_round_trip_floor", "us", "", {}, {}, {}},
      {"ping_p50", "us", "<= 10", atMost(10), {}, {}},
      {"ping_p99", "us", "", {}, {}, {}},
      {"pipelined_ping", "k/s", ">= 1000", atLeast(1000), {}, {}},
      {"pipelined_tools_list", "k/s", ">= 500", atLeast(500), {}, {}},
      {"pipelined_echo", "k/s", ">= 200", atLeast(200), {}, {}},
      {"slow_calls_wall", "s", "<= 1.1", atMost(1.1), {}, {}},
      {"peak_rss", "MiB", "", {}, {}, {}},
      {"rss_after_load", "MiB", "", {}, {}, {}},
      {"threads_after_load", "count", "", {}, {}, {}},
      {"exit_after_load", "ms", "<= 5", atMost(5), {}, {}},
  };
  if (o.modern) {
    metrics.push_back({"pipelined_tools_list_modern", "k/s", "", {}, {}, {}});
    metrics.push_back({"pipelined_echo_modern", "k/s", "", {}, {}, {}});
    metrics.push_back({"tools_list_modern_/_legacy", "ratio", ">= 0.85", atLeast(0.85), {}, {}});
    metrics.push_back({"echo_modern_/_legacy", "ratio", ">= 0.85", atLeast(0.85), {}, {}});
    metrics.push_back({"tools_list_cpu_legacy", "ns/req", "", {}, {}, {}});
    metrics.push_back({"tools_list_cpu_modern", "ns/req", "", {}, {}, {}});
    metrics.push_back({"tools_list_cpu_legacy_/_modern", "ratio", "", {}, {}, {}});
    metrics.push_back({"echo_cpu_legacy", "ns/req", "", {}, {}, {}});
    metrics.push_back({"echo_cpu_modern", "ns/req", "", {}, {}, {}});
    metrics.push_back({"echo_cpu_legacy_/_modern", "ratio", "", {}, {}, {}});
  }
  std::printf("server %s, %d repeats: %llu pings, %llu tools/list, %llu echo, %llu latency, %llu slow\n",
              o.server.c_str(), o.repeats, static_cast<unsigned long long>(o.pings),
              static_cast<unsigned long long>(o.lists), static_cast<unsigned long long>(o.echoes),
              static_cast<unsigned long long>(o.latency), static_cast<unsigned long long>(o.slow));
  std::vector<Side> sides(1);
  sides[0].path = o.server;
  if (!o.yardstick.empty()) {
    std::printf("yardstick %s, taking turns with the server phase by phase\n", o.yardstick.c_str());
    Side& yardstick = sides.emplace_back();
    yardstick.path = o.yardstick;
    yardstick.yardstick = true;
  }
  Workload init = initializeLoad();
  Workload ping = pingLoad();
  Workload list = toolsListLoad();
  Workload echo = echoLoad();
  Workload slow = slowLoad();
  Workload modern_list = modernToolsListLoad();
  Workload modern_echo = modernEchoLoad();
  // One start of each before timing anything: the yardstick's script builds its program on first use.
  for (Side& side : sides) {
    coldStart(o, side, init);
    closeAndWait(side.c);
  }

  for (int r = 0; r < o.repeats; ++r) {
    // Every phase runs once per side, in this repeat's order.
    std::vector<std::size_t> order = {0, 1};
    if (sides.size() == 1) order.pop_back();
    else if (r % 2 == 1) std::swap(order[0], order[1]);
    auto each = [&](const std::function<void(Side&)>& phase) {
      for (std::size_t i : order) phase(sides[i]);
    };
    metrics[ProcessFloor].runs.push_back(processFloor() * 1e3);
    each([&](Side& side) {
      runsOf(metrics[ColdStart], side).push_back(coldStart(o, side, init) * 1e3);
      runsOf(metrics[IdleRss], side).push_back(statusOf(side.c.pid, "VmRSS") / 1024);
      runsOf(metrics[ExitFresh], side).push_back(closeAndWait(side.c) * 1e3);
    });
    metrics[PipeFloor].runs.push_back(pipeFloor(o, o.latency));

    each([&](Side& side) { coldStart(o, side, init); });
    each([&](Side& side) {
      std::vector<double> micros = pingLatencies(side.c, *side.reader, side.next_id, o.latency);
      side.next_id += o.latency + 1000;
      runsOf(metrics[PingP50], side).push_back(percentile(micros, 0.50));
      runsOf(metrics[PingP99], side).push_back(percentile(micros, 0.99));
    });
    struct Phase {
      int metric;
      Workload& w;
      std::uint64_t n;
    };
    for (const Phase& p : {Phase{Ping, ping, o.pings}, Phase{ToolsList, list, o.lists}, Phase{Echo, echo, o.echoes}}) {
      each([&](Side& side) {
        runsOf(metrics[p.metric], side).push_back(pipelined(side.c, *side.reader, p.w, side.next_id, p.n) / 1e3);
        side.next_id += p.n;
      });
    }
    Side& server = sides[0];
    if (o.modern) {
      // Each modern phase beside its legacy twin, on the server alone, in rounds: the two take a turn
      // in each, the first of them changing each round and each repeat.
      struct Twin {
        int modern_metric, ratio_metric, cpu_metric;  // cpu_metric: legacy, then modern, then the ratio
        Workload &legacy, &modern;
        std::uint64_t n;
      };
      for (const Twin& t : {Twin{ModernToolsList, ModernListRatio, ListCpu, list, modern_list, o.lists},
                            Twin{ModernEcho, ModernEchoRatio, EchoCpu, echo, modern_echo, o.echoes}}) {
        const std::uint64_t per_round = std::max<std::uint64_t>(1, t.n / o.rounds);
        double seconds[2] = {}, cpu[2] = {};  // [0] legacy, [1] modern
        for (std::uint64_t round = 0; round < o.rounds; ++round) {
          for (std::uint64_t k = 0; k < 2; ++k) {
            const bool is_modern = (k + round + static_cast<std::uint64_t>(r)) % 2 == 0;
            const double cpu0 = cpuSeconds(server.c.pid);
            seconds[is_modern] += static_cast<double>(per_round) /
                                  pipelined(server.c, *server.reader, is_modern ? t.modern : t.legacy, server.next_id, per_round);
            cpu[is_modern] += cpuSeconds(server.c.pid) - cpu0;
            server.next_id += per_round;
          }
        }
        const double n = static_cast<double>(per_round * o.rounds);
        metrics[t.modern_metric].runs.push_back(n / seconds[1] / 1e3);
        metrics[t.ratio_metric].runs.push_back(seconds[0] / seconds[1]);
        metrics[t.cpu_metric].runs.push_back(cpu[0] / n * 1e9);
        metrics[t.cpu_metric + 1].runs.push_back(cpu[1] / n * 1e9);
        metrics[t.cpu_metric + 2].runs.push_back(cpu[1] > 0 ? cpu[0] / cpu[1] : 0);
      }
    }
    metrics[Slow].runs.push_back(static_cast<double>(o.slow) /
                                 pipelined(server.c, *server.reader, slow, server.next_id, o.slow));
    server.next_id += o.slow;
    each([&](Side& side) {
      runsOf(metrics[PeakRss], side).push_back(statusOf(side.c.pid, "VmHWM") / 1024);
      runsOf(metrics[RssAfter], side).push_back(statusOf(side.c.pid, "VmRSS") / 1024);
      runsOf(metrics[Threads], side).push_back(statusOf(side.c.pid, "Threads"));
    });
    each([&](Side& side) { runsOf(metrics[ExitAfter], side).push_back(closeAndWait(side.c) * 1e3); });

    std::printf("repeat %d: cold %.2f ms, ping %.0f k/s, tools/list %.0f k/s, echo %.0f k/s, slow %.3f s\n", r + 1,
                metrics[ColdStart].runs.back(), metrics[Ping].runs.back(), metrics[ToolsList].runs.back(),
                metrics[Echo].runs.back(), metrics[Slow].runs.back());
    if (o.modern) {
      std::printf("   modern: tools/list %.0f k/s (%.3f of its twin), echo %.0f k/s (%.3f); server CPU per request:"
                  " tools/list %.0f ns (legacy %.0f, %.3f), echo %.0f ns (legacy %.0f, %.3f)\n",
                  metrics[ModernToolsList].runs.back(), metrics[ModernListRatio].runs.back(),
                  metrics[ModernEcho].runs.back(), metrics[ModernEchoRatio].runs.back(), metrics[ModernListCpu].runs.back(),
                  metrics[ListCpu].runs.back(), metrics[ListCpuRatio].runs.back(), metrics[ModernEchoCpu].runs.back(),
                  metrics[EchoCpu].runs.back(), metrics[EchoCpuRatio].runs.back());
    }
    if (sides.size() > 1) {
      std::printf("   yardstick: cold %.2f ms, ping %.0f k/s, tools/list %.0f k/s, echo %.0f k/s\n",
                  metrics[ColdStart].yardstick_runs.back(), metrics[Ping].yardstick_runs.back(),
                  metrics[ToolsList].yardstick_runs.back(), metrics[Echo].yardstick_runs.back());
    }
    std::fflush(stdout);
  }
  if (sides.size() > 1) printComparison(o, metrics);
  else printTable(metrics);
  writeJson(o, metrics);
  std::printf("\nresults written to %s\n", o.out.c_str());
  return 0;
}
