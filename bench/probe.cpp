// demo_probe: how a built demo_server behaves as a process under concurrency and starvation, in
// figures and against targets. Each probe starts the server afresh, drives it through its pipes,
// and prints one row: the probe, PASS or FAIL (or -- where there is no target), its figures and the
// target; some add detail lines. Every wait has a deadline: a server that stops answering is killed
// and the probe fails, so a run never hangs.
//
// Usage: demo_probe --server PATH [probe...]      (no probe named: all in the table at the end, in
// its order, but for slow1m, a million sleeping calls, which runs only when named)
//
// Threads: one. A probe queues input and runs its server's loop (Process::runUntil), which writes
// the input as the pipe takes it, reads standard output and standard error as they come, answers the
// server's own requests, and notices the exit. Thread counts, memory, CPU time and where a stuck
// server waits come from /proc where it exists; elsewhere those figures read "n/a" or "?".

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "process_figures.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

[[gnu::format(printf, 1, 2)]] std::string format(const char* fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

// A resource limit set in the server before it starts.
struct Limit {
  int resource;
  rlim_t value;
};

// How a server is started: caps on its resources, and where its standard output and error go. By
// default each stream is a pipe of its own, blocking on the server's side.
struct Launch {
  rlim_t address_space = 0;  // bytes; 0: no cap
  bool nonblocking_stdin = false;
  bool nonblocking_stdout = false;
  bool packet_stdout = false;     // O_DIRECT: every write to standard output is a packet of its own
  bool stdout_terminal = false;   // a pseudo-terminal instead of a pipe, with its default settings
  bool stderr_terminal = false;
  bool stderr_to_stdout = false;  // 2>&1: standard error's lines come in standard output's pipe
  std::string stdout_file{};      // a regular file, truncated, instead of a pipe; never read here
  std::vector<Limit> limits{};
};

// A pseudo-terminal with its default settings (IXON among them): the master end in fds[0] for us,
// the slave in fds[1] for the server. Both close on exec.
void openTerminal(int fds[2]) {
  int master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
  const char* name = master >= 0 && ::grantpt(master) == 0 && ::unlockpt(master) == 0 ? ::ptsname(master) : nullptr;
  int slave = name ? ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC) : -1;
  if (slave < 0) {
    std::fprintf(stderr, "demo_probe: no pseudo-terminal: %s\n", std::strerror(errno));
    std::exit(2);
  }
  fds[0] = master;
  fds[1] = slave;
}

void openPipe(int fds[2], int flags) {
  if (::pipe2(fds, O_CLOEXEC | flags) != 0) {
    std::fprintf(stderr, "demo_probe: pipe failed: %s\n", std::strerror(errno));
    std::exit(2);
  }
}

// One server process and its three streams. Input is queued and written as the pipe takes it; output
// arrives line by line through on_line, stamped with the time it was read; standard error is kept.
// The destructor kills the server if it is still running.
class Process {
 public:
  Process(const std::string& path, const Launch& how);
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  void send(std::string_view bytes);
  std::size_t unsent() const { return input_.size() - sent_; }
  void closeInput() { close_input_ = true; }  // once everything queued is written
  // Bytes of standard output the loop may read from now on; by default there is no limit.
  void allowReading(std::size_t bytes) { read_allowance_ = bytes; }
  // The same for standard error. While it is 0, the server's reports fill its pipe.
  void allowErrorReading(std::size_t bytes) { error_allowance_ = bytes; }
  void holdErrors(bool hold) { allowErrorReading(hold ? 0 : SIZE_MAX); }
  // Keys typed on the terminal that is the server's standard error (Ctrl-S stops its output).
  void typeOnErrorTerminal(std::string_view keys) { (void)!::write(err_, keys.data(), keys.size()); }
  // Our end of standard output's pipe, to resize it.
  int outputEnd() const { return out_; }

  // Runs the loop until done() holds (returns true) or the deadline passes (returns false).
  bool runUntil(Clock::time_point deadline, const std::function<bool()>& done);
  void runFor(milliseconds d) { runUntil(Clock::now() + d, nullptr); }

  pid_t pid() const { return pid_; }
  const std::optional<int>& status() const { return status_; }  // the wait status, once it exited
  Clock::time_point exitedAt() const { return exited_at_; }
  double cpuAtExit() const { return cpu_at_exit_; }  // seconds of user and system time, once it exited
  const std::string& errors() const { return errors_; }
  bool ready() const { return errors_.find(" ready\n") != std::string::npos; }
  // Exited, and standard output and error read to their end.
  bool finished() const { return status_ && out_ < 0 && err_ < 0; }
  // Bytes of standard output after its last newline: a line begun and not (yet) ended.
  std::size_t partialLine() const { return output_.size(); }

  std::function<void(std::string_view line, Clock::time_point at)> on_line;

 private:
  void writeInput();
  void readOutput();
  void readErrors();
  void reap();

  pid_t pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  int err_ = -1;
  bool merged_ = false;        // standard error's lines come through out_
  bool out_terminal_ = false;  // a terminal ends its lines in "\r\n"
  bool err_terminal_ = false;
  std::string input_;
  std::size_t sent_ = 0;
  bool close_input_ = false;
  std::string output_;
  std::size_t read_allowance_ = SIZE_MAX;
  std::size_t error_allowance_ = SIZE_MAX;
  std::vector<char> chunk_ = std::vector<char>(1 << 16);
  std::string errors_;
  std::optional<int> status_;
  Clock::time_point exited_at_{};
  double cpu_at_exit_ = 0;
};

Process::Process(const std::string& path, const Launch& how)
    : merged_(how.stderr_to_stdout), out_terminal_(how.stdout_terminal), err_terminal_(how.stderr_terminal) {
  int to[2];
  int from[2] = {-1, -1};
  int err[2] = {-1, -1};
  openPipe(to, 0);
  if (!how.stdout_file.empty()) {
    from[1] = ::open(how.stdout_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (from[1] < 0) {
      std::fprintf(stderr, "demo_probe: cannot create %s: %s\n", how.stdout_file.c_str(), std::strerror(errno));
      std::exit(2);
    }
  } else if (how.stdout_terminal) {
    openTerminal(from);
  } else {
    openPipe(from, how.packet_stdout ? O_DIRECT : 0);
  }
  if (how.stderr_terminal) openTerminal(err);
  else if (!how.stderr_to_stdout) openPipe(err, 0);
  // O_NONBLOCK belongs to the open pipe end, so the server inherits what is set here.
  if (how.nonblocking_stdin) ::fcntl(to[0], F_SETFL, ::fcntl(to[0], F_GETFL) | O_NONBLOCK);
  if (how.nonblocking_stdout) ::fcntl(from[1], F_SETFL, ::fcntl(from[1], F_GETFL) | O_NONBLOCK);
  std::string program = path;
  char* argv[] = {program.data(), nullptr};
  std::vector<Limit> limits = how.limits;
  if (how.address_space != 0) limits.push_back({RLIMIT_AS, how.address_space});
  pid_ = ::fork();
  if (pid_ == 0) {  // the child: only async-signal-safe calls from here to exec
    ::dup2(to[0], 0);
    ::dup2(from[1], 1);
    ::dup2(how.stderr_to_stdout ? from[1] : err[1], 2);
    for (const Limit& l : limits) {
      rlimit cap{l.value, l.value};
      if (::setrlimit(l.resource, &cap) != 0) ::_exit(126);
    }
    ::execv(argv[0], argv);
    ::_exit(127);
  }
  if (pid_ < 0) {
    std::fprintf(stderr, "demo_probe: fork failed: %s\n", std::strerror(errno));
    std::exit(2);
  }
  for (int fd : {to[0], from[1], err[1]}) {
    if (fd >= 0) ::close(fd);
  }
  in_ = to[1];
  out_ = from[0];
  err_ = err[0];
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
}

Process::~Process() {
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) ::close(fd);
  }
  if (status_) return;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
  }
}

void Process::send(std::string_view bytes) {
  if (sent_ >= (1 << 20)) {  // a feed that never runs dry must not keep what it sent
    input_.erase(0, sent_);
    sent_ = 0;
  }
  input_.append(bytes);
}

bool Process::runUntil(Clock::time_point deadline, const std::function<bool()>& done) {
  for (;;) {
    if (done && done()) return true;
    reap();
    if (in_ >= 0 && close_input_ && unsent() == 0) {
      ::close(in_);
      in_ = -1;
    }
    Clock::time_point now = Clock::now();
    if (now >= deadline) return false;
    pollfd fds[3];
    nfds_t n = 0;
    if (in_ >= 0 && unsent() > 0) fds[n++] = {in_, POLLOUT, 0};
    if (out_ >= 0 && read_allowance_ > 0) fds[n++] = {out_, POLLIN, 0};
    if (err_ >= 0 && error_allowance_ > 0) fds[n++] = {err_, POLLIN, 0};
    // Gone, and everything read: nothing can change. A stream held unread keeps the loop waiting.
    if (n == 0 && status_ && out_ < 0 && err_ < 0) return false;
    // Once standard error has closed the server is exiting: look for its status every millisecond.
    auto left = std::chrono::ceil<milliseconds>(deadline - now).count();
    int timeout = static_cast<int>(std::min<decltype(left)>(left, err_ < 0 ? 1 : 20));
    if (::poll(fds, n, timeout) <= 0) continue;
    for (nfds_t i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_) writeInput();
      else if (fds[i].fd == out_) readOutput();
      else readErrors();
    }
  }
}

void Process::writeInput() {
  ssize_t n = ::write(in_, input_.data() + sent_, unsent());
  if (n > 0) sent_ += static_cast<std::size_t>(n);
  if (n < 0 && errno != EAGAIN && errno != EINTR) {  // the server has closed its input: drop ours
    sent_ = input_.size();
    ::close(in_);
    in_ = -1;
  }
  if (sent_ == input_.size()) {
    input_.clear();
    sent_ = 0;
  }
}

// Appends what a read brought; a terminal's "\r\n" becomes "\n".
void appendRead(std::string& to, std::string_view bytes, bool terminal) {
  if (!terminal) {
    to.append(bytes);
    return;
  }
  for (char c : bytes) {
    if (c != '\r') to += c;
  }
}

void Process::readOutput() {
  ssize_t n = ::read(out_, chunk_.data(), std::min(chunk_.size(), read_allowance_));
  Clock::time_point at = Clock::now();
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {  // a terminal whose slave has closed reads EIO
    ::close(out_);
    out_ = -1;
    return;
  }
  if (read_allowance_ != SIZE_MAX) read_allowance_ -= static_cast<std::size_t>(n);
  std::size_t scan = output_.size();
  appendRead(output_, {chunk_.data(), static_cast<std::size_t>(n)}, out_terminal_);
  std::size_t start = 0;
  for (std::size_t nl; (nl = output_.find('\n', scan)) != std::string::npos; scan = start) {
    std::string_view line = std::string_view(output_).substr(start, nl - start);
    if (merged_ && !line.starts_with('{')) errors_.append(line) += '\n';  // a report, not a message
    else if (on_line) on_line(line, at);
    start = nl + 1;
  }
  output_.erase(0, start);
}

void Process::readErrors() {
  ssize_t n = ::read(err_, chunk_.data(), std::min(chunk_.size(), error_allowance_));
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    ::close(err_);
    err_ = -1;
    return;
  }
  if (error_allowance_ != SIZE_MAX) error_allowance_ -= static_cast<std::size_t>(n);
  appendRead(errors_, {chunk_.data(), static_cast<std::size_t>(n)}, err_terminal_);
}

void Process::reap() {
  if (status_) return;
  int status = 0;
  rusage usage{};
  if (::wait4(pid_, &status, WNOHANG, &usage) != pid_) return;
  status_ = status;
  exited_at_ = Clock::now();
  cpu_at_exit_ = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                 static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// "exit 0", "signal 9" or "running", then the first "error:" line of standard error if any.
std::string describeEnd(const Process& p) {
  std::string end = !p.status()                ? "running"
                    : WIFEXITED(*p.status())   ? format("exit %d", WEXITSTATUS(*p.status()))
                    : WIFSIGNALED(*p.status()) ? format("signal %d", WTERMSIG(*p.status()))
                                               : "stopped";
  std::size_t at = p.errors().find("error:");
  if (at != std::string::npos) end += " (" + p.errors().substr(at, p.errors().find('\n', at) - at) + ")";
  return end;
}

// Waits up to `limit` for the start-up line; false when the server exited or stayed silent.
bool waitReady(Process& p, milliseconds limit) {
  p.runUntil(Clock::now() + limit, [&] { return p.ready() || p.status(); });
  return p.ready();
}

// Runs until everything queued has entered the pipe; false when the server stopped reading.
bool drainInput(Process& p, milliseconds limit) {
  return p.runUntil(Clock::now() + limit, [&] { return p.unsent() == 0; });
}

// ---- The wire, as far as the probes need it ----

constexpr std::string_view head = R"({"jsonrpc":"2.0","id":)";

// The id of a reply, or of a request from the server, as its JSON text; empty for anything else.
std::string_view idOf(std::string_view line) {
  if (!line.starts_with(head)) return {};
  line.remove_prefix(head.size());
  std::size_t end = line.starts_with('"') ? line.find('"', 1) + 1 : line.find(',');
  return line.substr(0, end);
}

// A request from the server has a method right after its id.
bool isRequest(std::string_view line) {
  return line.substr(head.size() + idOf(line).size()).starts_with(R"(,"method":)");
}

// The first "text" of a tool result, as it stands in the JSON (escapes kept).
std::string_view textOf(std::string_view line) {
  constexpr std::string_view key = R"("text":")";
  std::size_t start = line.find(key);
  if (start == std::string_view::npos) return {};
  start += key.size();
  std::size_t end = start;
  while (end < line.size() && line[end] != '"') end += line[end] == '\\' ? 2 : 1;
  return line.substr(start, std::min(end, line.size()) - start);
}

// {"jsonrpc":"2.0","id":<id>,"method":"tools/call","params":{"name":"<tool>","arguments":<arguments>}}
std::string toolCall(std::string_view id, std::string_view tool, std::string_view arguments) {
  std::string line(head);
  line += id;
  line += R"(,"method":"tools/call","params":{"name":")";
  line += tool;
  line += R"(","arguments":)";
  line += arguments;
  line += "}}\n";
  return line;
}

std::string ping(std::string_view id) { return std::string(head) + std::string(id) + R"(,"method":"ping"})" "\n"; }

// A ping whose id nests `depth` arrays deep; past 256 it is too deep to write back, so the server
// drops the reply and reports that on standard error.
std::string tooDeepPing(int depth) {
  return R"({"jsonrpc":"2.0","method":"ping","id":)" + std::string(depth, '[') + std::string(depth, ']') + "}\n";
}

// The n calls `tool` with `arguments`, ids 1 to n.
std::string callBatch(int n, std::string_view tool, std::string_view arguments) {
  std::string batch;
  for (int i = 1; i <= n; ++i) batch += toolCall(std::to_string(i), tool, arguments);
  return batch;
}

// What a server said: replies by id, and its own requests, each answered at once with no roots.
struct Heard {
  struct Line {
    Clock::time_point at;
    std::string text;
  };
  std::unordered_map<std::string, Line> replies;
  std::vector<Line> requests;
  int repeated_ids = 0;
};

void listen(Process& p, Heard& heard) {
  p.on_line = [&p, &heard](std::string_view line, Clock::time_point at) {
    std::string_view id = idOf(line);
    if (id.empty()) return;  // a notification
    if (isRequest(line)) {
      heard.requests.push_back({at, std::string(line)});
      p.send(std::string(head) + std::string(id) + R"(,"result":{"roots":[]}})" "\n");
      return;
    }
    if (!heard.replies.emplace(std::string(id), Heard::Line{at, std::string(line)}).second) ++heard.repeated_ids;
  };
}

// Seconds from `t0` to the reply with `id`; nullopt when it has not come.
std::optional<double> replyAfter(const Heard& heard, const std::string& id, Clock::time_point t0) {
  auto it = heard.replies.find(id);
  if (it == heard.replies.end()) return std::nullopt;
  return secondsBetween(t0, it->second.at);
}

std::string millisText(std::optional<double> seconds) {
  return seconds ? format("%.2f ms", *seconds * 1e3) : "no reply";
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  std::size_t m = v.size() / 2;
  return v.empty() ? 0 : v.size() % 2 ? v[m] : (v[m - 1] + v[m]) / 2;
}

// ---- The probes ----

enum class Verdict { Pass, Fail, Figures };

struct Outcome {
  Verdict verdict = Verdict::Fail;
  std::string figures;
  std::vector<std::string> details;  // printed under the row
};

Verdict passIf(bool ok) { return ok ? Verdict::Pass : Verdict::Fail; }

// What a burst of slow calls came to: replies timed from the moment the first call was sent, the
// ping from its own sending.
struct SlowRun {
  int replies = 0;
  int wrong = 0;  // replies with a repeated or unknown id, or a text other than "slept <seconds> s"
  double median = 0;
  double last = 0;
  std::optional<double> ping_sent;  // seconds after the first call
  std::optional<double> ping;       // seconds from its sending to its reply
  std::optional<double> threads;    // halfway through the sleep
  std::optional<double> peak_mib;   // VmHWM once every reply is in, input still open
};

// `calls` slow calls of `seconds`, written at once, and a ping once the pipe has taken them all but
// not before `ping_at` after the first call (no ping without it). Runs until every reply is in or
// `deadline` (from the first call) has passed. Replies are kept as a time per id, not as text, so
// that reading a million of them costs little beside the server.
SlowRun slowRun(Process& p, int calls, std::string_view seconds, std::optional<milliseconds> ping_at,
                milliseconds deadline) {
  const std::string expected = "slept " + std::string(seconds) + " s";
  SlowRun r;
  std::vector<double> times(static_cast<std::size_t>(calls), -1);
  Clock::time_point t0;
  std::optional<Clock::time_point> ping_sent;
  std::optional<Clock::time_point> ping_reply;
  p.on_line = [&](std::string_view line, Clock::time_point at) {
    std::string_view id = idOf(line);
    if (id == R"("ping")") {
      ping_reply = at;
      return;
    }
    int i = 0;
    auto [end, ec] = std::from_chars(id.data(), id.data() + id.size(), i);
    if (ec != std::errc() || end != id.data() + id.size() || i < 1 || i > calls || times[i - 1] >= 0) {
      ++r.wrong;
      return;
    }
    times[i - 1] = secondsBetween(t0, at);
    ++r.replies;
    r.wrong += textOf(line) != expected;
  };
  const std::string batch = callBatch(calls, "slow", R"({"seconds":)" + std::string(seconds) + "}");
  const auto halfway = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(std::strtod(std::string(seconds).c_str(), nullptr) / 2));
  bool counted_threads = false;
  auto step = [&] {
    Clock::time_point now = Clock::now();
    if (ping_at && !ping_sent && now >= t0 + *ping_at && p.unsent() == 0) {
      ping_sent = now;
      p.send(ping(R"("ping")"));
    }
    if (!counted_threads && now >= t0 + halfway) {
      counted_threads = true;
      r.threads = procStatus(p.pid(), "Threads");
    }
    return r.replies == calls && (!ping_at || ping_reply);
  };
  t0 = Clock::now();
  p.send(batch);
  if (ping_at) p.runUntil(t0 + *ping_at, step);  // returns at ping_at at the latest: the ping leaves on time
  p.runUntil(t0 + deadline, step);
  if (std::optional<double> kb = procStatus(p.pid(), "VmHWM")) r.peak_mib = *kb / 1024;

  std::vector<double> arrived;
  arrived.reserve(static_cast<std::size_t>(r.replies));
  for (double t : times) {
    if (t >= 0) arrived.push_back(t);
  }
  r.median = median(arrived);
  r.last = arrived.empty() ? 0 : *std::max_element(arrived.begin(), arrived.end());
  if (ping_sent) r.ping_sent = secondsBetween(t0, *ping_sent);
  if (ping_sent && ping_reply) r.ping = secondsBetween(*ping_sent, *ping_reply);
  return r;
}

std::string mibText(std::optional<double> mib) { return mib ? format("%.1f MiB", *mib) : "n/a"; }

// A detail line for the replies a client could not match to its calls, if there were any.
void noteWrong(Outcome& out, const SlowRun& r, std::string_view seconds) {
  if (!r.wrong) return;
  out.details.push_back(format("%d replies with a repeated or unknown id, or a text other than \"slept %.*s s\"",
                               r.wrong, static_cast<int>(seconds.size()), seconds.data()));
}

// `n` slow calls of `seconds` sent at once, then a ping once they are all in the pipe.
Outcome slowCalls(const std::string& server, int n, std::string_view seconds, double tolerance) {
  Process p(server, {});
  if (!waitReady(p, milliseconds(2000))) return {Verdict::Fail, "no start: " + describeEnd(p), {}};
  const double wait = std::strtod(std::string(seconds).c_str(), nullptr);
  SlowRun r = slowRun(p, n, seconds, milliseconds(0), milliseconds(static_cast<int>(wait * 1000) + 10'000));
  bool ok = r.replies == n && r.wrong == 0 && r.last <= wait + tolerance && r.ping && *r.ping <= 0.020;
  Outcome out{passIf(ok),
              format("%d/%d replies, median %.3f s, slowest %.3f s; ping %s", r.replies, n, r.median, r.last,
                     millisText(r.ping).c_str()),
              {}};
  noteWrong(out, r, seconds);
  return out;
}

Outcome slow50(const std::string& server) { return slowCalls(server, 50, "0.5", 0.010); }
Outcome slow1000(const std::string& server) { return slowCalls(server, 1000, "2", 0.100); }

// A hundred thousand 2 s calls at once: each sleeping call must cost the server no thread and little
// memory, and a ping 0.5 s in must pass them all at once.
// The server's RSS a second after its last reply, its loop idle meanwhile.
std::optional<double> idleRss(Process& p) {
  p.runUntil(Clock::now() + milliseconds(1000), nullptr);
  std::optional<double> kb = procStatus(p.pid(), "VmRSS");
  return kb ? std::optional<double>(*kb / 1024) : std::nullopt;
}

Outcome slow100k(const std::string& server) {
  constexpr int n = 100'000;
  Process p(server, {});
  if (!waitReady(p, milliseconds(2000))) return {Verdict::Fail, "no start: " + describeEnd(p), {}};
  SlowRun r = slowRun(p, n, "2", milliseconds(500), milliseconds(12'000));
  bool ok = r.replies == n && r.wrong == 0 && r.last <= 2.3 && r.ping && *r.ping <= 0.005 &&
            (!r.peak_mib || *r.peak_mib <= 64) && (!r.threads || *r.threads == 1);
  std::string ping_words = !r.ping_sent ? "never sent (calls still unsent)"
                                        : millisText(r.ping) + format(" (sent at %.3f s)", *r.ping_sent);
  std::optional<double> idle = idleRss(p);
  Outcome out{passIf(ok),
              format("%d/%d replies, last %.3f s; peak RSS %s, %s 1 s later; ping %s; threads %s at 1 s", r.replies,
                     n, r.last, mibText(r.peak_mib).c_str(), mibText(idle).c_str(), ping_words.c_str(),
                     r.threads ? format("%.0f", *r.threads).c_str() : "n/a"),
              {}};
  noteWrong(out, r, "2");
  return out;
}

// A million 10 s calls at once: how long the last reply takes and what memory they cost. No target
// yet; the row names the one to aim for.
Outcome slow1m(const std::string& server) {
  constexpr int n = 1'000'000;
  Process p(server, {});
  if (!waitReady(p, milliseconds(2000))) return {Verdict::Fail, "no start: " + describeEnd(p), {}};
  SlowRun r = slowRun(p, n, "10", std::nullopt, milliseconds(60'000));
  std::optional<double> idle = idleRss(p);
  Outcome out{Verdict::Figures,
              format("%d/%d replies, last %.3f s; peak RSS %s, %s 1 s later", r.replies, n, r.last,
                     mibText(r.peak_mib).c_str(), mibText(idle).c_str()),
              {}};
  noteWrong(out, r, "10");
  return out;
}

// `calls` slow calls of 5 s, then, once the pipe has taken them, a request to the client and, where
// there is a `ping_limit`, a ping right behind it. The answer must reach ask_client however many
// calls sleep.
Outcome askBehind(const std::string& server, int calls, std::optional<double> ping_limit) {
  Process p(server, {});
  Heard heard;
  listen(p, heard);
  if (!waitReady(p, milliseconds(2000))) return {Verdict::Fail, "no start: " + describeEnd(p), {}};
  p.send(callBatch(calls, "slow", R"({"seconds":5})"));
  bool took_calls = drainInput(p, milliseconds(10'000));
  Clock::time_point ask_sent = Clock::now();
  p.send(toolCall(R"("ask")", "ask_client", "{}"));
  Clock::time_point ping_sent;
  if (ping_limit) {
    drainInput(p, milliseconds(1000));
    ping_sent = Clock::now();
    p.send(ping(R"("ping")"));
  }
  p.runUntil(ask_sent + milliseconds(20'000), [&] {
    return heard.replies.contains(R"("ask")") && (!ping_limit || heard.replies.contains(R"("ping")"));
  });

  std::optional<double> ask_time = replyAfter(heard, R"("ask")", ask_sent);
  std::string_view text = ask_time ? textOf(heard.replies[R"("ask")"].text) : "";
  bool answered = text.starts_with("client answered: ");
  std::string asked = heard.requests.empty()
                          ? "never asked"
                          : format("asked after %.3f s", secondsBetween(ask_sent, heard.requests.front().at));
  Outcome out{passIf(answered),
              ask_time ? format("ask_client %s after %.3f s (%s)", answered ? "answered" : "NOT answered", *ask_time,
                                asked.c_str())
                       : format("ask_client: no reply in 20 s (%s)", asked.c_str()),
              {}};
  if (ping_limit) {
    std::optional<double> ping_time = replyAfter(heard, R"("ping")", ping_sent);
    if (!ping_time || *ping_time > *ping_limit) out.verdict = Verdict::Fail;
    out.figures += "; ping " + millisText(ping_time);
  }
  if (!took_calls) out.details.push_back(format("the server stopped reading before it had all %d calls", calls));
  if (ask_time && !answered) out.details.push_back("ask_client said: " + std::string(text.substr(0, 80)));
  return out;
}

// More slow calls than the server runs at once, and a ping behind the request to the client.
Outcome askFull(const std::string& server) { return askBehind(server, 1100, 0.020); }
// A hundred thousand sleeping calls: the answer must not wait for any of them.
Outcome ask100k(const std::string& server) { return askBehind(server, 100'000, std::nullopt); }

// One request to a server started under an address-space cap, stdin left open. Returns the row's
// words for it and whether it met its target.
struct Step {
  std::string words;
  bool ok = false;
};

Step capped(const std::string& server, rlim_t bytes, std::string_view request, bool ask) {
  Process p(server, {bytes, false, false});
  Heard heard;
  listen(p, heard);
  if (!waitReady(p, milliseconds(2000))) return {"no start: " + describeEnd(p), true};
  Clock::time_point sent = Clock::now();
  p.send(request);
  if (ask) p.send(ping(R"("ping")"));
  p.runUntil(sent + milliseconds(ask ? 12'000 : 1000), [&] {
    return heard.replies.contains(R"("r")") && (!ask || heard.replies.contains(R"("ping")"));
  });
  std::optional<double> reply = replyAfter(heard, R"("r")", sent);
  std::string gone = p.status() ? ", then " + describeEnd(p) : "";
  if (!ask) {
    if (!reply) return {"no reply in 1 s" + gone, false};
    return {millisText(reply) + gone, *reply <= 1.0};
  }
  std::optional<double> ping_time = replyAfter(heard, R"("ping")", sent);
  std::string_view text = reply ? textOf(heard.replies[R"("r")"].text) : "";
  bool answered = text.starts_with("client answered: ");
  std::string said = !reply     ? std::string("no reply in 12 s")
                     : answered ? "answered after " + millisText(reply)
                                : "\"" + std::string(text.substr(0, 40)) + "\" after " + millisText(reply);
  return {said + ", ping " + millisText(ping_time) + gone, answered && ping_time && *ping_time <= 1.0};
}

bool startsWithin(const std::string& server, rlim_t bytes) {
  Process p(server, {bytes, false, false});
  return waitReady(p, milliseconds(2000));
}

// Echo, a slow call of 0 s and ask_client, each to its own server, under each address-space cap;
// then the smallest cap the server starts under, to 64 KiB.
Outcome rlimitProbe(const std::string& server) {
  constexpr rlim_t mb = 1 << 20;
  const std::string echo = toolCall(R"("r")", "echo", R"({"text":"hi"})");
  const std::string slow = toolCall(R"("r")", "slow", R"({"seconds":0})");
  const std::string ask = toolCall(R"("r")", "ask_client", "{}");
  Outcome out{Verdict::Pass, {}, {}};
  rlim_t smallest_listed = 0;
  int started = 0;
  int met = 0;
  for (rlim_t limit : {9, 12, 16, 20, 24, 30}) {
    if (!startsWithin(server, limit * mb)) {
      out.details.push_back(format("%2llu MB: no start", static_cast<unsigned long long>(limit)));
      continue;
    }
    ++started;
    if (!smallest_listed) smallest_listed = limit * mb;
    Step steps[] = {capped(server, limit * mb, echo, false), capped(server, limit * mb, slow, false),
                    capped(server, limit * mb, ask, true)};
    bool ok = steps[0].ok && steps[1].ok && steps[2].ok;
    met += ok;
    if (!ok) out.verdict = Verdict::Fail;
    out.details.push_back(format("%2llu MB: echo %s; slow 0 s %s; ask_client %s%s",
                                 static_cast<unsigned long long>(limit), steps[0].words.c_str(),
                                 steps[1].words.c_str(), steps[2].words.c_str(), ok ? "" : "  <- FAIL"));
  }
  if (!started) return {Verdict::Fail, "starts under none of the caps up to 30 MB", out.details};
  rlim_t lo = 0;  // the largest cap known too small
  rlim_t hi = smallest_listed;
  while (hi - lo > 64 * 1024) {
    rlim_t mid = (lo + hi) / 2 / 4096 * 4096;
    if (startsWithin(server, mid)) hi = mid;
    else lo = mid;
  }
  out.figures = format("starts from %.2f MB; %d of the %d caps it starts under meet every target",
                       static_cast<double>(hi) / mb, met, started);
  return out;
}

// Replies pile up unread until the server cannot write, then the crash tool must still end it.
Outcome crashFull(const std::string& server) {
  Process p(server, {});
  if (!waitReady(p, milliseconds(2000))) return {Verdict::Fail, "no start: " + describeEnd(p), {}};
  p.allowReading(0);
  // 100 replies of 10 x 2000 bytes: about 2 MB waiting behind a 64 KiB pipe.
  p.send(callBatch(100, "echo", R"({"text":")" + std::string(2000, 'x') + R"(","times":10})"));
  bool took_calls = drainInput(p, milliseconds(3000));
  p.runFor(milliseconds(200));  // time to build the replies and block on them
  std::size_t stuck_before_crash = p.unsent();
  Clock::time_point crash_sent = Clock::now();
  p.send(R"({"jsonrpc":"2.0","id":"c","method":"tools/call","params":{"name":"crash"}})" "\n");
  p.runUntil(crash_sent + milliseconds(2000), [&] { return p.status().has_value(); });

  bool said = p.errors().find("crashing on purpose") != std::string::npos;
  std::optional<double> after = p.status() ? std::optional(secondsBetween(crash_sent, p.exitedAt())) : std::nullopt;
  bool status3 = p.status() && WIFEXITED(*p.status()) && WEXITSTATUS(*p.status()) == 3;
  Outcome out{passIf(status3 && *after <= 0.100 && said),
              format("%s after %s; \"crashing on purpose\" %s", describeEnd(p).c_str(),
                     after ? millisText(after).c_str() : "> 2 s (killed)", said ? "on stderr" : "NOT on stderr"),
              {}};
  if (!took_calls) {
    out.details.push_back(format("the server stopped reading input: %zu KiB of the echo calls still unsent",
                                 stuck_before_crash / 1024));
  }
  return out;
}

// ---- Output the client reads late ----

bool exited(const Process& p, int code) {
  return p.status() && WIFEXITED(*p.status()) && WEXITSTATUS(*p.status()) == code;
}

// Leaves about 800 kB of echo replies (ids 1 to 40) unread behind the 64 KiB pipe: whatever the
// server writes next waits behind them.
void fillOutput(Process& p) {
  p.allowReading(0);
  p.send(callBatch(40, "echo", R"({"text":")" + std::string(2000, 'x') + R"(","times":10})"));
  p.runFor(milliseconds(200));
}

// 60 notes of about 50 kB each (a name of 25,000 bytes, which the reply holds twice), then crash,
// all at once; standard output read at 2 MB/s. The replies already asked for must all leave whole
// before the exit, and no line may be cut off by it.
Step crashBehindReplies(const std::string& server) {
  const std::string name(25'000, 'x');
  Process p(server, {});
  std::vector<bool> whole(61, false);
  p.on_line = [&](std::string_view line, Clock::time_point) {
    int i = 0;
    std::string_view id = idOf(line);
    auto [end, ec] = std::from_chars(id.data(), id.data() + id.size(), i);
    if (ec == std::errc() && end == id.data() + id.size() && i >= 1 && i <= 60 && line.ends_with('}') &&
        line.find(name) != std::string_view::npos) {
      whole[static_cast<std::size_t>(i)] = true;
    }
  };
  if (!waitReady(p, milliseconds(2000))) return {"no start: " + describeEnd(p), false};
  std::string input;
  for (int i = 1; i <= 60; ++i) {
    input += std::string(head) + std::to_string(i) + R"(,"method":"resources/read","params":{"uri":"demo://notes/)" +
             name + "\"}}\n";
  }
  input += toolCall(R"("c")", "crash", "{}");
  p.send(input);
  const Clock::time_point deadline = Clock::now() + milliseconds(15'000);
  for (Clock::time_point tick = Clock::now(); !p.finished() && tick < deadline; tick += milliseconds(10)) {
    p.allowReading(20'000);  // 20 kB every 10 ms
    p.runUntil(tick + milliseconds(10), [&] { return p.finished(); });
  }
  int arrived = static_cast<int>(std::count(whole.begin(), whole.end(), true));
  bool said = p.errors().find("crashing on purpose") != std::string::npos;
  std::string end = !p.finished()     ? "stdout not ended in 15 s"
                    : p.partialLine() ? format("stdout ends in %zu bytes of a cut-off line", p.partialLine())
                                      : "stdout ends at a line boundary";
  return {format("%s; %d/60 replies whole; %s; \"crashing on purpose\" %s", describeEnd(p).c_str(), arrived,
                 end.c_str(), said ? "on stderr" : "NOT on stderr"),
          exited(p, 3) && arrived == 60 && p.finished() && !p.partialLine() && said};
}

// 2,000 pings whose id nests too deeply to be written back, each costing a report on standard error,
// which is left unread for 4 s and then read at full speed: every report must come, and the exit
// must be clean.
Step reportsHeld(const std::string& server) {
  constexpr std::string_view report = "value nested too deeply; message dropped";
  Process p(server, {});
  if (!waitReady(p, milliseconds(2000))) return {"no start: " + describeEnd(p), false};
  std::string input;
  for (int i = 0; i < 2000; ++i) input += tooDeepPing(257);
  p.holdErrors(true);
  p.send(input);
  p.runFor(milliseconds(4000));
  p.holdErrors(false);
  p.closeInput();
  p.runUntil(Clock::now() + milliseconds(10'000), [&] { return p.finished(); });
  int reports = 0;
  std::string_view errors = p.errors();
  for (std::size_t at = 0, nl; (nl = errors.find('\n', at)) != std::string_view::npos; at = nl + 1) {
    reports += errors.substr(at, nl - at) == report;
  }
  return {format("%d/2000 reports; %s", reports, describeEnd(p).c_str()), reports == 2000 && exited(p, 0)};
}

// What came of a call sent to a server whose standard output is full: its reply's text and how
// long after the call it came (nullopt: not within the limit), or why there was none.
struct HeldReply {
  std::optional<double> after;
  std::string text;
  std::string end;  // the server's end, when no reply came
};

// Starts a server, fills its standard output, sends `call` (whose id is `id`) and leaves the output
// unread for `hold`; then reads at full speed, answering the server's requests at once, until the
// reply comes or `limit` has passed since the call.
HeldReply callBehindFullOutput(const std::string& server, const std::string& id, const std::string& call,
                               milliseconds hold, milliseconds limit) {
  Process p(server, {});
  Heard heard;
  listen(p, heard);
  if (!waitReady(p, milliseconds(2000))) return {std::nullopt, {}, "no start: " + describeEnd(p)};
  fillOutput(p);
  Clock::time_point sent = Clock::now();
  p.send(call);
  p.runUntil(sent + hold, nullptr);
  p.allowReading(SIZE_MAX);
  p.runUntil(sent + limit, [&] { return heard.replies.contains(id); });
  std::optional<double> after = replyAfter(heard, id, sent);
  if (!after) return {std::nullopt, {}, describeEnd(p)};
  return {after, std::string(textOf(heard.replies[id].text)), {}};
}

// ask_client while standard output is full, held unread until 10.5 s after the call, then read at
// full speed and the request answered at once: the 10 s the server waits must start once its
// request has reached the client, not while it waits in the server.
Step askHeld(const std::string& server) {
  HeldReply r = callBehindFullOutput(server, R"("ask")", toolCall(R"("ask")", "ask_client", "{}"),
                                     milliseconds(10'500), milliseconds(22'000));
  if (!r.after) return {"no reply in 22 s, " + r.end, false};
  bool answered = r.text.starts_with("client answered: ");
  return {format("%s after %.3f s", answered ? "answered" : ("\"" + r.text.substr(0, 48) + "\"").c_str(), *r.after),
          answered};
}

// A 3 s slow call while standard output is full, held unread for 2.5 s, then read at full speed:
// the call must be read and its sleep begun while the server cannot write.
Step slowHeld(const std::string& server) {
  HeldReply r = callBehindFullOutput(server, R"("slow")", toolCall(R"("slow")", "slow", R"({"seconds":3})"),
                                     milliseconds(2500), milliseconds(8000));
  return {r.after ? format("reply after %.3f s (target <= 3.3 s)", *r.after) : "no reply in 8 s, " + r.end,
          r.after && *r.after <= 3.3};
}

// One row from cases run in turn, each a detail line with its name in a column `width` wide: PASS
// when every case meets its target. `met` says what the cases that passed did.
template <class Cases, class Run>
Outcome runCases(const Cases& cases, int width, const char* met, Run run) {
  Outcome result{Verdict::Pass, {}, {}};
  int passed = 0;
  for (const auto& c : cases) {
    Step step = run(c);
    passed += step.ok;
    result.details.push_back(format("%-*s %s%s", width, c.name, step.words.c_str(), step.ok ? "" : "  <- FAIL"));
  }
  result.verdict = passIf(passed == static_cast<int>(std::size(cases)));
  result.figures = format("%d of %zu %s", passed, std::size(cases), met);
  return result;
}

Outcome backlog(const std::string& server) {
  struct Case {
    const char* name;
    Step (*run)(const std::string& server);
  } cases[] = {{"crash", crashBehindReplies}, {"stderr", reportsHeld}, {"ask", askHeld}, {"slow", slowHeld}};
  return runCases(cases, 7, "cases meet their target", [&](const Case& c) { return c.run(server); });
}

// 1500 pings and echo calls to a server whose pipe ends are non-blocking as given, in bursts with
// gaps, so that its reads find the pipe empty; its output is left unread, then read slowly, so that
// its writes find the pipe full; then read to the end.
Step nonblockingCase(const std::string& server, bool in, bool out) {
  Process p(server, {0, in, out});
  Heard heard;
  listen(p, heard);
  const std::string text(200, 'y');
  const std::string echo_args = R"({"text":")" + text + R"(","times":10})";
  std::string echoed = text;
  for (int i = 1; i < 10; ++i) echoed += " " + text;
  std::string input;
  for (int i = 1; i <= 1500; ++i) input += i % 2 ? ping(std::to_string(i)) : toolCall(std::to_string(i), "echo", echo_args);

  if (!waitReady(p, milliseconds(2000))) return {"no start: " + describeEnd(p), false};
  p.runFor(milliseconds(20));  // an idle server finds its input empty
  p.allowReading(0);
  for (std::size_t at = 0; at < input.size(); at += input.size() / 10 + 1) {  // ten bursts with gaps between
    p.send(std::string_view(input).substr(at, input.size() / 10 + 1));
    p.runFor(milliseconds(20));
  }
  for (int i = 0; i < 60; ++i) {  // 4 KiB every 5 ms
    p.allowReading(4096);
    p.runFor(milliseconds(5));
  }
  p.allowReading(SIZE_MAX);
  p.closeInput();
  p.runUntil(Clock::now() + milliseconds(10'000), [&] { return p.status().has_value(); });

  int right = 0;
  for (int i = 1; i <= 1500; ++i) {
    auto it = heard.replies.find(std::to_string(i));
    if (it == heard.replies.end()) continue;
    std::string_view line = it->second.text;
    right += i % 2 ? line.ends_with(R"(,"result":{}})") : textOf(line) == echoed;
  }
  bool exited0 = p.status() && WIFEXITED(*p.status()) && WEXITSTATUS(*p.status()) == 0;
  bool error_line = p.errors().find("error:") != std::string::npos;
  return {format("%4d/1500 right, %s", right, describeEnd(p).c_str()),
          right == 1500 && heard.repeated_ids == 0 && exited0 && !error_line};
}

Outcome nonblocking(const std::string& server) {
  struct Case {
    const char* name;
    bool in;
    bool out;
  } cases[] = {{"neither", false, false}, {"stdin", true, false}, {"stdout", false, true}, {"both", true, true}};
  return runCases(cases, 8, "combinations (non-blocking stdin/stdout) get every reply and exit 0",
                  [&](const Case& c) { return nonblockingCase(server, c.in, c.out); });
}

// A 0.5 s slow call, then at once one line of 100 MB (a ping with a long string in its params), then
// nothing more: how late the slow reply comes while the server takes in the long line, and when
// the ping is answered. Figures only.
Outcome hostile(const std::string& server) {
  Process p(server, {});
  Heard heard;
  listen(p, heard);
  if (!waitReady(p, milliseconds(2000))) return {Verdict::Fail, "no start: " + describeEnd(p), {}};
  std::string big = std::string(head) + R"("big","method":"ping","params":{"s":")";
  big.append(100'000'000, 'x');
  big += "\"}}\n";
  // The slow call is timed from when it has entered the pipe: queuing the long line takes a while.
  p.send(toolCall(R"("slow")", "slow", R"({"seconds":0.5})"));
  if (!drainInput(p, milliseconds(2000))) return {Verdict::Fail, "the server stopped reading", {}};
  Clock::time_point t0 = Clock::now();
  p.send(big);
  big = {};
  std::optional<Clock::time_point> all_in;  // the long line's last byte entered the pipe
  p.runUntil(t0 + milliseconds(30'000), [&] {
    if (!all_in && p.unsent() == 0) all_in = Clock::now();
    return heard.replies.contains(R"("slow")") && heard.replies.contains(R"("big")");
  });
  std::optional<double> slow = replyAfter(heard, R"("slow")", t0);
  std::optional<double> pinged = replyAfter(heard, R"("big")", t0);
  return {Verdict::Figures,
          format("slow reply %s; ping answered %s (its last byte sent at %s)",
                 slow ? format("%.1f ms late", (*slow - 0.5) * 1e3).c_str() : "never came",
                 pinged ? format("at %.3f s", *pinged).c_str() : "never",
                 all_in ? format("%.3f s", secondsBetween(t0, *all_in)).c_str() : "never"),
          {}};
}

// ---- Output nobody reads, and the limits a host may set ----

// What the kernel says a process waits in ("pipe_write", "n_tty_write"...), or "?".
std::string waitingIn(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/wchan");
  std::string where;
  return std::getline(in, where) && !where.empty() && where != "0" ? where : "?";
}

// Seconds of CPU the server has used: from /proc while it runs, from its exit status once gone.
std::optional<double> cpuSeconds(const Process& p) {
  if (p.status()) return p.cpuAtExit();
  std::ifstream in("/proc/" + std::to_string(p.pid()) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t at = stat.rfind(')');  // the name in parentheses may hold spaces
  if (at == std::string::npos) return std::nullopt;
  std::vector<std::string> fields;
  for (std::size_t i = at + 2, end; i < stat.size(); i = end + 1) {
    end = std::min(stat.find(' ', i), stat.size());
    fields.push_back(stat.substr(i, end - i));
  }
  if (fields.size() < 13) return std::nullopt;  // fields 14 and 15 of the line: utime and stime
  return (std::strtod(fields[11].c_str(), nullptr) + std::strtod(fields[12].c_str(), nullptr)) /
         static_cast<double>(::sysconf(_SC_CLK_TCK));
}

const std::string crash_call = toolCall(R"("c")", "crash", "{}");

// Sends a 0.3 s slow call and crash, and waits up to 2 s for the exit: it must be status 3 within
// `limit` of the crash. A server that never exits is said to be stuck where the kernel sees it.
Step crashNow(Process& p, double limit) {
  Clock::time_point sent = Clock::now();
  p.send(toolCall(R"("s")", "slow", R"({"seconds":0.3})") + crash_call);
  p.runUntil(sent + milliseconds(2000), [&] { return p.status().has_value(); });
  if (!p.status()) {
    std::string where = waitingIn(p.pid());
    std::string words =
        where.find("write") != std::string::npos ? "stuck in write (" + where + ")" : "stuck in " + where;
    return {words + format(", killed after 2 s; %zu bytes of our input unsent", p.unsent()), false};
  }
  double after = secondsBetween(sent, p.exitedAt());
  return {format("%s in %.0f ms", describeEnd(p).c_str(), after * 1e3), exited(p, 3) && after <= limit};
}

std::string echoOf(std::size_t bytes) { return R"({"text":")" + std::string(bytes, 'x') + R"("})"; }

// A blocking standard output the host stops reading once the server is up. `count` requests, `gap_ms`
// apart (0: each one as soon as the last has entered the pipe, all within 2 s), then crashNow.
struct PipeCase {
  const char* name;
  Launch how;
  int shrink_to;     // the host resizes the pipe after start; 0: it stays at 64 KiB
  int count;
  const char* tool;  // nullptr: a ping
  std::string arguments;
  int gap_ms;
};

Step blockingPipeCase(const std::string& server, const PipeCase& c) {
  Process p(server, c.how);
  if (!waitReady(p, milliseconds(2000))) return {"no start: " + describeEnd(p), false};
  if (c.shrink_to && ::fcntl(p.outputEnd(), F_SETPIPE_SZ, c.shrink_to) < 0) {
    return {format("F_SETPIPE_SZ failed: %s", std::strerror(errno)), false};
  }
  p.allowReading(0);
  Clock::time_point t0 = Clock::now();
  bool took_all = true;
  for (int i = 1; i <= c.count; ++i) {
    std::string id = std::to_string(i);
    p.send(c.tool ? toolCall(id, c.tool, c.arguments) : ping(id));
    if (c.gap_ms) p.runFor(milliseconds(c.gap_ms));
    else took_all = took_all && p.runUntil(t0 + milliseconds(2000), [&] { return p.unsent() == 0; });
  }
  std::string taken = c.gap_ms ? ""
                      : took_all ? format("took all %d in %.0f ms; ", c.count, secondsBetween(t0, Clock::now()) * 1e3)
                                 : format("did NOT take all %d in 2 s; ", c.count);
  Step end = crashNow(p, 0.5);
  return {taken + end.words, took_all && end.ok};
}

// Replies pile up unread behind a blocking standard output; the server must still read, and exit on crash.
Outcome blockingPipe(const std::string& server) {
  const std::string echo21 = echoOf(2100);
  const std::string echo3 = echoOf(3000);
  const PipeCase cases[] = {
      {"14 image, 10 ms apart", {}, 0, 14, "image", R"({"color":"red"})", 10},
      {"20 echo 2.1 kB, 10 ms apart", {}, 0, 20, "echo", echo21, 10},
      {"20 echo 3 kB, 10 ms apart", {}, 0, 20, "echo", echo3, 10},
      {"60 echo 3 kB, one by one", {}, 0, 60, "echo", echo3, 0},
      {"pipe of 4096, 20 echo 3 kB", {}, 4096, 20, "echo", echo3, 10},
      {"packet pipe, 40 pings", {.packet_stdout = true}, 0, 40, nullptr, "", 10},
      {"2>&1, 20 echo 3 kB", {.stderr_to_stdout = true}, 0, 20, "echo", echo3, 10},
  };
  return runCases(cases, 28, "cases exit 3 on crash, replies unread",
                  [&](const PipeCase& c) { return blockingPipeCase(server, c); });
}

// Standard error on a terminal whose output the user stopped (Ctrl-S) just before a report: a ping
// and a 0.3 s slow call must still be answered within 0.5 s; after Ctrl-Q the report comes and end
// of input ends the server.
Step stoppedTerminal(const std::string& server) {
  Process p(server, {.stderr_terminal = true});
  Heard heard;
  listen(p, heard);
  if (!waitReady(p, milliseconds(2000))) return {"no start: " + describeEnd(p), false};
  p.typeOnErrorTerminal("\x13");
  p.send(tooDeepPing(10'000));
  p.runFor(milliseconds(100));  // the report is on its way to the stopped terminal
  Clock::time_point sent = Clock::now();
  p.send(ping(R"("p")") + toolCall(R"("s")", "slow", R"({"seconds":0.3})"));
  p.runUntil(sent + milliseconds(2000),
             [&] { return heard.replies.contains(R"("p")") && heard.replies.contains(R"("s")"); });
  std::optional<double> pinged = replyAfter(heard, R"("p")", sent);
  std::optional<double> slept = replyAfter(heard, R"("s")", sent);
  std::string where = !pinged || !slept ? " (server in " + waitingIn(p.pid()) + ")" : "";
  p.typeOnErrorTerminal("\x11");
  p.closeInput();
  p.runUntil(Clock::now() + milliseconds(2000), [&] { return p.finished(); });
  bool reported = p.errors().find("value nested too deeply") != std::string::npos;
  bool ok = pinged && *pinged <= 0.5 && slept && *slept <= 0.5 && reported && exited(p, 0);
  return {format("ping %s, slow 0.3 s %s%s; after Ctrl-Q: report %s, %s", millisText(pinged).c_str(),
                 millisText(slept).c_str(), where.c_str(), reported ? "came" : "NOT seen", describeEnd(p).c_str()),
          ok};
}

// Standard output on a terminal nobody reads: 300 echo calls of 2 kB, then crash within 200 ms.
Step unreadTerminal(const std::string& server) {
  Process p(server, {.stdout_terminal = true});
  if (!waitReady(p, milliseconds(2000))) return {"no start: " + describeEnd(p), false};
  p.allowReading(0);
  p.send(callBatch(300, "echo", echoOf(2000)));
  bool took = drainInput(p, milliseconds(2000));
  Clock::time_point sent = Clock::now();
  p.send(crash_call);
  p.runUntil(sent + milliseconds(2000), [&] { return p.status().has_value(); });
  std::string taken = took ? "" : format("%zu KiB of the calls not taken in 2 s; ", p.unsent() / 1024);
  if (!p.status()) return {taken + "no exit in 2 s (server in " + waitingIn(p.pid()) + "), killed", false};
  double after = secondsBetween(sent, p.exitedAt());
  return {taken + format("%s in %.0f ms", describeEnd(p).c_str(), after * 1e3), took && exited(p, 3) && after <= 0.2};
}

Outcome terminal(const std::string& server) {
  struct Case {
    const char* name;
    Step (*run)(const std::string& server);
  } cases[] = {{"stderr stopped", stoppedTerminal}, {"stdout unread", unreadTerminal}};
  return runCases(cases, 15, "cases meet their target", [&](const Case& c) { return c.run(server); });
}

// `block` fed without pause for `seconds`, standard output and error each read at most at their
// rate in bytes per second (0: at full speed), VmRSS sampled every second. Memory must stay under
// 48 MiB and not grow by more than 2 MiB in the last 10 s.
Step steadyCase(const std::string& server, const std::string& block, int seconds, double out_rate, double err_rate) {
  Process p(server, {});
  std::size_t lines = 0;
  p.on_line = [&](std::string_view, Clock::time_point) { ++lines; };
  if (!waitReady(p, milliseconds(2000))) return {"no start: " + describeEnd(p), false};
  std::size_t reports_before = p.errors().size();
  std::vector<double> rss_mib;  // at 1, 2, ... s
  const Clock::time_point t0 = Clock::now();
  for (Clock::time_point tick = t0 + milliseconds(10); tick <= t0 + std::chrono::seconds(seconds) && !p.status();
       tick += milliseconds(10)) {
    if (p.unsent() < block.size()) p.send(block);
    if (out_rate > 0) p.allowReading(static_cast<std::size_t>(out_rate / 100));
    if (err_rate > 0) p.allowErrorReading(static_cast<std::size_t>(err_rate / 100));
    p.runUntil(tick, nullptr);
    if ((tick - t0) % std::chrono::seconds(1) == milliseconds(0)) {
      std::optional<double> kb = procStatus(p.pid(), "VmRSS");
      if (!kb) return {"VmRSS not available on this system", true};
      rss_mib.push_back(*kb / 1024);
    }
  }
  if (p.status()) return {"the server ended: " + describeEnd(p), false};
  double peak = *std::max_element(rss_mib.begin(), rss_mib.end());
  if (std::optional<double> hwm = procStatus(p.pid(), "VmHWM")) peak = std::max(peak, *hwm / 1024);
  const std::size_t base = rss_mib.size() > 10 ? rss_mib.size() - 11 : 0;  // 10 s before the end
  double growth = *std::max_element(rss_mib.begin() + static_cast<std::ptrdiff_t>(base), rss_mib.end()) - rss_mib[base];
  std::size_t report_bytes = p.errors().size() - reports_before;
  return {format("RSS %.1f MiB at %zu s, %.1f at %zu s, peak %.1f MiB, growth %.1f MiB; %.0f replies/s, "
                 "%.0f kB/s of reports",
                 rss_mib[base], base + 1, rss_mib.back(), rss_mib.size(), peak, growth,
                 static_cast<double>(lines) / seconds, static_cast<double>(report_bytes) / seconds / 1e3),
          peak < 48 && growth <= 2};
}

Outcome steadyReader(const std::string& server) {
  std::string pings;
  for (int i = 1; pings.size() < (256 << 10); ++i) pings += ping(std::to_string(i));
  std::string deep;
  while (deep.size() < (256 << 10)) deep += tooDeepPing(257);
  struct Case {
    const char* name;
    const std::string& block;
    int seconds;
    double out_rate;
    double err_rate;
  } cases[] = {{"pings, stdout 10 MB/s, 15 s", pings, 15, 10e6, 0},
               {"deep ids, stderr 1 MB/s, 12 s", deep, 12, 0, 1e6}};
  return runCases(cases, 30, "cases stay bounded",
                  [&](const Case& c) { return steadyCase(server, c.block, c.seconds, c.out_rate, c.err_rate); });
}

// VmRSS of a server that has been idle for a second.
std::optional<double> idleMib(Process& p) {
  p.runFor(milliseconds(1000));
  std::optional<double> kb = procStatus(p.pid(), "VmRSS");
  return kb ? std::optional(*kb / 1024) : std::nullopt;
}

// Memory a burst of sleeping calls leaves behind once they are all answered: a million at once,
// then, in a fresh server, three bursts of 300,000 one after the other.
Outcome burstIdle(const std::string& server) {
  auto burst = [](Process& p, int n, std::string& words) {
    SlowRun r = slowRun(p, n, "1", std::nullopt, milliseconds(60'000));
    std::optional<double> idle = idleMib(p);
    words += format("%d/%d replies, last %.1f s, peak %s, idle %s", r.replies, n, r.last, mibText(r.peak_mib).c_str(),
                    mibText(idle).c_str());
    return r.replies == n && r.wrong == 0 && idle && *idle < 16;
  };
  Outcome out{Verdict::Pass, "1,000,000 x 1 s: ", {}};
  bool ok = true;
  {
    Process p(server, {});
    if (!waitReady(p, milliseconds(2000))) return {Verdict::Fail, "no start: " + describeEnd(p), {}};
    ok = burst(p, 1'000'000, out.figures);
  }
  Process p(server, {});
  if (!waitReady(p, milliseconds(2000))) return {Verdict::Fail, "no start: " + describeEnd(p), {}};
  for (int i = 1; i <= 3; ++i) {
    std::string words = format("300,000 x 1 s, burst %d of 3: ", i);
    ok = burst(p, 300'000, words) && ok;
    out.details.push_back(words);
  }
  out.verdict = passIf(ok);
  return out;
}

// A server allowed one open file (it has three), sent `input` with standard output left unread
// when `hold`, stdin kept open: it must say why it cannot run and exit 1 within 2 s, not spin.
Step nofileCase(const std::string& server, const std::string& input, bool hold) {
  Process p(server, {.limits = {{RLIMIT_NOFILE, 1}}});
  std::size_t replies = 0;
  p.on_line = [&](std::string_view, Clock::time_point) { ++replies; };
  if (hold) p.allowReading(0);
  Clock::time_point t0 = Clock::now();
  p.send(input);
  p.runUntil(t0 + milliseconds(2000), [&] { return p.status().has_value(); });
  std::optional<double> cpu = cpuSeconds(p);
  bool said = p.errors().starts_with("error: ") || p.errors().find("\nerror: ") != std::string::npos;
  std::string end = p.status()
                        ? format("%s after %.0f ms", describeEnd(p).c_str(), secondsBetween(t0, p.exitedAt()) * 1e3)
                        : "still running after 2 s (" + waitingIn(p.pid()) + ")";
  return {end + format("; %zu replies read; CPU %s", replies, cpu ? format("%.0f ms", *cpu * 1e3).c_str() : "n/a"),
          exited(p, 1) && said && cpu && *cpu < 0.2};
}

Outcome nofile(const std::string& server) {
  Step cases[] = {nofileCase(server, ping("1"), false),
                  nofileCase(server, callBatch(100, "echo", echoOf(2000)), true)};
  return {passIf(cases[0].ok && cases[1].ok),
          format("%d of 2 cases meet the target", cases[0].ok + cases[1].ok),
          {format("%-26s %s%s", "one ping", cases[0].words.c_str(), cases[0].ok ? "" : "  <- FAIL"),
           format("%-26s %s%s", "100 echo 2 kB, unread", cases[1].words.c_str(), cases[1].ok ? "" : "  <- FAIL")}};
}

// Standard output a file capped at 100 KiB (RLIMIT_FSIZE), 2000 echo calls, then end of input: the
// server must not die of SIGXFSZ, and the file must hold whole replies only.
Outcome fsize(const std::string& server) {
  char dir[] = "/tmp/demo_probe.XXXXXX";
  if (!::mkdtemp(dir)) return {Verdict::Fail, format("mkdtemp failed: %s", std::strerror(errno)), {}};
  const std::string file = std::string(dir) + "/stdout";
  const std::string text(200, 'z');
  Process p(server, {.stdout_file = file, .limits = {{RLIMIT_FSIZE, 102'400}}});
  p.send(callBatch(2000, "echo", R"({"text":")" + text + R"("})"));
  p.closeInput();
  p.runUntil(Clock::now() + milliseconds(5000), [&] { return p.status().has_value(); });
  std::ifstream in(file, std::ios::binary);
  std::string written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ::unlink(file.c_str());
  ::rmdir(dir);
  int whole = 0;
  int broken = 0;
  for (std::size_t at = 0; at < written.size();) {
    std::size_t nl = std::min(written.find('\n', at), written.size());
    std::string_view line = std::string_view(written).substr(at, nl - at);
    bool ok = idOf(line).size() > 0 && textOf(line) == text && line.ends_with("}");
    (ok ? whole : broken) += 1;
    at = nl + 1;
  }
  bool ends = written.ends_with('\n');
  std::string end = p.status() ? describeEnd(p) : "no exit in 5 s";
  return {passIf(exited(p, 0) && ends && broken == 0),
          format("%s; file %zu bytes, %d whole replies, %d broken lines, %s", end.c_str(), written.size(), whole,
                 broken, ends ? "ends with a newline" : "ends inside a line"),
          {}};
}

// What came of a ping to a server under an address-space cap: "ok" (answered, exit 0), "oom"
// (exit 1 and nothing but "error: OutOfMemory" on standard error) or what else happened.
std::string startUnder(const std::string& server, rlim_t bytes) {
  Process p(server, {bytes});
  Heard heard;
  listen(p, heard);
  p.send(ping("1"));
  p.closeInput();
  p.runUntil(Clock::now() + milliseconds(2000), [&] { return p.finished(); });
  bool answered = heard.replies.contains("1");
  if (answered && exited(p, 0)) return "ok";
  if (!answered && exited(p, 1) && p.errors() == "error: OutOfMemory\n") return "oom";
  std::string said;
  for (char c : p.errors().substr(0, 60)) said += c == '\n' ? std::string("\\n") : std::string(1, c);
  std::string end = !p.status()                ? "no exit in 2 s"
                    : WIFEXITED(*p.status())   ? format("exit %d", WEXITSTATUS(*p.status()))
                    : WIFSIGNALED(*p.status()) ? format("signal %d", WTERMSIG(*p.status()))
                                               : "stopped";
  return end + (answered ? ", ping answered" : "") + (said.empty() ? ", stderr empty" : ", stderr \"" + said + "\"");
}

// Start-up under address-space caps from 1 to 12 MiB: every outcome must be a clean answer or a
// clean "out of memory".
Outcome startupCaps(const std::string& server) {
  constexpr rlim_t kib = 1024;
  std::vector<rlim_t> caps;
  for (rlim_t c = 1024 * kib; c <= 12 * 1024 * kib; c += 64 * kib) caps.push_back(c);
  for (rlim_t c = 5632 * kib; c <= 6349 * kib; c += 8 * kib) caps.push_back(c);  // 5.5 to 6.2 MiB
  std::sort(caps.begin(), caps.end());
  caps.erase(std::unique(caps.begin(), caps.end()), caps.end());
  std::vector<std::string> outcomes;
  for (rlim_t c : caps) outcomes.push_back(startUnder(server, c));
  Outcome result{Verdict::Pass, {}, {}};
  int ok = 0;
  int oom = 0;
  std::string first_ok = "never";
  // Under the smallest caps the system's loader (exit 127) or the exec and the C library's start-up
  // (a segfault with nothing said) fail before main: listed, but beyond the program's reach. From
  // the first cap with any other outcome on, the program itself decides.
  auto beforeMain = [](const std::string& o) { return o.starts_with("exit 127") || o == "signal 11, stderr empty"; };
  std::size_t first_run = caps.size();
  for (std::size_t i = 0; i < caps.size() && first_run == caps.size(); ++i) {
    if (!beforeMain(outcomes[i])) first_run = i;
  }
  int before_main = 0;
  for (std::size_t i = 0; i < caps.size();) {
    std::size_t j = i;
    while (j + 1 < caps.size() && outcomes[j + 1] == outcomes[i]) ++j;
    int n = static_cast<int>(j - i + 1);
    if (outcomes[i] == "ok") ok += n;
    else if (outcomes[i] == "oom") oom += n;
    else if (i < first_run) before_main += n;
    if (outcomes[i] != "ok" && outcomes[i] != "oom") {
      result.details.push_back(format("%7.3f-%7.3f MiB (%3d caps): %s%s", static_cast<double>(caps[i]) / (1 << 20),
                                      static_cast<double>(caps[j]) / (1 << 20), n, outcomes[i].c_str(),
                                      i < first_run ? "  (before main)" : ""));
    }
    if (outcomes[i] == "ok" && first_ok == "never") {
      first_ok = format("%.3f MiB", static_cast<double>(caps[i]) / (1 << 20));
    }
    i = j + 1;
  }
  int bad = static_cast<int>(caps.size()) - ok - oom - before_main;
  result.verdict = passIf(bad == 0);
  result.figures = format("%zu caps: %d answered, %d OutOfMemory, %d fail before main, %d otherwise; first answer at %s",
                          caps.size(), ok, oom, before_main, bad, first_ok.c_str());
  return result;
}

// Cold start (from before the fork to the initialize reply) and memory after it; medians of ten.
Outcome idle(const std::string& server) {
  const std::string initialize =
      std::string(head) + R"(1,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
                          R"("capabilities":{},"clientInfo":{"name":"demo_probe","version":"1.0"}}})" "\n";
  std::vector<double> starts;
  std::vector<double> rss;
  for (int i = 0; i < 10; ++i) {
    Clock::time_point t0 = Clock::now();
    Process p(server, {});
    Heard heard;
    listen(p, heard);
    p.send(initialize);
    if (!p.runUntil(t0 + milliseconds(2000), [&] { return heard.replies.contains("1"); })) {
      return {Verdict::Fail, "no initialize reply within 2 s: " + describeEnd(p), {}};
    }
    starts.push_back(*replyAfter(heard, "1", t0));
    if (std::optional<double> kb = procStatus(p.pid(), "VmRSS")) rss.push_back(*kb / 1024);
    p.closeInput();
    p.runUntil(Clock::now() + milliseconds(2000), [&] { return p.status().has_value(); });
  }
  auto [fastest, slowest] = std::minmax_element(starts.begin(), starts.end());
  return {Verdict::Figures,
          format("cold start %.2f ms (%.2f-%.2f); idle RSS %s", median(starts) * 1e3, *fastest * 1e3,
                 *slowest * 1e3, rss.empty() ? "n/a" : format("%.2f MiB", median(rss)).c_str()),
          {}};
}

struct Probe {
  std::string_view name;
  std::string_view target;
  Outcome (*run)(const std::string& server);
  bool named_only = false;  // too heavy to run unless asked for by name
};

constexpr Probe probes[] = {
    {"slow50", "each reply <= 0.51 s; ping <= 20 ms", slow50},
    {"slow1000", "each reply <= 2.1 s; ping <= 20 ms", slow1000},
    {"slow100k", "each reply <= 2.3 s; ping <= 5 ms; RSS <= 64 MiB; 1 thread", slow100k},
    {"slow1m", "(figures; aim: each reply <= 12 s, RSS <= 1 GiB)", slow1m, true},
    {"ask_full", "ask_client answered; ping <= 20 ms", askFull},
    {"ask100k", "ask_client answered", ask100k},
    {"rlimit", "replies <= 1 s; ask answered, ping <= 1 s", rlimitProbe},
    {"crash_full", "exit 3 <= 100 ms; message on stderr", crashFull},
    {"backlog", "each case meets its target (below)", backlog},
    {"nonblocking", "all replies, exit 0, no error line", nonblocking},
    {"hostile", "(figures only)", hostile},
    {"blocking_pipe", "each case: exit 3 <= 0.5 s after crash, output unread", blockingPipe},
    {"terminal", "stopped stderr: answers <= 0.5 s; unread stdout: exit 3 <= 200 ms", terminal},
    {"steady_reader", "RSS peak < 48 MiB, growth <= 2 MiB over the last 10 s", steadyReader},
    {"burst_idle", "idle RSS < 16 MiB 1 s after the last reply", burstIdle},
    {"nofile", "RLIMIT_NOFILE 1: exit 1, \"error: \" line, <= 2 s, CPU < 200 ms", nofile},
    {"fsize", "RLIMIT_FSIZE 100 KiB: exit 0, whole lines, ends with newline", fsize},
    {"startup_caps", "RLIMIT_AS 1-12 MiB: once main runs, answer + exit 0 or exit 1 + OutOfMemory", startupCaps},
    {"idle", "(figures only)", idle},
};

}  // namespace

int main(int argc, char** argv) {
  ::signal(SIGPIPE, SIG_IGN);  // a server that dies must fail our writes, not end us
  std::string server;
  std::vector<const Probe*> chosen;
  for (int i = 1; i < argc; ++i) {
    std::string_view arg = argv[i];
    if (arg == "--server" && i + 1 < argc) {
      server = argv[++i];
      continue;
    }
    auto it = std::find_if(std::begin(probes), std::end(probes), [&](const Probe& p) { return p.name == arg; });
    if (it == std::end(probes)) {
      std::fprintf(stderr, "usage: demo_probe --server PATH [probe...]\nprobes:");
      for (const Probe& p : probes) {
        std::fprintf(stderr, " %.*s%s", static_cast<int>(p.name.size()), p.name.data(),
                     p.named_only ? " (only when named)" : "");
      }
      std::fprintf(stderr, "\n");
      return 2;
    }
    chosen.push_back(it);
  }
  if (server.empty() || ::access(server.c_str(), X_OK) != 0) {
    std::fprintf(stderr, "demo_probe: no server at '%s' (use --server PATH)\n", server.c_str());
    return 2;
  }
  if (chosen.empty()) {
    for (const Probe& p : probes) {
      if (!p.named_only) chosen.push_back(&p);
    }
  }
  int width = 42;  // of the target column
  for (const Probe* probe : chosen) width = std::max(width, static_cast<int>(probe->target.size()));
  std::printf("%-12s %-6s %-*s %s\n", "probe", "result", width, "target", "figures");
  int failed = 0;
  for (const Probe* probe : chosen) {
    Outcome o = probe->run(server);
    const char* verdict = o.verdict == Verdict::Pass ? "PASS" : o.verdict == Verdict::Fail ? "FAIL" : "--";
    failed += o.verdict == Verdict::Fail;
    std::printf("%-12.*s %-6s %-*.*s %s\n", static_cast<int>(probe->name.size()), probe->name.data(), verdict, width,
                static_cast<int>(probe->target.size()), probe->target.data(), o.figures.c_str());
    for (const std::string& line : o.details) std::printf("%-19s %s\n", "", line.c_str());
    std::fflush(stdout);
  }
  return failed ? 1 : 0;
}
