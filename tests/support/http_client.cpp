#include "support/http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>

const std::string json_headers = "Accept: application/json, text/event-stream\r\nContent-Type: application/json\r\n";

HttpServerProcess::HttpServerProcess(long long descriptor_limit) {
  pipes = startServer({.descriptor_limit = descriptor_limit, .args = {"--http", "0"}});
  std::string err;
  char chunk[512];
  for (int i = 0; i < 500 && err.find("/mcp\n") == std::string::npos; ++i) {
    pollfd fd{pipes.err, POLLIN, 0};
    ::poll(&fd, 1, 10);
    ssize_t n = ::read(pipes.err, chunk, sizeof chunk);
    if (n > 0) err.append(chunk, static_cast<std::size_t>(n));
  }
  std::size_t colon = err.rfind(':');
  port = colon == std::string::npos ? 0 : std::stoi(err.substr(colon + 1));
}

HttpServerProcess::~HttpServerProcess() {
  ::kill(pipes.pid, SIGKILL);
  ::waitpid(pipes.pid, nullptr, 0);
  for (int fd : {pipes.in, pipes.out, pipes.err}) ::close(fd);
}

int HttpServerProcess::send(const std::string& request) const {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
      ::write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
    return fd;
  }
  ::close(fd);
  return -1;
}

std::string HttpServerProcess::readAll(int fd) {
  std::string got;
  char chunk[4096];
  for (ssize_t n; fd >= 0 && (n = ::read(fd, chunk, sizeof chunk)) > 0;) got.append(chunk, static_cast<std::size_t>(n));
  if (fd >= 0) ::close(fd);
  return got;
}

std::string HttpServerProcess::readHead(int fd) {
  std::string got;
  char c;
  while (!got.ends_with("\r\n\r\n") && ::read(fd, &c, 1) == 1) got += c;
  return got;
}

std::string HttpServerProcess::initializeSession(const std::string& version) const {
  const std::string initialize = R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":")" +
                                 version + R"(","capabilities":{},"clientInfo":{"name":"t","version":"1"}}})";
  std::string got = exchange(postRequest(json_headers, initialize));
  std::size_t at = got.find("Mcp-Session-Id: ");
  return at == std::string::npos ? std::string() : got.substr(at + 16, got.find('\r', at) - at - 16);
}

std::string postRequest(const std::string& headers, const std::string& body) {
  return "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n" + headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}
