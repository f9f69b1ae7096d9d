// Malformed and hostile requests against the real server: each is answered with its status on a
// connection of its own, and where its framing is in doubt that connection closes; nobody else's
// session, call or connection notices.

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <string_view>

#include "support/http_client.h"

namespace {

// What came back on `fd` within 2 s, and whether the server closed the connection by then. Closes `fd`.
struct Received {
  std::string text;
  bool closed = false;
};

Received receive(int fd) {
  Received r;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  char chunk[4096];
  while (fd >= 0 && !r.closed) {
    const auto left = deadline - std::chrono::steady_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(left).count();
    pollfd p{fd, POLLIN, 0};
    if (ms <= 0 || ::poll(&p, 1, static_cast<int>(ms)) <= 0) break;
    const ssize_t n = ::read(fd, chunk, sizeof chunk);
    if (n > 0) r.text.append(chunk, static_cast<std::size_t>(n));
    r.closed = n <= 0;  // the end, or a reset
  }
  if (fd >= 0) ::close(fd);
  return r;
}

// The statuses of the responses in `text`, in order, as "200, 400 close": " close" marks a response
// that says Connection: close, and "?" bytes that are no response with a Content-Length.
std::string statuses(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    if (!out.empty()) out += ", ";
    const std::size_t end = text.find("\r\n\r\n"), length = text.find("\r\nContent-Length: ");
    if (!text.starts_with("HTTP/1.1 ") || end == std::string_view::npos || length > end) return out + "?";
    out += text.substr(9, 3);
    if (text.substr(0, end + 2).find("\r\nConnection: close\r\n") != std::string_view::npos) out += " close";
    const std::size_t body = std::stoul(std::string(text.substr(length + 18, end - length - 18)));
    text.remove_prefix(std::min(text.size(), end + 4 + body));
  }
  return out;
}

// While another session's call runs on its stream, each hostile request gets its status alone.
TEST(HttpTransport, HostileRequestsCostOnlyThemselves) {
  HttpServerProcess server;
  const std::string sid = server.initializeSession();
  ASSERT_FALSE(sid.empty());
  const std::string session = "Mcp-Session-Id: " + sid + "\r\n";
  const std::string slow =
      R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"slow","arguments":{"seconds":1}}})";
  const int bystander = server.send(postRequest(json_headers + session, slow));
  ASSERT_GE(bystander, 0);
  ASSERT_TRUE(HttpServerProcess::readHead(bystander).starts_with(
      "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n"));

  const std::string post = "POST /mcp HTTP/1.1\r\nHost: localhost\r\n";
  const std::string ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
  const std::string kept_ping =
      post + json_headers + session + "Content-Length: " + std::to_string(ping.size()) + "\r\n\r\n" + ping;
  const std::string smuggled = "GET /mcp HTTP/1.1\r\nHost: localhost\r\n\r\n";
  std::string many_fields = post;
  for (int i = 0; i < 64; ++i) many_fields += "X-Note: a\r\n";
  struct Case {
    const char* name;
    std::string request;
    const char* replies;
  } cases[] = {
      {"Content-Length and Transfer-Encoding",
       post + "Content-Length: 5\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n" + smuggled, "400 close"},
      {"two Content-Lengths", post + "Content-Length: 2\r\nContent-Length: 4\r\n\r\n{}{}", "400 close"},
      {"a Content-Length list of two values", post + "Content-Length: 2, 4\r\n\r\n{}{}", "400 close"},
      {"a Content-Length over 64 bits", post + "Content-Length: 18446744073709551616\r\n\r\n", "400 close"},
      {"a folded header line", post + "Content-Length: 0\r\nX-Note: a\r\n Transfer-Encoding: chunked\r\n\r\n",
       "400 close"},
      {"a bare CR", post + "X-Note: a\rContent-Length: 2\r\nContent-Length: 0\r\n\r\n{}", "400 close"},
      {"bare LF line ends", "POST /mcp HTTP/1.1\nHost: localhost\nContent-Length: 0\n\n", "400 close"},
      {"whitespace before the colon", post + "Content-Length: 0\r\nTransfer-Encoding : chunked\r\n\r\n", "400 close"},
      {"a NUL in a header value", post + "X-Note: a" + '\0' + "b\r\nContent-Length: 0\r\n\r\n", "400 close"},
      {"a bad chunk size", post + "Transfer-Encoding: chunked\r\n\r\nzz\r\n{}\r\n0\r\n\r\n", "400 close"},
      {"a chunk size over 64 bits", post + "Transfer-Encoding: chunked\r\n\r\n10000000000000002\r\n{}\r\n0\r\n\r\n",
       "400 close"},
      {"chunk data longer than its size", post + "Transfer-Encoding: chunked\r\n\r\n1\r\n{}\r\n0\r\n\r\n", "400 close"},
      {"an unknown transfer coding", post + "Transfer-Encoding: gzip\r\n\r\n", "501 close"},
      {"chunked, then another coding", post + "Transfer-Encoding: chunked, identity\r\n\r\n0\r\n\r\n", "400 close"},
      {"chunked twice", post + "Transfer-Encoding: chunked\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       "400 close"},
      {"Transfer-Encoding in HTTP/1.0",
       "POST /mcp HTTP/1.0\r\nHost: localhost\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", "400 close"},
      {"two Host fields", "GET /mcp HTTP/1.1\r\nHost: localhost\r\nHost: evil.test\r\n\r\n", "400 close"},
      {"a head over 16 KiB", post + "X-Note: " + std::string(17000, 'a') + "\r\n\r\n", "431 close"},
      {"65 header fields", many_fields + "\r\n", "431 close"},
      {"HTTP/2.0", "GET /mcp HTTP/2.0\r\nHost: localhost\r\n\r\n", "505 close"},
      {"HTTP/0.9", "GET /mcp HTTP/0.9\r\nHost: localhost\r\n\r\n", "505 close"},
      {"a request line without a version", "GET /mcp\r\n\r\n", "400 close"},
      {"a garbage request line", "\x16\x03\x01 hello there\r\n\r\n", "400 close"},
      {"a target with userinfo", "GET http://evil.test@localhost/mcp HTTP/1.1\r\nHost: localhost\r\n\r\n",
       "400 close"},
      {"an unsupported method, then a request",
       "PATCH /mcp HTTP/1.1\r\nHost: localhost\r\nContent-Length: 0\r\n\r\n" + postRequest(json_headers + session, ping),
       "405, 200 close"},
      {"a good request, then a refused one", kept_ping + post + "Content-Length: 1\r\nContent-Length: 2\r\n\r\n{}",
       "200, 400 close"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Received got = receive(server.send(c.request));
    EXPECT_EQ(statuses(got.text), c.replies) << got.text;
    EXPECT_TRUE(got.closed);
  }

  const std::string rest = HttpServerProcess::readAll(bystander);
  EXPECT_NE(rest.find(R"(data: {"jsonrpc":"2.0","id":2,"result":{"content":[{"type":"text","text":"slept 1 s"}])"),
            std::string::npos) << rest;
  EXPECT_TRUE(rest.ends_with("\n\n\r\n0\r\n\r\n")) << rest;
  EXPECT_EQ(statuses(server.exchange(postRequest(json_headers + session, ping))), "200 close");
  EXPECT_EQ(::waitpid(server.pipes.pid, nullptr, WNOHANG), 0);
}

}  // namespace
