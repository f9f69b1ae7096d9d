// MCP 2026-07-28 over HTTP, in process: requests without sessions, their headers held to their
// bodies, their statuses; and both eras on one endpoint at once, neither seeing the other.

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "support/http_client.h"
#include "support/http_harness.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string meta =
    R"("_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28","io.modelcontextprotocol/clientCapabilities":{}})";
const std::string meta_roots =
    R"("_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28","io.modelcontextprotocol/clientCapabilities":{"roots":{}}})";

// A modern POST: the version, method and (for `name`) name headers as a client sends them.
std::string modern(const std::string& method, const std::string& params, const std::string& name = "",
                   const std::string& extra = "", int id = 1) {
  const std::string body = R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":")" + method +
                           R"(","params":{)" + params + "}}";
  std::string headers = "MCP-Protocol-Version: 2026-07-28\r\nMcp-Method: " + method + "\r\n" + extra;
  if (!name.empty()) headers += "Mcp-Name: " + name + "\r\n";
  return postRequest(json_headers + headers, body);
}

TEST(HttpModern, Requests) {
  HttpHarness h;
  struct Case {
    const char* name;
    std::string request;
    const char* starts;
    const char* contains;
  } cases[] = {
      {"discover", modern("server/discover", meta), "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\n",
       R"("result":{"resultType":"complete","supportedVersions":["2026-07-28"])"},
      {"a call", modern("tools/call", R"("name":"echo","arguments":{"text":"hi"},)" + meta, "echo"),
       "HTTP/1.1 200 OK\r\n", R"("text":"hi")"},
      {"a name in base64", modern("tools/call", R"("name":"echo","arguments":{"text":"hi"},)" + meta, "=?base64?ZWNobw==?="),
       "HTTP/1.1 200 OK\r\n", R"("text":"hi")"},
      {"a session id is ignored", modern("tools/list", meta, "", "Mcp-Session-Id: 0123\r\n"), "HTTP/1.1 200 OK\r\n",
       R"("resultType":"complete","tools":)"},
      {"argument problems are results", modern("tools/call", R"("name":"echo","arguments":{},)" + meta, "echo"),
       "HTTP/1.1 200 OK\r\n", R"("isError":true)"},
      {"an unknown resource", modern("resources/read", R"("uri":"demo://nothing",)" + meta, "demo://nothing"),
       "HTTP/1.1 400 Bad Request\r\n", R"("code":-32602)"},
      {"the header's version differs", postRequest(json_headers + "MCP-Protocol-Version: 2025-11-25\r\nMcp-Method: tools/list\r\n",
                                                   R"({"jsonrpc":"2.0","id":1,"method":"tools/list","params":{)" + meta + "}}"),
       "HTTP/1.1 400 Bad Request\r\n", R"("id":1,"error":{"code":-32020,"message":"Header mismatch: MCP-Protocol-Version)"},
      {"no Mcp-Method", postRequest(json_headers + "MCP-Protocol-Version: 2026-07-28\r\n",
                                    R"({"jsonrpc":"2.0","id":1,"method":"tools/list","params":{)" + meta + "}}"),
       "HTTP/1.1 400 Bad Request\r\n", R"("code":-32020,"message":"Header mismatch: the Mcp-Method)"},
      {"another Mcp-Name", modern("tools/call", R"("name":"echo","arguments":{"text":"hi"},)" + meta, "slow"),
       "HTTP/1.1 400 Bad Request\r\n", R"("code":-32020)"},
      {"no Mcp-Name", modern("prompts/get", R"("name":"review",)" + meta), "HTTP/1.1 400 Bad Request\r\n",
       R"("code":-32020,"message":"Header mismatch: the Mcp-Name)"},
      {"an unsupported revision", modern("tools/list", R"("_meta":{"io.modelcontextprotocol/protocolVersion":"2099-01-01","io.modelcontextprotocol/clientCapabilities":{}})", "", ""),
       "HTTP/1.1 400 Bad Request\r\n", R"("code":-32020)"},
      {"an unsupported revision, both sides", postRequest(json_headers + "MCP-Protocol-Version: 2099-01-01\r\nMcp-Method: tools/list\r\n",
                                                           R"({"jsonrpc":"2.0","id":1,"method":"tools/list","params":{"_meta":{"io.modelcontextprotocol/protocolVersion":"2099-01-01","io.modelcontextprotocol/clientCapabilities":{}}}})"),
       "HTTP/1.1 400 Bad Request\r\n", R"("code":-32022,"message":"Unsupported protocol version","data":{"supported":["2026-07-28"],"requested":"2099-01-01"})"},
      {"no capabilities", modern("tools/list", R"("_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"})"),
       "HTTP/1.1 400 Bad Request\r\n", R"("code":-32602)"},
      {"a removed method", modern("ping", meta), "HTTP/1.1 404 Not Found\r\n", R"("code":-32601,"message":"Method not found: ping")"},
      {"a capability missing", modern("tools/call", R"("name":"ask_client","arguments":{},)" + meta, "ask_client"),
       "HTTP/1.1 400 Bad Request\r\n", R"("code":-32021)"},
      {"input required", modern("tools/call", R"("name":"ask_client","arguments":{},)" + meta_roots, "ask_client"),
       "HTTP/1.1 200 OK\r\n", R"("resultType":"input_required")"},
      {"a stream without ids", modern("tools/call", R"("name":"slow","arguments":{"seconds":1},)" + meta, "slow"),
       "HTTP/1.1 200 OK\r\nContent-Type: text/event-stream\r\n", "X-Accel-Buffering: no\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string got = h.exchange(c.request);
    EXPECT_TRUE(got.starts_with(c.starts)) << got;
    EXPECT_NE(got.find(c.contains), std::string::npos) << got;
    EXPECT_EQ(got.find("Mcp-Session-Id"), std::string::npos) << got;
    EXPECT_EQ(got.find("\nid: "), std::string::npos) << got;
  }
}

// A legacy session and modern requests at once on one endpoint: each gets its own answers only; a
// modern call whose stream is closed stops and writes nothing more; a listen ends with its result
// when the server ends.
TEST(HttpModern, ErasTogether) {
  HttpHarness h;
  const std::string id = h.initializeSession();
  const std::string session = "Mcp-Session-Id: " + id + "\r\n";
  int standing = h.connect();
  h.send(standing, "GET /mcp HTTP/1.1\r\nHost: localhost\r\nAccept: text/event-stream\r\n" + session + "\r\n");
  int legacy = h.connect();
  h.send(legacy, keptPost(session, toolCall(7, "slow", R"({"seconds":1})")));
  int cancelled = h.connect();
  h.send(cancelled, modern("tools/call", R"("name":"slow","arguments":{"seconds":1},)" + meta, "slow", "", 8));
  int listen = h.connect();
  h.send(listen, modern("subscriptions/listen", meta, "", "", 9));
  int kept = h.connect();
  h.send(kept, modern("tools/call", std::string(R"("name":"notify","arguments":{"steps":2},)") +
                          R"("_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28","io.modelcontextprotocol/clientCapabilities":{},"io.modelcontextprotocol/logLevel":"info"})",
                      "notify", "", 10));
  h.read(cancelled);
  ::close(cancelled);  // the call ends where it stands
  h.advance(milliseconds(1500));
  const std::string legacy_got = h.read(legacy);
  const std::string kept_got = h.read(kept);
  EXPECT_NE(legacy_got.find("\"id\":7,\"result\""), std::string::npos) << legacy_got;
  EXPECT_NE(kept_got.find("\"id\":10,\"result\""), std::string::npos) << kept_got;
  EXPECT_NE(kept_got.find("notifications/message"), std::string::npos) << kept_got;
  for (const std::string* got : {&legacy_got, &kept_got}) {
    EXPECT_EQ(got->find("\"id\":8"), std::string::npos) << *got;
  }
  EXPECT_EQ(kept_got.find("\"id\":7"), std::string::npos);
  EXPECT_EQ(legacy_got.find("\"id\":10"), std::string::npos);
  EXPECT_EQ(h.loop.tasks, 0u);  // the cancelled call is not running behind

  bool done = false;
  shutDown(*h.http, [](void* d) noexcept { *static_cast<bool*>(d) = true; }, &done);
  h.advance(seconds(3));
  bool closed = false;
  const std::string listened = h.read(listen, &closed);
  EXPECT_NE(listened.find("notifications/subscriptions/acknowledged"), std::string::npos) << listened;
  EXPECT_NE(listened.find(R"("id":9,"result":{"resultType":"complete")"), std::string::npos) << listened;
  EXPECT_TRUE(listened.ends_with("0\r\n\r\n")) << listened;
  EXPECT_TRUE(closed);
  EXPECT_TRUE(h.read(standing).ends_with("0\r\n\r\n"));
  EXPECT_TRUE(done);
  for (int fd : {standing, legacy, listen, kept}) ::close(fd);
}

}  // namespace
