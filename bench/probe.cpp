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
// server's own requests, and notices the exit. Thread counts and memory come from /proc where it
// exists; elsewhere those figures read "n/a".

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
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

double secondsBetween(Clock::time_point t0, Clock::time_point t1) {
  return std::chrono::duration<double>(t1 - t0).count();
}

[[gnu::format(printf, 1, 2)]] std::string format(const char* fmt, ...) {
  char text[512];
  va_list args;
  va_start(args, fmt);
  std::vsnprintf(text, sizeof text, fmt, args);
  va_end(args);
  return text;
}

// How a server is started: a cap on its address space, and which of its pipe ends are non-blocking.
struct Launch {
  rlim_t address_space = 0;  // bytes; 0: no cap
  bool nonblocking_stdin = false;
  bool nonblocking_stdout = false;
};

// One server process and its three pipes. Input is queued and written as the pipe takes it; output
// arrives line by line through on_line, stamped with the time it was read; standard error is kept.
// The destructor kills the server if it is still running.
class Process {
 public:
  Process(const std::string& path, const Launch& how);
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  ~Process();

  void send(std::string_view bytes) { input_.append(bytes); }
  std::size_t unsent() const { return input_.size() - sent_; }
  void closeInput() { close_input_ = true; }  // once everything queued is written
  // Bytes of standard output the loop may read from now on; by default there is no limit.
  void allowReading(std::size_t bytes) { read_allowance_ = bytes; }
  // While held, standard error is left unread, so that the server's reports fill its pipe.
  void holdErrors(bool hold) { hold_errors_ = hold; }

  // Runs the loop until done() holds (returns true) or the deadline passes (returns false).
  bool runUntil(Clock::time_point deadline, const std::function<bool()>& done);
  void runFor(milliseconds d) { runUntil(Clock::now() + d, nullptr); }

  pid_t pid() const { return pid_; }
  const std::optional<int>& status() const { return status_; }  // the wait status, once it exited
  Clock::time_point exitedAt() const { return exited_at_; }
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
  std::string input_;
  std::size_t sent_ = 0;
  bool close_input_ = false;
  std::string output_;
  std::size_t read_allowance_ = SIZE_MAX;
  std::vector<char> chunk_ = std::vector<char>(1 << 16);
  bool hold_errors_ = false;
  std::string errors_;
  std::optional<int> status_;
  Clock::time_point exited_at_{};
};

Process::Process(const std::string& path, const Launch& how) {
  int to[2];
  int from[2];
  int err[2];
  if (::pipe(to) != 0 || ::pipe(from) != 0 || ::pipe(err) != 0) {
    std::fprintf(stderr, "demo_probe: pipe failed: %s\n", std::strerror(errno));
    std::exit(2);
  }
  for (int fd : {to[0], to[1], from[0], from[1], err[0], err[1]}) ::fcntl(fd, F_SETFD, FD_CLOEXEC);
  // O_NONBLOCK belongs to the open pipe end, so the server inherits what is set here.
  if (how.nonblocking_stdin) ::fcntl(to[0], F_SETFL, ::fcntl(to[0], F_GETFL) | O_NONBLOCK);
  if (how.nonblocking_stdout) ::fcntl(from[1], F_SETFL, ::fcntl(from[1], F_GETFL) | O_NONBLOCK);
  std::string program = path;
  char* argv[] = {program.data(), nullptr};
  rlimit cap{how.address_space, how.address_space};
  pid_ = ::fork();
  if (pid_ == 0) {  // the child: only async-signal-safe calls from here to exec
    ::dup2(to[0], 0);
    ::dup2(from[1], 1);
    ::dup2(err[1], 2);
    if (how.address_space != 0 && ::setrlimit(RLIMIT_AS, &cap) != 0) ::_exit(126);
    ::execv(argv[0], argv);
    ::_exit(127);
  }
  if (pid_ < 0) {
    std::fprintf(stderr, "demo_probe: fork failed: %s\n", std::strerror(errno));
    std::exit(2);
  }
  ::close(to[0]);
  ::close(from[1]);
  ::close(err[1]);
  in_ = to[1];
  out_ = from[0];
  err_ = err[0];
  for (int fd : {in_, out_, err_}) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
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
    if (err_ >= 0 && !hold_errors_) fds[n++] = {err_, POLLIN, 0};
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

void Process::readOutput() {
  ssize_t n = ::read(out_, chunk_.data(), std::min(chunk_.size(), read_allowance_));
  Clock::time_point at = Clock::now();
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    ::close(out_);
    out_ = -1;
    return;
  }
  if (read_allowance_ != SIZE_MAX) read_allowance_ -= static_cast<std::size_t>(n);
  std::size_t scan = output_.size();
  output_.append(chunk_.data(), static_cast<std::size_t>(n));
  std::size_t start = 0;
  for (std::size_t nl; (nl = output_.find('\n', scan)) != std::string::npos; scan = start) {
    if (on_line) on_line(std::string_view(output_).substr(start, nl - start), at);
    start = nl + 1;
  }
  output_.erase(0, start);
}

void Process::readErrors() {
  ssize_t n = ::read(err_, chunk_.data(), chunk_.size());
  if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
  if (n <= 0) {
    ::close(err_);
    err_ = -1;
    return;
  }
  errors_.append(chunk_.data(), static_cast<std::size_t>(n));
}

void Process::reap() {
  if (status_) return;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return;
  status_ = status;
  exited_at_ = Clock::now();
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

// One field of /proc/<pid>/status, as a number (kB for memory); nullopt where there is no such file.
std::optional<double> procStatus(pid_t pid, std::string_view field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.starts_with(field) && line.size() > field.size() && line[field.size()] == ':') {
      return std::strtod(line.c_str() + field.size() + 1, nullptr);
    }
  }
  return std::nullopt;
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
Outcome slow100k(const std::string& server) {
  constexpr int n = 100'000;
  Process p(server, {});
  if (!waitReady(p, milliseconds(2000))) return {Verdict::Fail, "no start: " + describeEnd(p), {}};
  SlowRun r = slowRun(p, n, "2", milliseconds(500), milliseconds(12'000));
  bool ok = r.replies == n && r.wrong == 0 && r.last <= 2.3 && r.ping && *r.ping <= 0.005 &&
            (!r.peak_mib || *r.peak_mib <= 64) && (!r.threads || *r.threads == 1);
  std::string ping_words = !r.ping_sent ? "never sent (calls still unsent)"
                                        : millisText(r.ping) + format(" (sent at %.3f s)", *r.ping_sent);
  Outcome out{passIf(ok),
              format("%d/%d replies, last %.3f s; peak RSS %s; ping %s; threads %s at 1 s", r.replies, n, r.last,
                     mibText(r.peak_mib).c_str(), ping_words.c_str(),
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
  Outcome out{Verdict::Figures,
              format("%d/%d replies, last %.3f s; peak RSS %s", r.replies, n, r.last, mibText(r.peak_mib).c_str()),
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
  const std::string id = std::string(257, '[') + std::string(257, ']');
  Process p(server, {});
  if (!waitReady(p, milliseconds(2000))) return {"no start: " + describeEnd(p), false};
  std::string input;
  for (int i = 0; i < 2000; ++i) input += R"({"jsonrpc":"2.0","method":"ping","id":)" + id + "}\n";
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

Outcome backlog(const std::string& server) {
  struct Case {
    const char* name;
    Step (*run)(const std::string& server);
  } cases[] = {{"crash", crashBehindReplies}, {"stderr", reportsHeld}, {"ask", askHeld}, {"slow", slowHeld}};
  Outcome result{Verdict::Pass, {}, {}};
  int passed = 0;
  for (const Case& c : cases) {
    Step step = c.run(server);
    passed += step.ok;
    result.details.push_back(format("%-7s %s%s", c.name, step.words.c_str(), step.ok ? "" : "  <- FAIL"));
  }
  result.verdict = passIf(passed == 4);
  result.figures = format("%d of 4 cases meet their target", passed);
  return result;
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
  Outcome result{Verdict::Pass, {}, {}};
  int passed = 0;
  for (const Case& c : cases) {
    Step step = nonblockingCase(server, c.in, c.out);
    passed += step.ok;
    result.details.push_back(format("%-8s %s%s", c.name, step.words.c_str(), step.ok ? "" : "  <- FAIL"));
  }
  result.verdict = passIf(passed == 4);
  result.figures = format("%d of 4 combinations (non-blocking stdin/stdout) get every reply and exit 0", passed);
  return result;
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

// Threads left after a burst of 300 short calls, sampled as time passes.
Outcome retire(const std::string& server) {
  Process p(server, {});
  Heard heard;
  listen(p, heard);
  if (!waitReady(p, milliseconds(2000))) return {Verdict::Fail, "no start: " + describeEnd(p), {}};
  p.send(callBatch(300, "slow", R"({"seconds":0.1})"));
  if (!p.runUntil(Clock::now() + milliseconds(10'000), [&] { return heard.replies.size() == 300; })) {
    return {Verdict::Fail, format("only %zu/300 replies in 10 s", heard.replies.size()), {}};
  }
  Clock::time_point done = Clock::now();
  std::string figures = "threads";
  std::optional<double> at5;
  for (int second : {0, 2, 5, 10}) {
    p.runUntil(done + std::chrono::seconds(second), nullptr);
    std::optional<double> threads = procStatus(p.pid(), "Threads");
    if (!threads) return {Verdict::Figures, "thread count not available on this system", {}};
    figures += format(" %.0f at %d s,", *threads, second);
    if (second == 5) at5 = threads;
  }
  figures.pop_back();
  return {passIf(at5 && *at5 <= 2), figures, {}};
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
    {"retire", "<= 2 threads at 5 s", retire},
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
