// The HTTP server's limits, in process on a clock the test moves, made small through its
// parameters: what a client that goes beyond one gets, and that nobody else notices.

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "protocol/message.h"
#include "support/http_client.h"
#include "support/http_harness.h"
#include "tools/tool_call.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string ping = R"({"jsonrpc":"2.0","id":1,"method":"ping"})";

std::string session(const std::string& id) { return "Mcp-Session-Id: " + id + "\r\n"; }

// The older transport's stream on `fd`, and the address its messages go to.
std::string openOlder(HttpHarness& h, int fd) {
  h.send(fd, "GET /sse HTTP/1.1\r\nHost: localhost\r\nAccept: text/event-stream\r\n\r\n");
  const std::string got = h.read(fd);
  const std::size_t at = got.find("data: /message");
  return at == std::string::npos ? std::string() : got.substr(at + 6, got.find('\n', at) - at - 6);
}

std::string postTo(const std::string& address, const std::string& body) {
  return "POST " + address + " HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + json_headers +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

// A request must arrive whole within its time, and a connection with nothing arriving closes after
// its own: each to the moment, on the loop's clock.
TEST(HttpLimits, TimeLimits) {
  HttpHarness h({.request_time = seconds(5), .quiet_time = seconds(30)});
  int slow = h.connect();
  int quiet = h.connect();
  h.send(slow, "POST /mcp HTTP/1.1\r\nHost: local");
  bool closed = false;
  h.advance(milliseconds(4990));
  EXPECT_EQ(h.read(slow, &closed), "");
  EXPECT_FALSE(closed);
  h.advance(milliseconds(20));
  EXPECT_TRUE(h.read(slow, &closed).starts_with("HTTP/1.1 408 Request Timeout\r\n"));
  h.advance(seconds(3));  // its linger
  h.read(slow, &closed);
  EXPECT_TRUE(closed);
  h.advance(milliseconds(24990 - 3000 - 20));
  h.read(quiet, &closed);
  EXPECT_FALSE(closed);
  h.advance(milliseconds(30));
  h.read(quiet, &closed);
  EXPECT_TRUE(closed);
  ::close(slow);
  ::close(quiet);
}

// A stream whose client leaves more than it may unread is disconnected and its calls end; the
// other clients go on, and when all have gone the transport holds nothing.
TEST(HttpLimits, UnreadAndBudget) {
  struct Case {
    const char* name;
    HttpLimits limits;
    SessionLimits sessions;
    int streams;
    int times;  // copies of 1 MiB in each reply
  } cases[] = {
      {"unread bound", {.max_unread = 64 << 10}, {}, 1, 1},
      // Replies ten times their requests, built whole: as long as the events a session keeps.
      {"budget", {.max_held = 8 << 20}, {.max_kept_bytes = 16 << 20}, 2, 10},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpHarness h(c.limits, c.sessions);
    const std::size_t at_rest = h.held();
    std::vector<int> streams;
    for (int i = 0; i < c.streams; ++i) {
      int fd = h.connect(4096);
      const std::string address = openOlder(h, fd);
      ASSERT_FALSE(address.empty());
      // Replies it never reads, each larger than what the system's buffers take.
      for (int n = 0; n < 4; ++n) {
        h.exchange(postTo(address, toolCall(n, "echo", R"({"text":")" + std::string(1 << 20, 'x') + R"(","times":)" +
                                                           std::to_string(c.times) + "}")));
      }
      streams.push_back(fd);
    }
    std::size_t closed_count = 0;
    for (int fd : streams) {
      bool closed = false;
      h.read(fd, &closed);
      closed_count += closed;
    }
    EXPECT_GE(closed_count, 1u) << h.held();
    EXPECT_LE(h.held(), at_rest + (c.limits.max_held < (256u << 20) ? c.limits.max_held + (1u << 20) : 4u << 20));
    const std::string id = h.initializeSession();
    EXPECT_TRUE(h.exchange(postRequest(json_headers + session(id), ping)).starts_with("HTTP/1.1 200 OK\r\n"));
    for (int fd : streams) ::close(fd);
    h.exchange("DELETE /mcp HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n" + session(id) + "\r\n");
    h.advance(seconds(5));
    EXPECT_EQ(h.held(), at_rest);
  }
}

// An answer many times its request goes out as its client reads it, never held whole, and its
// bytes are those of a short answer of the same form: on each transport, in each era.
TEST(HttpLimits, LongAnswersAsTheyAreRead) {
  HttpHarness h;
  const std::string id = h.initializeSession();
  // Escaped as the server escapes it, so that the request's text is the answer's.
  std::string text;
  while (text.size() < (2 << 20)) text += R"(a\"b\\c\n)";
  struct Case {
    const char* name;
    bool older;   // on the older transport's stream, else a POST's answer
    bool modern;  // a request of 2026-07-28
  } cases[] = {{"legacy", false, false}, {"the older transport", true, false}, {"modern", false, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int stream = c.older ? h.connect() : -1;
    const std::string address = c.older ? openOlder(h, stream) : "";
    // The echo of ten copies of `what`: the connection its answer comes on, and the one it went on.
    auto ask = [&](const std::string& what) {
      const std::string body = R"({"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"echo",)"
                               R"("arguments":{"text":")" + what + R"(","times":10})" +
                               (c.modern ? R"(,"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28",)"
                                           R"("io.modelcontextprotocol/clientCapabilities":{}})"
                                         : "") +
                               "}}";
      const int fd = c.older ? stream : h.connect();
      const int post = c.older ? h.connect() : fd;
      const std::string modern_headers =
          "MCP-Protocol-Version: 2026-07-28\r\nMcp-Method: tools/call\r\nMcp-Name: echo\r\n";
      h.send(post, c.older ? postTo(address, body) : keptPost(c.modern ? modern_headers : session(id), body));
      return std::pair{fd, post};
    };
    // The answer's text: after the head, or an event's "data: ", to its end.
    const std::string from = c.older ? "data: " : "\r\n\r\n";
    auto answer = [&](const std::string& got) {
      const std::size_t at = got.find(from), end = got.rfind("}}");
      if (at == std::string::npos || end == std::string::npos) return std::string();
      return got.substr(at + from.size(), end + 2 - at - from.size());
    };
    auto [short_fd, short_post] = ask("s");
    std::string expected = answer(h.read(short_fd));
    const std::string copies = "s s s s s s s s s s";
    ASSERT_NE(expected.find(copies), std::string::npos) << expected;
    std::string joined = text;
    for (int i = 1; i < 10; ++i) joined += " " + text;
    expected.replace(expected.find(copies), copies.size(), joined);

    auto [fd, post] = ask(text);
    h.run();
    // One copy of the text, and what is on its way: the system's buffers take less than the rest.
    EXPECT_LT(h.held(), text.size() + (1u << 20));
    EXPECT_TRUE(answer(h.read(fd)) == expected);
    for (int f : {short_fd, short_post, fd, post, stream}) {
      if (f >= 0) ::close(f);
    }
  }
}

// What a session keeps for resuming is bounded by count and by bytes; an event larger than the
// bound is not kept, and its stream then cannot be resumed from before it.
TEST(HttpLimits, KeptEvents) {
  HttpHarness h({}, {.max_kept_events = 3, .max_kept_bytes = 2048});
  const std::string id = h.initializeSession();
  auto resume = [&](const std::string& last) {
    return h.exchange("GET /mcp HTTP/1.1\r\nHost: localhost\r\nAccept: text/event-stream\r\nConnection: close\r\n" +
                      session(id) + "Last-Event-ID: " + last + "\r\n\r\n");
  };
  // notify writes two events a step: five steps leave only the last three of its events kept.
  int call = h.connect();
  h.send(call, keptPost(session(id), R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"notify","arguments":{"steps":5},"_meta":{"progressToken":"p"}}})"));
  h.advance(seconds(2));
  const std::string streamed = h.read(call);
  ::close(call);
  EXPECT_NE(streamed.find("\"id\":2,\"result\""), std::string::npos) << streamed;
  std::vector<std::string> ids;
  for (std::size_t at = 0; (at = streamed.find("\nid: ", at)) != std::string::npos; ++at) {
    ids.push_back(streamed.substr(at + 5, streamed.find('\n', at + 1) - at - 5));
  }
  ASSERT_EQ(ids.size(), 12u);  // priming, ten notifications, the reply
  EXPECT_TRUE(resume(ids[1]).starts_with("HTTP/1.1 400 Bad Request\r\n"));
  EXPECT_TRUE(resume(ids[10]).starts_with("HTTP/1.1 200 OK\r\n"));

  // ask_client's answer comes back larger than the bound: not kept, nor the request before it.
  int asking = h.connect();
  h.send(asking, keptPost(session(id), toolCall(3, "ask_client", "{}")));
  std::string got = h.read(asking);
  const std::size_t at = got.find("\"method\":\"roots/list\"");
  ASSERT_NE(at, std::string::npos) << got;
  const std::size_t id_at = got.rfind("\nid: ", at);
  const std::string request_event = got.substr(id_at + 5, got.find('\n', id_at + 1) - id_at - 5);
  const std::size_t rid = got.rfind("\"id\":", at);
  const std::string request_id = got.substr(rid + 5, at - rid - 6);
  h.exchange(postRequest(json_headers + session(id), R"({"jsonrpc":"2.0","id":)" + request_id +
                                                         R"(,"result":{"roots":[{"uri":"file:///)" +
                                                         std::string(5000, 'r') + R"("}]}})"));
  got = h.read(asking);
  EXPECT_NE(got.find("client answered: "), std::string::npos);
  ::close(asking);
  EXPECT_TRUE(resume(request_event).starts_with("HTTP/1.1 400 Bad Request\r\n")) << resume(request_event);
}

// At the session cap, a session whose calls no connection carries makes room before anyone gets
// 503; while every one has a stream open, a new one is refused.
TEST(HttpLimits, SessionCap) {
  HttpHarness h({}, {.max_sessions = 3});
  std::vector<int> calls;
  for (int i = 0; i < 3; ++i) {
    const std::string id = h.initializeSession();
    ASSERT_FALSE(id.empty());
    int fd = h.connect();
    h.send(fd, keptPost(session(id), toolCall(9, "slow", R"({"seconds":60})")));
    calls.push_back(fd);
  }
  const std::string init = R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})";
  EXPECT_TRUE(h.exchange(postRequest(json_headers, init)).starts_with("HTTP/1.1 503 Service Unavailable\r\n"));
  ::close(calls[1]);  // its session's call goes on, carried by no connection
  h.run();
  EXPECT_TRUE(h.exchange(postRequest(json_headers, init)).starts_with("HTTP/1.1 200 OK\r\n"));
  for (int fd : calls) ::close(fd);
}

// A stream that never ends, whose client sent more behind it than the budget had room for, still
// ends when its client goes: the connection does not outlive its client, nor its session.
TEST(HttpLimits, OverBudgetBehindAStandingStream) {
  HttpHarness h({.max_held = (32 << 10) + 2048});
  const std::size_t at_rest = h.held();
  // A request whose body takes 32 KiB of the budget, then waits for the rest.
  const std::string head =
      "POST /mcp HTTP/1.1\r\nHost: localhost\r\nContent-Type: application/json\r\nContent-Length: 100000\r\n\r\n";
  int filler = h.connect();
  h.send(filler, head + std::string((32 << 10) - head.size(), ' '));
  int stream = h.connect();  // its input gets what the budget has left: less than 4 KiB
  ASSERT_FALSE(openOlder(h, stream).empty());
  h.send(stream, std::string(2100, 'x'));  // beyond that, behind its stream
  ::close(stream);
  ::close(filler);
  h.advance(seconds(60));
  EXPECT_EQ(connectionCount(*h.http), 0u);
  EXPECT_EQ(h.held(), at_rest);
}

// A request that writes a notification before its reply, answering at once, gets both: as a stream.
TEST(HttpLimits, LinesBeforeAnImmediateReply) {
  SessionHandler twoLines{nullptr, [](void*, const Answering& to, std::pmr::memory_resource&, const json::Value&,
                                      std::string_view) noexcept {
                            to.wire.out.write(to.wire.out.ctx, R"({"jsonrpc":"2.0","method":"notifications/message"})");
                            to.wire.out.write(to.wire.out.ctx, R"({"jsonrpc":"2.0","id":1,"result":{}})");
                          }};
  HttpHarness h({}, {}, twoLines);
  const std::string init = R"({"jsonrpc":"2.0","id":0,"method":"initialize","params":{}})";
  const std::string got = h.exchange(postRequest(json_headers, init));
  EXPECT_TRUE(got.starts_with("HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n")) << got;
  EXPECT_NE(got.find("notifications/message"), std::string::npos) << got;
  EXPECT_NE(got.find(R"("id":1,"result":{})"), std::string::npos) << got;
}

}  // namespace
