#include "transport/http_request.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;
using http::Framing;
using http::Progress;

namespace {

// Every cut of a short text; a few of a long one.
std::size_t nextCut(std::size_t cut, std::string_view text) { return cut + (text.size() > 300 ? 97 : 1); }

TEST(RequestHead, Accepted) {
  // The head ends at its blank line: what follows (a body, the next request) is not counted.
  struct Case { std::string bytes; const char* method; const char* target; int minor; Framing framing;
                std::uint64_t length; bool keep_alive; } cases[] = {
      {"GET /mcp HTTP/1.1\r\nHost: a\r\n\r\n", "GET", "/mcp", 1, Framing::None, 0, true},
      {"POST /mcp?s=1&t=%20 HTTP/1.1\r\nHost: [::1]:8080\r\nContent-Length: 2\r\n\r\n{}", "POST", "/mcp?s=1&t=%20",
       1, Framing::Length, 2, true},
      {"POST / HTTP/1.1\r\nTransfer-Encoding: Chunked\r\nhost: a\r\n\r\n5\r\n", "POST", "/", 1, Framing::Chunked, 0, true},
      {"\r\nGET / HTTP/1.1\r\nHOST: a\r\n\r\n", "GET", "/", 1, Framing::None, 0, true},
      {"GET / HTTP/1.0\r\n\r\n", "GET", "/", 0, Framing::None, 0, false},
      {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", "GET", "/", 0, Framing::None, 0, true},
      {"GET / HTTP/1.1\r\nHost: a\r\nConnection: te, ,x\r\nConnection: CLOSE\r\n\r\n", "GET", "/", 1, Framing::None, 0, false},
      {"OPTIONS * HTTP/1.1\r\nHost: a\r\n\r\n", "OPTIONS", "*", 1, Framing::None, 0, true},
      {"get HTTPS://a.example/x?y HTTP/1.1\r\nHost: b\r\n\r\n", "get", "HTTPS://a.example/x?y", 1, Framing::None, 0, true},
      {"PUT / HTTP/1.1\r\nHost:\r\nContent-Length: 5\r\ncontent-length: 5 , 005\r\n\r\n", "PUT", "/", 1, Framing::Length,
       5, true},
      {"M / HTTP/1.1\r\nHost: a\r\nContent-Length: 18446744073709551615\r\n\r\n", "M", "/", 1, Framing::Length,
       UINT64_MAX, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    const std::size_t size = c.bytes.find("\r\n\r\n") + 4;
    http::RequestHead head;
    // Every cut short of the blank line waits for more; each comes in a buffer of its own, as the
    // bytes of a connection move when its buffer grows, and the parse goes on from the last.
    for (std::size_t n = 0; n < size; ++n)
      ASSERT_EQ(http::parseRequestHead(c.bytes.substr(0, n), head).progress, Progress::NeedMore) << n;
    const http::HeadResult r = http::parseRequestHead(c.bytes, head);
    ASSERT_EQ(r.progress, Progress::Done) << r.refusal.reason;
    EXPECT_EQ(r.size, size);
    EXPECT_TRUE(head.method.data() >= c.bytes.data() && head.method.data() < c.bytes.data() + size);
    EXPECT_EQ(head.method, c.method);
    EXPECT_EQ(head.target, c.target);
    EXPECT_EQ(head.minor_version, c.minor);
    EXPECT_EQ(head.framing, c.framing);
    EXPECT_EQ(head.content_length, c.length);
    EXPECT_EQ(head.keep_alive, c.keep_alive);
  }
}

TEST(RequestHead, Fields) {
  const std::string bytes =
      "GET / HTTP/1.1\r\nHost: a\r\nX-Trim: \t a b \t\r\nx-twice: 1\r\nX-Twice: 2\r\nEmpty:\r\n"
      "ORIGIN: http://a\r\norigin: http://b\r\nMcp-Session-Id:  s1 \r\nmcp-name: echo\r\n\r\n";
  http::RequestHead head;
  ASSERT_EQ(http::parseRequestHead(bytes, head).progress, Progress::Done);
  ASSERT_EQ(head.header_count, 9u);
  EXPECT_EQ(head.field(2).name, "x-twice");
  EXPECT_EQ(head.header("x-trim"), "a b");
  EXPECT_EQ(head.header("X-TWICE"), "1");
  EXPECT_EQ(head.headerCount("x-twice"), 2u);
  EXPECT_EQ(head.header("empty"), "");
  EXPECT_EQ(head.header("missing"), std::nullopt);
  // The fields the server reads are resolved once: the first of each name.
  EXPECT_EQ(head.origin, "http://a");
  EXPECT_EQ(head.header("Origin"), "http://a");
  EXPECT_EQ(head.headerCount("origin"), 2u);
  EXPECT_EQ(head.mcp_session_id, "s1");
  EXPECT_EQ(head.mcp_name, "echo");
  EXPECT_EQ(head.host, "a");
  EXPECT_EQ(head.accept, std::nullopt);
  EXPECT_EQ(head.mcp_method, std::nullopt);
}

// Whom a request is for and what it asks for: an absolute target names its own authority, whatever
// its Host field says, and its scheme is read without case.
TEST(RequestHead, PathAndAuthority) {
  struct Case { const char* bytes; const char* path; const char* authority; } cases[] = {
      {"GET /mcp?s=1 HTTP/1.1\r\nHost: localhost:3000\r\n\r\n", "/mcp", "localhost:3000"},
      {"POST http://evil.example/mcp HTTP/1.1\r\nHost: localhost\r\n\r\n", "/mcp", "evil.example"},
      {"GET HTTP://localhost:3000/mcp?x=/y HTTP/1.1\r\nHost: a\r\n\r\n", "/mcp", "localhost:3000"},
      {"GET https://[::1]:9?x=/y HTTP/1.1\r\nHost: a\r\n\r\n", "/", "[::1]:9"},
      {"OPTIONS * HTTP/1.1\r\nHost: a\r\n\r\n", "*", "a"},
      {"GET /sse HTTP/1.0\r\n\r\n", "/sse", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    http::RequestHead head;
    ASSERT_EQ(http::parseRequestHead(c.bytes, head).progress, Progress::Done);
    EXPECT_EQ(head.path, c.path);
    EXPECT_EQ(head.authority, c.authority);
  }
}

TEST(RequestHead, Pipelined) {
  // The next request starts where the body of the one before ends.
  const std::string bytes = "POST /a HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\n\r\nxyzGET /b HTTP/1.1\r\nHost: a\r\n\r\nGET";
  http::RequestHead head;
  const http::HeadResult first = http::parseRequestHead(bytes, head);
  ASSERT_EQ(first.progress, Progress::Done);
  const std::size_t next = first.size + head.content_length;
  head.reset();
  const http::HeadResult second = http::parseRequestHead(std::string_view(bytes).substr(next), head);
  ASSERT_EQ(second.progress, Progress::Done);
  EXPECT_EQ(head.target, "/b");
  EXPECT_EQ(head.header_count, 1u);
  EXPECT_EQ(head.content_length, 0u);
  head.reset();
  EXPECT_EQ(http::parseRequestHead(std::string_view(bytes).substr(next + second.size), head).progress,
            Progress::NeedMore);
}

TEST(RequestHead, Refused) {
  const std::string many(65, 'x');
  std::string too_many = "GET / HTTP/1.1\r\n";
  for (char c : many) too_many += "X-"s + c + ": 1\r\n";
  struct Case { std::string bytes; int status; const char* reason; } cases[] = {
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n", 400,
       "both Content-Length and Transfer-Encoding"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3\r\nContent-Length: 4\r\n\r\n", 400, "different Content-Length values"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3, 4\r\n\r\n", 400, "different Content-Length values"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: +3\r\n\r\n", 400, "bad Content-Length"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 3,\r\n\r\n", 400, "bad Content-Length"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 1 2\r\n\r\n", 400, "bad Content-Length"},
      {"POST / HTTP/1.1\r\nHost: a\r\nContent-Length: 18446744073709551616\r\n\r\n", 400, "bad Content-Length"},
      {"GET / HTTP/1.1\r\nHost: a\r\nX: 1\r\n 2\r\n\r\n", 400, "folded header line"},
      {"GET / HTTP/1.1\r\n Host: a\r\n\r\n", 400, "folded header line"},
      {"GET / HTTP/1.1\r\nHost: a\r\nX: 1\r2\r\n\r\n", 400, "bare CR"},
      {"GET / HTTP/1.1\nHost: a\n\n", 400, "bare LF"},
      {"GET / HTTP/1.1\r\nHost: a\r\n\n", 400, "bare LF"},
      {"GET / HTTP/1.1\r\nHost : a\r\n\r\n", 400, "whitespace before colon"},
      {"GET / HTTP/1.1\r\n: a\r\n\r\n", 400, "bad header name"},
      {"GET / HTTP/1.1\r\nHost: a\r\nX: 1\0\r\n\r\n"s, 400, "control byte in header value"},
      {"GET / HTTP/1.1\r\nHost: a\r\nX: \x7F\r\n\r\n", 400, "control byte in header value"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\n\r\n", 501, "unknown transfer coding"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: gzip\r\nTransfer-Encoding: chunked\r\n\r\n", 501,
       "unknown transfer coding"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked, gzip\r\n\r\n", 400, "chunked not the only coding"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked, chunked\r\n\r\n", 400, "chunked not the only coding"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: chunked;q=1\r\n\r\n", 400, "bad Transfer-Encoding"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding: ,chunked\r\n\r\n", 400, "bad Transfer-Encoding"},
      {"POST / HTTP/1.1\r\nHost: a\r\nTransfer-Encoding:\r\n\r\n", 400, "bad Transfer-Encoding"},
      {"POST / HTTP/1.0\r\nTransfer-Encoding: chunked\r\n\r\n", 400, "Transfer-Encoding in HTTP/1.0"},
      {"GET / HTTP/1.1\r\n\r\n", 400, "missing Host"},
      {"GET / HTTP/1.0\r\nHost: a\r\nhost: a\r\n\r\n", 400, "more than one Host"},
      {"GET / HTTP/1.1\r\nHost: a/b\r\n\r\n", 400, "bad Host"},
      {"GET / HTTP/1.1\r\nHost: a\r\nConnection: close;x\r\n\r\n", 400, "bad Connection"},
      {"\r\n\r\nGET / HTTP/1.1\r\nHost: a\r\n\r\n", 400, "bad method"},
      {"G(T / HTTP/1.1\r\nHost: a\r\n\r\n", 400, "bad method"},
      {"GET  / HTTP/1.1\r\nHost: a\r\n\r\n", 400, "bad request target"},
      {"GET * HTTP/1.1\r\nHost: a\r\n\r\n", 400, "bad request target"},
      {"GET /a#b HTTP/1.1\r\nHost: a\r\n\r\n", 400, "bad request target"},
      {"GET /\"x\" HTTP/1.1\r\nHost: a\r\n\r\n", 400, "bad request target"},
      {"CONNECT a:443 HTTP/1.1\r\nHost: a\r\n\r\n", 400, "bad request target"},
      {"GET http:///x HTTP/1.1\r\nHost: a\r\n\r\n", 400, "bad request target"},
      {"GET ftp://a/x HTTP/1.1\r\nHost: a\r\n\r\n", 400, "bad request target"},
      {"GET http://u@a/x HTTP/1.1\r\nHost: a\r\n\r\n", 400, "bad request target"},
      {"GET / HTTP/1.1 \r\nHost: a\r\n\r\n", 400, "bad HTTP version"},
      {"GET / http/1.1\r\nHost: a\r\n\r\n", 400, "bad HTTP version"},
      {"GET / HTTP/2.0\r\nHost: a\r\n\r\n", 505, "only HTTP/1.1 and HTTP/1.0"},
      {"GET / HTTP/1.2\r\nHost: a\r\n\r\n", 505, "only HTTP/1.1 and HTTP/1.0"},
      {too_many + "\r\n", 431, "more than 64 header fields"},
      {"GET / HTTP/1.1\r\nHost: a\r\nX: " + std::string(http::max_head_size, 'x') + "\r\n\r\n", 431,
       "request head over 16 KiB"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes.substr(0, 200));
    http::RequestHead head;
    // Cut after cut, the parse going on from the last: each waits for more, or finds the same fault.
    for (std::size_t n = 0; n < c.bytes.size(); n = nextCut(n, c.bytes)) {
      const http::HeadResult r = http::parseRequestHead(c.bytes.substr(0, n), head);
      if (r.progress == Progress::NeedMore) continue;
      ASSERT_EQ(r.refusal.reason, c.reason) << n;
    }
    http::RequestHead whole;
    const http::HeadResult r = http::parseRequestHead(c.bytes, whole);
    ASSERT_EQ(r.progress, Progress::Refused);
    EXPECT_EQ(r.refusal.status, c.status);
    EXPECT_EQ(r.refusal.reason, c.reason);
  }
}

struct Decoded {
  std::string payload;  // what the caller's buffer holds at the end
  std::string after;    // the bytes past the body's end
  bool done = false;
  int status = 0;       // of a refusal
};


// Feeds `wire` to a decoder in two reads cut at `cut`, as a connection would: each read lands
// right after the payload decoded so far.
Decoded decodeCut(std::string_view wire, std::size_t cut) {
  http::ChunkedDecoder decoder;
  std::string buffer;
  for (int i = 0; i < 2; ++i) {
    const std::string_view read = i == 0 ? wire.substr(0, cut) : wire.substr(cut);
    const std::size_t from = buffer.size();
    buffer += read;
    const http::BodyResult r = decoder.decode(std::span(buffer).subspan(from));
    if (r.progress == Progress::Refused) return {"", "", false, r.refusal.status};
    EXPECT_LE(r.payload, r.used);
    if (r.progress == Progress::Done) {
      const std::string_view unread = i == 0 ? wire.substr(cut) : "";
      return {buffer.substr(0, from + r.payload), buffer.substr(from + r.used) + std::string(unread), true, 0};
    }
    EXPECT_EQ(r.used, read.size());
    buffer.resize(from + r.payload);
  }
  return {buffer, "", false, 0};
}

TEST(ChunkedDecoder, Bodies) {
  // status 0 with "after" null: the body has not ended yet.
  struct Case { std::string wire; const char* payload; const char* after; int status; } cases[] = {
      {"5\r\nhello\r\n0\r\n\r\n", "hello", "", 0},
      {"5\r\nhello\r\n6\r\n world\r\n0\r\n\r\nGET", "hello world", "GET", 0},
      {"A\r\n0123456789\r\n0000000000000000\r\n\r\n", "0123456789", "", 0},
      {"5;a=b;c=\"x\\\"y\" ; d ;e = f\r\nhello\r\n0;z\r\n\r\n", "hello", "", 0},
      {"0\r\nX-T: 1\r\nY:\r\n\r\nxy", "", "xy", 0},
      {"3\r\nabc\r\n", "abc", nullptr, 0},
      {"g\r\n", "", nullptr, 400},
      {"\r\n", "", nullptr, 400},
      {"-1\r\n", "", nullptr, 400},
      {"0x5\r\n", "", nullptr, 400},
      {"00000000000000005\r\nhello\r\n", "", nullptr, 400},
      {"5\r\nhelloX\r\n", "", nullptr, 400},
      {"5\nhello\r\n", "", nullptr, 400},
      {"5\r\nhello\n0\r\n\r\n", "", nullptr, 400},
      {"5 \r\nhello\r\n", "", nullptr, 400},
      {"5;\r\nhello\r\n", "", nullptr, 400},
      {"5;a=\"x\r\n\"\r\nhello\r\n", "", nullptr, 400},
      {"5;a=" + std::string(http::max_chunk_line_size, 'x') + "\r\nhello\r\n", "", nullptr, 400},
      {"0\r\nX: a\r\n b\r\n\r\n", "", nullptr, 400},
      {"0\r\nX : a\r\n\r\n", "", nullptr, 400},
      {"0\r\nX: a\0\r\n\r\n"s, "", nullptr, 400},
      {"0\r\n\rX", "", nullptr, 400},
      {"0\r\nX: " + std::string(http::max_head_size, 'x') + "\r\n\r\n", "", nullptr, 431},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.wire.substr(0, 80));
    for (std::size_t cut = 0; cut <= c.wire.size(); cut = nextCut(cut, c.wire)) {
      const Decoded d = decodeCut(c.wire, cut);
      ASSERT_EQ(d.status, c.status) << cut;
      if (c.status != 0) continue;
      ASSERT_EQ(d.payload, c.payload) << cut;
      ASSERT_EQ(d.done, c.after != nullptr) << cut;
      ASSERT_EQ(d.after, c.after ? c.after : "") << cut;
    }
  }
}

}  // namespace
