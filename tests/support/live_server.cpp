#include "support/live_server.h"

#include "support/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <chrono>

namespace {

// Reads what `fd` holds now; false once its writer has closed it.
bool readAvailable(int fd, std::string& into) {
  char chunk[65536];
  ssize_t n;
  while ((n = ::read(fd, chunk, sizeof chunk)) > 0) into.append(chunk, static_cast<std::size_t>(n));
  return n != 0;
}

}  // namespace

LiveServer::LiveServer(const ServerStart& how) {
  ServerPipes server = startServer(how);
  pid_ = server.pid;
  in_ = server.in;
  out_ = server.out;
  err_ = server.err;
  for (int fd : {out_, err_}) {
    if (fd >= 0) ::fcntl(fd, F_SETFL, O_NONBLOCK);
  }
}

LiveServer::~LiveServer() {
  if (status_ < 0 && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  for (int fd : {in_, out_, err_}) {
    if (fd >= 0) ::close(fd);
  }
}

void LiveServer::write(std::string_view text) {
  while (!text.empty() && in_ >= 0) {
    // Keep draining the server's output meanwhile, so neither side blocks on a full pipe.
    if (out_ >= 0) readAvailable(out_, out_buffer_);
    if (err_ >= 0) readAvailable(err_, err_buffer_);
    pollfd fd{in_, POLLOUT, 0};
    ::poll(&fd, 1, 10);
    if (!(fd.revents & (POLLOUT | POLLERR | POLLHUP))) continue;
    ::fcntl(in_, F_SETFL, O_NONBLOCK);
    ssize_t n = ::write(in_, text.data(), text.size());
    if (n > 0) text.remove_prefix(static_cast<std::size_t>(n));
    if (n < 0 && errno != EAGAIN) return;
  }
}

std::optional<std::string> LiveServer::readLine(double seconds) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    std::size_t newline = out_buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = out_buffer_.substr(0, newline);
      out_buffer_.erase(0, newline + 1);
      return line;
    }
    if (out_ < 0 || std::chrono::steady_clock::now() > deadline) return std::nullopt;
    pollfd fd{out_, POLLIN, 0};
    ::poll(&fd, 1, 10);
    std::size_t before = out_buffer_.size();
    readAvailable(out_, out_buffer_);
    if (out_buffer_.size() == before && (fd.revents & POLLHUP)) return std::nullopt;
  }
}

void LiveServer::closeInput() {
  if (in_ >= 0) ::close(in_);
  in_ = -1;
}

void LiveServer::closeOutput() {
  if (out_ >= 0) ::close(out_);
  out_ = -1;
}

int LiveServer::wait(double seconds) {
  if (status_ >= 0) return status_;
  // The server's standard error closes when it exits: wait on that, taking its output meanwhile.
  // When the test gave it another standard error, look at the process every few milliseconds.
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  int status = 0;
  for (bool running = true; running;) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return -1;
    pollfd fds[2] = {{err_, POLLIN, 0}, {out_, POLLIN, 0}};
    ::poll(fds, 2, static_cast<int>(err_ >= 0 ? left : std::min<decltype(left)>(left, 5)));
    if (out_ >= 0) readAvailable(out_, out_buffer_);
    if (err_ >= 0) {
      running = readAvailable(err_, err_buffer_);
    } else {
      running = ::waitpid(pid_, &status, WNOHANG) == 0;
    }
  }
  if (err_ >= 0) {
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
  }
  status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return status_;
}

std::string LiveServer::errors() {
  if (err_ >= 0) readAvailable(err_, err_buffer_);
  return err_buffer_;
}
