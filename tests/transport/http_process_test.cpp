// The HTTP transport as a client meets it: the real server started with --http, raw requests on
// their own connections, and the status and headers each gets.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "support/http_client.h"

namespace {

constexpr const char* initialize =
    R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18","capabilities":{},"clientInfo":{"name":"t","version":"1"}}})";
const std::string ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";
std::string post(const std::string& headers, const std::string& body) { return postRequest(headers, body); }

// Each kind of request, and the status, the headers and the body it must get.
TEST(HttpTransport, StatusesAndHeaders) {
  HttpServerProcess server;
  ASSERT_GT(server.port, 0);
  std::string init = server.exchange(post(json_headers, initialize));
  ASSERT_TRUE(init.starts_with("HTTP/1.1 200 OK\r\n")) << init;
  std::size_t at = init.find("Mcp-Session-Id: ");
  ASSERT_NE(at, std::string::npos);
  const std::string sid = init.substr(at + 16, 32);
  const std::string session = "Mcp-Session-Id: " + sid + "\r\n";
  struct Case {
    const char* name;
    std::string request;
    const char* starts;
    const char* contains;
    const char* lacks = nullptr;  // a header it must not carry
  } cases[] = {
      {"a request in its session", post(json_headers + session, ping), "HTTP/1.1 200 OK\r\n", R"("id":1,"result":{})"},
      {"a notification", post(json_headers + session, R"({"jsonrpc":"2.0","method":"notifications/initialized"})"),
       "HTTP/1.1 202 Accepted\r\n", "Content-Length: 0\r\n", "Content-Type"},
      {"no session", post(json_headers, ping), "HTTP/1.1 400 Bad Request\r\n", R"("code":-32000)"},
      {"discovery without a session", post(json_headers, R"({"jsonrpc":"2.0","id":1,"method":"server/discover"})"),
       "HTTP/1.1 400 Bad Request\r\n", R"("code":-32000)"},
      {"an unknown session", post(json_headers + "Mcp-Session-Id: 0123\r\n", ping), "HTTP/1.1 404 Not Found\r\n",
       R"("code":-32001,"message":"Session not found")"},
      {"a waiting call", post(json_headers + session, R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"slow","arguments":{"seconds":0}}})"),
       "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n", "data: {\"jsonrpc\":\"2.0\",\"id\":2,\"result\""},
      {"not JSON", post(json_headers + session, "{"), "HTTP/1.1 400 Bad Request\r\n", R"("code":-32700)"},
      {"a batch", post(json_headers + session, "[" + ping + "]"), "HTTP/1.1 400 Bad Request\r\n", R"("code":-32600)"},
      {"Accept without streams", post("Accept: application/json\r\nContent-Type: application/json\r\n" + session, ping),
       "HTTP/1.1 406 Not Acceptable\r\n", "text/event-stream"},
      {"a form", post("Accept: application/json, text/event-stream\r\nContent-Type: text/plain\r\n" + session, ping),
       "HTTP/1.1 415 Unsupported Media Type\r\n", "application/json"},
      {"an unknown version: modern, and refused as such", post(json_headers + session + "MCP-Protocol-Version: 1999-01-01\r\n", ping),
       "HTTP/1.1 400 Bad Request\r\n", R"("id":1,"error":{"code":-32022,"message":"Unsupported protocol version","data":{"supported":["2026-07-28"],"requested":"1999-01-01"}})"},
      {"a known older version", post(json_headers + session + "MCP-Protocol-Version: 2024-11-05\r\n", ping),
       "HTTP/1.1 200 OK\r\n", R"("id":1,"result":{})"},
      {"the newest legacy version", post(json_headers + session + "MCP-Protocol-Version: 2025-11-25\r\n", ping),
       "HTTP/1.1 200 OK\r\n", R"("id":1,"result":{})"},
      {"initialize whatever its header", post(json_headers + "MCP-Protocol-Version: 2026-07-28\r\n", initialize),
       "HTTP/1.1 200 OK\r\n", R"("protocolVersion":"2025-06-18")"},
      {"another host", "POST /mcp HTTP/1.1\r\nHost: evil.test\r\nConnection: close\r\nContent-Length: 0\r\n\r\n",
       "HTTP/1.1 403 Forbidden\r\n", "Host header", "Access-Control-Allow-Origin"},
      {"another origin", post(json_headers + session + "Origin: http://evil.test\r\n", ping), "HTTP/1.1 403 Forbidden\r\n",
       "this origin", "Access-Control-Allow-Origin"},
      {"a loopback origin", post(json_headers + session + "Origin: http://localhost:5173\r\n", ping), "HTTP/1.1 200 OK\r\n",
       "Access-Control-Allow-Origin: http://localhost:5173\r\nAccess-Control-Expose-Headers: Mcp-Session-Id\r\n"},
      {"a preflight", "OPTIONS /mcp HTTP/1.1\r\nHost: localhost\r\nOrigin: http://localhost:5173\r\nConnection: close\r\n\r\n",
       "HTTP/1.1 204 No Content\r\n", "Access-Control-Allow-Headers: Accept, Authorization, Content-Type"},
      {"another path", "GET /other HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n", "HTTP/1.1 404 Not Found\r\n",
       "MCP is served at /mcp"},
      {"GET without streams", "GET /mcp HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + session + "\r\n",
       "HTTP/1.1 406 Not Acceptable\r\n", "Accept must list text/event-stream", "Content-Type: text/event-stream"},
      {"PUT", "PUT /mcp HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nContent-Length: 0\r\n\r\n",
       "HTTP/1.1 405 Method Not Allowed\r\n", "Allow: "},
      {"smuggling", "POST /mcp HTTP/1.1\r\nHost: localhost\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n",
       "HTTP/1.1 400 Bad Request\r\n", "Connection: close\r\n"},
      {"the older transport without a session", "POST /message HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + json_headers + "Content-Length: 2\r\n\r\n{}",
       "HTTP/1.1 400 Bad Request\r\n", "sessionId"},
      {"the older transport, another's session", "POST /message?sessionId=" + sid + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + json_headers + "Content-Length: 2\r\n\r\n{}",
       "HTTP/1.1 404 Not Found\r\n", R"("code":-32001)"},
      {"POST to the older stream", "POST /sse HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\nContent-Length: 0\r\n\r\n",
       "HTTP/1.1 405 Method Not Allowed\r\n", "Allow: GET, OPTIONS\r\n"},
      {"resuming from no event", "GET /mcp HTTP/1.1\r\nHost: localhost\r\nAccept: text/event-stream\r\nConnection: close\r\n" + session + "Last-Event-ID: x1\r\n\r\n",
       "HTTP/1.1 400 Bad Request\r\n", "Last-Event-ID"},
      {"DELETE", "DELETE /mcp HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + session + "\r\n", "HTTP/1.1 200 OK\r\n",
       "Content-Length: 0\r\n"},
      {"the session after DELETE", post(json_headers + session, ping), "HTTP/1.1 404 Not Found\r\n",
       R"("code":-32001,"message":"Session not found")"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string got = server.exchange(c.request);
    EXPECT_TRUE(got.starts_with(c.starts)) << got;
    EXPECT_NE(got.find(c.contains), std::string::npos) << got;
    if (c.lacks) {
      EXPECT_EQ(got.find(c.lacks), std::string::npos) << got;
    }
  }
}

// GET opens the session's standing stream, one at a time; it ends with the session. It opens with a
// priming event (resumable) only for the revisions that have them.
TEST(HttpTransport, StandingStream) {
  HttpServerProcess server;
  struct Case {
    const char* version;
    bool primed;
  } cases[] = {{"2025-11-25", true}, {"2025-06-18", false}, {"2024-11-05", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.version);
    const std::string session = "Mcp-Session-Id: " + server.initializeSession(c.version) + "\r\n";
    const std::string get = "GET /mcp HTTP/1.1\r\nHost: localhost\r\nAccept: text/event-stream\r\nConnection: close\r\n" +
                            session + "\r\n";
    int standing = server.send(get);
    ASSERT_GE(standing, 0);
    const std::string opened = HttpServerProcess::readHead(standing);
    EXPECT_TRUE(opened.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n")) << opened;
    EXPECT_TRUE(server.exchange(get).starts_with("HTTP/1.1 409 Conflict\r\n"));
    EXPECT_TRUE(server.exchange("DELETE /mcp HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + session + "\r\n")
                    .starts_with("HTTP/1.1 200 OK\r\n"));
    const std::string body = HttpServerProcess::readAll(standing);
    EXPECT_EQ(body, c.primed ? "e\r\nid: 2\ndata: \n\n\r\n0\r\n\r\n" : "0\r\n\r\n");
  }
}

// A client that lost a call's stream before its reply resumes it from the last id it saw, and gets
// the rest; once all of it has been seen, there is nothing more.
TEST(HttpTransport, ResumeALostStream) {
  HttpServerProcess server;
  const std::string session = "Mcp-Session-Id: " + server.initializeSession() + "\r\n";
  int call = server.send(post(json_headers + session, R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"slow","arguments":{"seconds":0.5}}})"));
  std::string first = HttpServerProcess::readHead(call);
  char chunk[512];
  while (first.find("data: \n\n") == std::string::npos) {
    ssize_t n = ::read(call, chunk, sizeof chunk);
    ASSERT_GT(n, 0);
    first.append(chunk, static_cast<std::size_t>(n));
  }
  ::close(call);  // lost before the reply
  std::size_t at = first.find("id: ");
  ASSERT_NE(at, std::string::npos) << first;
  const std::string primed = first.substr(at + 4, first.find('\n', at) - at - 4);
  auto get = [&](const std::string& last) {
    return server.exchange("GET /mcp HTTP/1.1\r\nHost: localhost\r\nAccept: text/event-stream\r\nConnection: close\r\n" +
                           session + "Last-Event-ID: " + last + "\r\n\r\n");
  };
  std::string resumed = get(primed);
  EXPECT_TRUE(resumed.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n")) << resumed;
  at = resumed.find("id: ");
  ASSERT_NE(at, std::string::npos) << resumed;
  EXPECT_NE(resumed.find("data: {\"jsonrpc\":\"2.0\",\"id\":7,\"result\""), std::string::npos) << resumed;
  EXPECT_TRUE(resumed.ends_with("\r\n0\r\n\r\n")) << resumed;
  const std::string replied = resumed.substr(at + 4, resumed.find('\n', at) - at - 4);
  EXPECT_TRUE(get(replied).starts_with("HTTP/1.1 204 No Content\r\n"));
  EXPECT_TRUE(get("99999").starts_with("HTTP/1.1 400 Bad Request\r\n"));
}

// A client that sends part of a request and then nothing costs only itself: after 5 s it gets 408
// and its connection closes, while others are answered meanwhile.
TEST(HttpTransport, SlowRequestTimesOut) {
  HttpServerProcess server;
  const auto start = std::chrono::steady_clock::now();
  int slow = server.send("POST /mcp HTTP/1.1\r\nHost: local");
  ASSERT_GE(slow, 0);
  EXPECT_TRUE(server.exchange(post(json_headers, initialize)).starts_with("HTTP/1.1 200 OK\r\n"));
  std::string got = HttpServerProcess::readAll(slow);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_TRUE(got.starts_with("HTTP/1.1 408 Request Timeout\r\n")) << got;
  EXPECT_GE(seconds, 4.9);
  EXPECT_LT(seconds, 8);
}

// A client that asks before sending its body is told to go on, and then answered.
TEST(HttpTransport, ExpectContinue) {
  HttpServerProcess server;
  const std::string request = post(json_headers + "Expect: 100-continue\r\n", initialize);
  const std::size_t head_end = request.find("\r\n\r\n") + 4;
  int fd = server.send(request.substr(0, head_end));
  EXPECT_EQ(HttpServerProcess::readHead(fd), "HTTP/1.1 100 Continue\r\n\r\n");
  const std::string body = request.substr(head_end);
  ASSERT_EQ(::write(fd, body.data(), body.size()), static_cast<ssize_t>(body.size()));
  EXPECT_TRUE(HttpServerProcess::readAll(fd).starts_with("HTTP/1.1 200 OK\r\n"));
}

// Past the descriptor limit, the connection quiet the longest makes room for the next: the oldest
// quiet one is closed, and one that has just sent a request is not.
TEST(HttpDescriptors, QuietConnectionsMakeRoom) {
  HttpServerProcess server(64);
  std::vector<int> quiet;
  for (int i = 0; i < 80; ++i) quiet.push_back(server.send(""));
  std::string got = server.exchange("OPTIONS /mcp HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n");
  EXPECT_TRUE(got.starts_with("HTTP/1.1 204 No Content\r\n")) << "[" << got << "]";
  auto closedByServer = [](int fd) {
    pollfd p{fd, POLLIN, 0};
    char byte;
    return ::poll(&p, 1, 0) == 1 && ::read(fd, &byte, 1) <= 0;
  };
  EXPECT_TRUE(closedByServer(quiet.front()));  // the first to go quiet
  EXPECT_FALSE(closedByServer(quiet.back()));  // the last, still waiting in line or quiet since
  for (int fd : quiet) ::close(fd);
}

// With a token, every request must carry it.
TEST(HttpTransport, BearerToken) {
  ::setenv("DEMO_SERVER_TOKEN", "s3cret", 1);
  HttpServerProcess server;
  ::unsetenv("DEMO_SERVER_TOKEN");
  ASSERT_GT(server.port, 0);
  std::string without = server.exchange(post(json_headers, initialize));
  EXPECT_TRUE(without.starts_with("HTTP/1.1 401 Unauthorized\r\n")) << without;
  EXPECT_NE(without.find("WWW-Authenticate: Bearer\r\n"), std::string::npos);
  std::string with = server.exchange(post(json_headers + "Authorization: Bearer s3cret\r\n", initialize));
  EXPECT_TRUE(with.starts_with("HTTP/1.1 200 OK\r\n")) << with;
  // A browser's preflight carries no credentials.
  EXPECT_TRUE(server.exchange("OPTIONS /mcp HTTP/1.1\r\nHost: localhost\r\nOrigin: http://localhost\r\nConnection: close\r\n\r\n")
                  .starts_with("HTTP/1.1 204 No Content\r\n"));
}

}  // namespace
