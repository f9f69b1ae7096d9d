#include "transport/http_response.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <map>
#include <memory_resource>
#include <string>
#include <utility>
#include <vector>

#include "transport/http_request.h"

namespace {

template <class F>
std::string written(F append) {
  std::pmr::monotonic_buffer_resource arena;
  json::Text out(&arena);
  append(out);
  return std::string(out);
}

// A response head as a client reads it: the status, and the fields by lower-case name. It must be
// well formed for any client: a status line, "Name: value" lines, each ending in CRLF, then an
// empty line, and no field twice.
struct ClientView {
  int status = 0;
  std::map<std::string, std::string> fields;
};

ClientView readHead(std::string_view text) {
  ClientView v;
  EXPECT_TRUE(text.starts_with("HTTP/1.1 ") && text.size() > 12 && text[12] == ' ') << text;
  v.status = std::atoi(std::string(text.substr(9, 3)).c_str());
  EXPECT_TRUE(text.ends_with("\r\n\r\n")) << text;
  std::size_t at = text.find("\r\n") + 2;
  for (std::size_t end; (end = text.find("\r\n", at)) != std::string_view::npos && end > at; at = end + 2) {
    const std::string_view line = text.substr(at, end - at);
    const std::size_t colon = line.find(": ");
    EXPECT_NE(colon, std::string_view::npos) << line;
    std::string name(line.substr(0, colon));
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_TRUE(v.fields.emplace(name, line.substr(colon + 2)).second) << "twice: " << name;
  }
  EXPECT_EQ(at + 2, text.size()) << "bytes after the blank line: " << text;
  return v;
}

// Whether the comma-separated `list` holds `item`, without case, as browsers read CORS lists.
bool lists(std::string_view list, std::string_view item) {
  for (std::size_t from = 0; from <= list.size();) {
    const std::size_t comma = std::min(list.find(',', from), list.size());
    std::string_view element = list.substr(from, comma - from);
    while (element.starts_with(' ')) element.remove_prefix(1);
    if (http::sameWithoutCase(element, item)) return true;
    from = comma + 1;
  }
  return false;
}

// What a client learns from each kind of head: its status, how its body is framed, and the fields
// it acts on. A value "*" asks only that the field be there; nullptr, that it be absent.
TEST(HttpResponse, Heads) {
  using Fields = std::vector<std::pair<const char*, const char*>>;
  const char* none = nullptr;
  struct Case {
    http::ResponseHead head;
    Fields fields;
  } cases[] = {
      {{.status = 202, .content_length = 0}, {{"content-length", "0"}, {"transfer-encoding", none}}},
      {{.status = 200, .content_type = "application/json", .content_length = 36, .session_id = "ab12"},
       {{"content-type", "application/json"}, {"content-length", "36"}, {"mcp-session-id", "ab12"},
        {"access-control-allow-origin", none}}},
      // A stream: chunked, and never stored by a browser (which would hold the address meanwhile);
      // for HTTP/1.0, whose clients know no chunks, ended by the connection's end.
      {{.status = 200, .content_type = "text/event-stream"},
       {{"content-type", "text/event-stream"}, {"transfer-encoding", "chunked"}, {"content-length", none},
        {"cache-control", "no-store"}}},
      {{.status = 200, .content_type = "text/event-stream", .until_close = true},
       {{"transfer-encoding", none}, {"content-length", none}, {"cache-control", "no-store"}}},
      {{.status = 405, .content_length = 0, .allow = http::mcp_methods}, {{"allow", "GET, POST, DELETE, OPTIONS"}}},
      {{.status = 401, .content_length = 0, .ask_for_token = true, .close = true},
       {{"www-authenticate", "Bearer"}, {"connection", "close"}}},
      // No Content has no body and says nothing of a length.
      {{.status = 204, .content_length = 0, .allowed_origin = "http://localhost:5173"},
       {{"content-length", none}, {"transfer-encoding", none}, {"access-control-allow-origin", "http://localhost:5173"},
        {"vary", "Origin"}, {"access-control-allow-methods", none}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.head.status);
    const ClientView v = readHead(written([&](json::Text& out) { http::appendHead(out, c.head); }));
    EXPECT_EQ(v.status, c.head.status);
    for (const auto& [name, value] : c.fields) {
      SCOPED_TRACE(name);
      const auto it = v.fields.find(name);
      if (!value) EXPECT_EQ(it, v.fields.end());
      else if (std::string_view(value) == "*") EXPECT_NE(it, v.fields.end());
      else EXPECT_EQ(it == v.fields.end() ? "(absent)" : it->second, value);
    }
  }
}

// A browser's preflight: the page may then send every method /mcp answers, with every header an
// MCP client sends, and its script may read the session id of the answers.
TEST(HttpResponse, Preflight) {
  const http::ResponseHead head{
      .status = 204, .content_length = 0, .allowed_origin = "http://localhost:5173", .preflight = true};
  ClientView v = readHead(written([&](json::Text& out) { http::appendHead(out, head); }));
  EXPECT_EQ(v.fields["access-control-allow-origin"], "http://localhost:5173");
  for (const char* method : {"GET", "POST", "DELETE"})
    EXPECT_TRUE(lists(v.fields["access-control-allow-methods"], method)) << method;
  for (const char* header :
       {"Accept", "Authorization", "Content-Type", "Last-Event-ID", "mcp-session-id", "mcp-protocol-version"})
    EXPECT_TRUE(lists(v.fields["access-control-allow-headers"], header)) << header;
  EXPECT_TRUE(lists(v.fields["access-control-expose-headers"], "Mcp-Session-Id"));
  EXPECT_TRUE(v.fields.count("access-control-max-age"));
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
