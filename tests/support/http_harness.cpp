#include "support/http_harness.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "server/server.h"
#include "support/http_client.h"

namespace {

void handleWithServer(void* s, const Answering& to, std::pmr::memory_resource& a, const json::Value& message,
                      std::string_view line) noexcept {
  handleMessage(*static_cast<Server*>(s), to, a, message, line);
}

void endWithServer(void* s, Session& session) noexcept { endSubscriptions(*static_cast<Server*>(s), session); }

}  // namespace

HttpHarness::HttpHarness(const HttpLimits& limits, const SessionLimits& sessions, SessionHandler handler)
    : gpa(*std::pmr::new_delete_resource()), loop(gpa, clock.source()), server(initServer(gpa, loop)) {
  sys::Stream listener;
  if (sys::listenTcp("127.0.0.1", 0, listener) != 0) return;
  rules.port = sys::localPort(listener);
  port = rules.port;
  if (!handler.handle) handler = SessionHandler{server.get(), &handleWithServer, &endWithServer};
  http = startHttp(gpa, loop, handler, listener, sinkOf(log), rules, limits, sessions);
}

HttpHarness::~HttpHarness() {
  http.reset();
  advance(std::chrono::hours(1));  // what still waits ends
}

void HttpHarness::run() {
  std::uint32_t error = 0;
  // A turn that waited its whole millisecond found nothing to do; three such in a row end the run.
  for (int idle = 0, turns = 0; idle < 3 && turns < 200000; ++turns) {
    const auto start = std::chrono::steady_clock::now();
    loop.turn(std::chrono::milliseconds(1), error);
    idle = std::chrono::steady_clock::now() - start >= std::chrono::microseconds(950) ? idle + 1 : 0;
  }
}

void HttpHarness::advance(std::chrono::nanoseconds d) {
  const Loop::Time until = clock.now + d;
  for (std::optional<Loop::Time> next; (next = loop.nextDeadline()) && *next <= until;) {
    clock.now = std::max(clock.now, *next);
    run();
  }
  clock.now = until;
  run();
}

int HttpHarness::connect(int receive_buffer) const {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (receive_buffer > 0) ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

void HttpHarness::send(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0 && errno != EAGAIN) return;
    if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n));
    run();
  }
  run();
}

std::string HttpHarness::read(int fd, bool* closed) {
  run();
  std::string got;
  char chunk[65536];
  if (closed) *closed = false;
  // What has come is taken all at once before the server runs again: its answers go on while
  // they are read.
  for (bool came = false;;) {
    const ssize_t n = ::recv(fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (n > 0) {
      got.append(chunk, static_cast<std::size_t>(n));
      came = true;
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && came) {
      run();
      came = false;
      continue;
    }
    if (closed) *closed = n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK);
    return got;
  }
}

std::string HttpHarness::exchange(std::string_view request) {
  int fd = connect();
  send(fd, request);
  std::string got = read(fd);
  ::close(fd);
  run();
  return got;
}

std::string HttpHarness::initializeSession(const std::string& version) {
  const std::string init = R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":")" +
                           version + R"(","capabilities":{"roots":{}},"clientInfo":{"name":"t","version":"1"}}})";
  const std::string got = exchange(postRequest(json_headers, init));
  const std::size_t at = got.find("Mcp-Session-Id: ");
  return at == std::string::npos ? std::string() : got.substr(at + 16, got.find('\r', at) - at - 16);
}

std::string keptPost(const std::string& headers, const std::string& body) {
  return "POST /mcp HTTP/1.1\r\nHost: 127.0.0.1\r\n" + headers + json_headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string toolCall(int id, const std::string& tool, const std::string& arguments) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/call","params":{"name":")" + tool +
         R"(","arguments":)" + arguments + "}}";
}
