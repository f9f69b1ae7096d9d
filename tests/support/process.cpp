#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

namespace {
std::atomic<std::size_t> servers_started{0};
}  // namespace

std::size_t serversStarted() { return servers_started.load(); }

ServerPipes startServer(const ServerStart& how) {
  servers_started.fetch_add(1);
  ::signal(SIGPIPE, SIG_IGN);  // the test writes to a server that may be gone
  int in[2] = {how.in_fd, -1}, out[2] = {-1, how.out_fd}, err[2] = {-1, how.err_fd};
  if ((how.in_fd < 0 && ::pipe(in) != 0) || (how.out_fd < 0 && ::pipe(out) != 0) || (how.err_fd < 0 && ::pipe(err) != 0)) return {};
  pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) {
      if (fd > 2) ::close(fd);
    }
    if (how.nonblocking_stdin) ::fcntl(0, F_SETFL, ::fcntl(0, F_GETFL) | O_NONBLOCK);
    if (how.nonblocking_stdout) ::fcntl(1, F_SETFL, ::fcntl(1, F_GETFL) | O_NONBLOCK);
    if (how.file_size_limit >= 0) {
      rlimit limit{static_cast<rlim_t>(how.file_size_limit), static_cast<rlim_t>(how.file_size_limit)};
      ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    if (how.descriptor_limit >= 0) {
      rlimit limit{static_cast<rlim_t>(how.descriptor_limit), static_cast<rlim_t>(how.descriptor_limit)};
      ::setrlimit(RLIMIT_NOFILE, &limit);
    }
    std::vector<char*> argv{const_cast<char*>("demo_server")};
    for (const std::string& arg : how.args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    ::execv(DEMO_SERVER_PATH, argv.data());
    ::_exit(127);
  }
  if (how.in_fd < 0) ::close(in[0]);
  if (how.out_fd < 0) ::close(out[1]);
  if (how.err_fd < 0) ::close(err[1]);
  return {pid, in[1], out[0], err[0]};
}

ProcessResult runServer(std::string_view input, ProcessOptions options) {
  auto [pid, input_fd, output_fd, error_fd] =
      startServer({.nonblocking_stdin = options.nonblocking_stdin,
                   .nonblocking_stdout = options.nonblocking_stdout,
                   .args = options.args});
  int in[2] = {-1, input_fd}, out[2] = {output_fd, -1}, err[2] = {error_fd, -1};
  if (options.close_stdout_first) {
    ::close(out[0]);
    out[0] = -1;
  }
  ::fcntl(in[1], F_SETFL, O_NONBLOCK);

  ProcessResult result;
  std::size_t sent = 0;
  if (input.empty()) {
    ::close(in[1]);
    in[1] = -1;
  }
  auto start = std::chrono::steady_clock::now();
  auto deadline = start + std::chrono::duration<double>(options.timeout_seconds);
  auto first_read = start + std::chrono::duration<double>(options.first_read_after);
  // Standard output not yet read keeps the run going only while the server may still write to it.
  for (;;) {
    bool reading = std::chrono::steady_clock::now() >= first_read;
    if (in[1] < 0 && err[0] < 0 && (out[0] < 0 || !reading)) break;
    pollfd fds[3] = {{in[1], POLLOUT, 0}, {reading ? out[0] : -1, POLLIN, 0}, {err[0], POLLIN, 0}};
    if (::poll(fds, 3, 100) < 0) continue;
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      break;
    }
    if (in[1] >= 0 && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
      ssize_t n = ::write(in[1], input.data() + sent, input.size() - sent);
      if (n > 0) sent += static_cast<std::size_t>(n);
      if (n < 0 && errno != EAGAIN) sent = input.size();
      if (sent == input.size()) {
        ::close(in[1]);
        in[1] = -1;
      }
    }
    for (int i : {1, 2}) {
      if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
      char chunk[65536];
      ssize_t n = ::read(fds[i].fd, chunk, sizeof chunk);
      if (n > 0) {
        (i == 1 ? result.out : result.err).append(chunk, static_cast<std::size_t>(n));
      } else if (n == 0 || errno != EINTR) {
        ::close(fds[i].fd);
        (i == 1 ? out[0] : err[0]) = -1;
      }
    }
  }
  if (out[0] >= 0) {  // what the server left unread when it ended
    ::fcntl(out[0], F_SETFL, O_NONBLOCK);
    char chunk[65536];
    for (ssize_t n; (n = ::read(out[0], chunk, sizeof chunk)) > 0;) result.out.append(chunk, static_cast<std::size_t>(n));
  }
  for (int fd : {in[1], out[0], err[0]}) {
    if (fd >= 0) ::close(fd);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  result.exit_code = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result;
}
