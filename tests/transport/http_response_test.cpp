#include "transport/http_response.h"

#include <gtest/gtest.h>

#include <memory_resource>
#include <string>

namespace {

template <class F>
std::string written(F append) {
  std::pmr::monotonic_buffer_resource arena;
  json::Text out(&arena);
  append(out);
  return std::string(out);
}

TEST(HttpResponse, Heads) {
  struct Case {
    http::ResponseHead head;
    const char* expected;
  } cases[] = {
      {{.status = 202, .content_length = 0}, "HTTP/1.1 202 Accepted\r\nContent-Length: 0\r\n\r\n"},
      {{.status = 200, .content_type = "application/json", .content_length = 36, .session_id = "ab12"},
       "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 36\r\nMcp-Session-Id: ab12\r\n\r\n"},
      {{.status = 200, .content_type = "text/event-stream"},
       "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\nTransfer-Encoding: chunked\r\nCache-Control: no-store\r\n\r\n"},
      {{.status = 405, .content_length = 0, .allow = "GET, POST, DELETE"},
       "HTTP/1.1 405 Method Not Allowed\r\nContent-Length: 0\r\nAllow: GET, POST, DELETE\r\n\r\n"},
      {{.status = 401, .content_length = 0, .ask_for_token = true, .close = true},
       "HTTP/1.1 401 Unauthorized\r\nContent-Length: 0\r\nWWW-Authenticate: Bearer\r\nConnection: close\r\n\r\n"},
      {{.status = 204, .content_length = 0, .allowed_origin = "http://localhost:5173"},
       "HTTP/1.1 204 No Content\r\nAccess-Control-Allow-Origin: http://localhost:5173\r\n"
       "Access-Control-Expose-Headers: Mcp-Session-Id\r\nVary: Origin\r\n\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head.status);
    EXPECT_EQ(written([&](json::Text& out) { http::appendHead(out, c.head); }), c.expected);
  }
}

TEST(HttpResponse, StreamsAndEvents) {
  struct Case {
    std::string got;
    std::string expected;
  } cases[] = {
      {written([](json::Text& out) { http::appendEvent(out, "7", "", "{}"); }), "id: 7\ndata: {}\n\n"},
      {written([](json::Text& out) { http::appendEvent(out, "1", "", ""); }), "id: 1\ndata: \n\n"},
      {written([](json::Text& out) { http::appendEvent(out, "", "endpoint", "/message?sessionId=ab"); }),
       "event: endpoint\ndata: /message?sessionId=ab\n\n"},
      {written([](json::Text& out) { http::appendChunk(out, std::string(300, 'x')); }),
       "12c\r\n" + std::string(300, 'x') + "\r\n"},
      {written([](json::Text& out) { http::appendChunk(out, ""); }), ""},
      {written([](json::Text& out) { http::appendLastChunk(out); }), "0\r\n\r\n"},
      {written([](json::Text& out) { http::appendErrorBody(out, -32000, "Bad Request: no \"Mcp-Session-Id\""); }),
       R"({"jsonrpc":"2.0","id":null,"error":{"code":-32000,"message":"Bad Request: no \"Mcp-Session-Id\""}})"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.got, c.expected);
}

}  // namespace
