#include "server/server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/capture.h"
#include "support/lines.h"

namespace {

constexpr const char* parse_error = R"({"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"Parse error: invalid JSON"}})";
constexpr const char* not_an_object =
    R"({"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"Invalid Request: expected an object"}})";

TEST(Handle, Replies) {
  struct Case {
    std::string line;
    std::string expected;
  } cases[] = {
      {R"({"jsonrpc":"2.0","id":1,"method":"ping"})", R"({"jsonrpc":"2.0","id":1,"result":{}})"},
      {R"({"id":0,"method":"ping"})", R"({"jsonrpc":"2.0","id":0,"result":{}})"},
      {R"({"jsonrpc":"1.0","id":2,"method":"ping","extra":[1,{}]})", R"({"jsonrpc":"2.0","id":2,"result":{}})"},
      {"  \t{\"id\":3,\"method\":\"ping\"}\r", R"({"jsonrpc":"2.0","id":3,"result":{}})"},
      {"{", parse_error},
      {R"({"id":1,"method":"ping"} x)", parse_error},
      {R"({"id":1,"method":"ping"}{})", parse_error},
      {R"({"id":1,"id":2,"method":"ping"})", parse_error},
      {R"({"id":1,"method":"ping","params":{"a":1,"a":2}})", parse_error},
      {"\xEF\xBB\xBF{\"id\":1,\"method\":\"ping\"}", parse_error},
      {"{\"id\":1,\"method\":\"p\xFFing\"}", parse_error},
      {"[1,2]", not_an_object},
      {R"("x")", not_an_object},
      {"42", not_an_object},
      {"null", not_an_object},
      {R"({"id":7,"method":"ping","params":[1]})", invalidLine("params must be an object", "7")},
      {R"({"id":"p","method":"ping","params":null})", invalidLine("params must be an object", R"("p")")},
      {R"({"id":8,"method":"nope","params":"x"})", invalidLine("params must be an object", "8")},
      {R"({"id":9,"method":"frobnicate"})", errorLine(-32601, "Method not found: frobnicate", "9")},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(t.replyTo(c.line), c.expected);
  }
  EXPECT_TRUE(t.log.lines().empty());
}

// The id comes back as the value it was, written compactly, whatever its kind.
TEST(Handle, IdsEchoedAsValues) {
  struct Case {
    const char* id;
    const char* echoed;
  } cases[] = {
      {"\"a-1\"", "\"a-1\""},
      {"-5", "-5"},
      {"9223372036854775807", "9223372036854775807"},
      {"9223372036854775808", "9223372036854775808"},
      {"1.0", "1"},
      {"1.5e3", "1500"},
      {"-0", "-0"},
      {"1e400", "1e400"},
      {"true", "true"},
      {"\"\\u00e9\\/\\u0001\"", "\"é/\\u0001\""},
      {"\"\\ud83d\\ude00\"", "\"\xF0\x9F\x98\x80\""},
      {"[1, {\"b\" : null}]", "[1,{\"b\":null}]"},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.id);
    std::string line = std::string(R"({"method":"ping","id":)") + c.id + "}";
    EXPECT_EQ(t.replyTo(line), std::string(R"({"jsonrpc":"2.0","id":)") + c.echoed + R"(,"result":{}})");
  }
}

// Notifications, client responses and blank lines are never answered.
TEST(Handle, Silent) {
  const char* lines[] = {
      R"({"method":"ping"})",
      R"({"id":null,"method":"ping"})",
      R"({"jsonrpc":"2.0","method":"notifications/initialized"})",
      R"({"method":"nope","params":[1]})",
      R"({"id":1,"method":3})",
      R"({"id":1,"result":{}})",
      R"({"id":1001,"error":{"code":1,"message":"x"}})",
      "",
      " \t\r \r",
  };
  TestServer t;
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    EXPECT_EQ(t.run(line).size(), 0u);
  }
  EXPECT_TRUE(t.log.lines().empty());
}

// Ids nest as deep as a client likes, but the writer stops at 256 levels: deeper ids are dropped
// with a report, and the server goes on.
TEST(Handle, DeeplyNestedIds) {
  TestServer t;
  EXPECT_EQ(t.replyTo(R"({"method":"ping","id":)" + nested(256) + "}"),
            R"({"jsonrpc":"2.0","id":)" + nested(256) + R"(,"result":{}})");
  EXPECT_EQ(t.run(R"({"method":"ping","id":)" + nested(257) + "}").size(), 0u);
  EXPECT_EQ(t.log.take(), std::vector<std::string>{"value nested too deeply; message dropped"});
  EXPECT_EQ(t.run(R"({"method":"ping","id":)" + nested(1000000) + "}").size(), 0u);
  EXPECT_EQ(t.log.take().size(), 1u);
  EXPECT_EQ(t.replyTo(R"({"id":1,"method":"ping"})"), R"({"jsonrpc":"2.0","id":1,"result":{}})");
}

TEST(Handle, LongLinesAreWholeMessages) {
  TestServer t;
  std::string text(5 << 20, 'x');
  std::string line = R"({"id":"big","method":"ping","params":{"pad":")" + text + R"("}})";
  EXPECT_EQ(t.replyTo(line), R"({"jsonrpc":"2.0","id":"big","result":{}})");
  std::string id = "\"" + std::string(100000, '\\') + std::string(100000, '\\') + "\"";
  std::string reply = t.replyTo(R"({"method":"ping","id":)" + id + "}");
  EXPECT_EQ(reply, R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":{}})");
}

// Each message leaves exactly the reply, or nothing and one report; nothing leaks either way.
TEST(Handle, OutOfMemoryAtEveryAllocation) {
  struct Case {
    std::string line;
    std::string expected;
  } cases[] = {
      {R"({"jsonrpc":"2.0","id":1,"method":"ping"})", R"({"jsonrpc":"2.0","id":1,"result":{}})"},
      {"{", parse_error},
      {R"({"id":"x","method":"what"})", errorLine(-32601, "Method not found: what", R"("x")")},
      {R"({"id":4,"method":"initialize","params":{"protocolVersion":"2024-11-05","pad":")" +
           std::string(10000, 'p') + "\"}}",
       ""},  // filled in below from an unfailing run
  };
  TestServer t;
  cases[3].expected = t.replyTo(cases[3].line);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line.substr(0, 60));
    walkOutOfMemory(t, c.line, c.expected);
  }
}

// Hostile sizes are answered like any request, and every byte they took is given back after the
// reply. (How their cost grows with size is measured by bench/hostile.sh, not here.)
TEST(Handle, HostileSizesAreAnsweredAndReleased) {
  std::string members;
  for (int i = 0; i < 1000000; ++i) members += (i ? ",\"k" : "\"k") + std::to_string(i) + "\":0";
  std::string escapes;
  for (int i = 0; i < 2500000; ++i) escapes += "\\n\\u0041";
  struct Case {
    const char* name;
    std::string params;
  } cases[] = {
      {"an object of 1,000,000 members", "{" + members + "}"},
      {"an array 1,000,000 deep", R"({"a":)" + nested(1000000) + "}"},
      {"a 100 MB string", R"({"s":")" + std::string(100 << 20, 's') + "\"}"},
      {"10 MB of escapes", R"({"s":")" + escapes.substr(0, 10 << 20) + "\"}"},
  };
  TestServer t;
  std::size_t baseline = t.gpa.outstanding();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(t.replyTo(R"({"id":1,"method":"ping","params":)" + c.params + "}"), R"({"jsonrpc":"2.0","id":1,"result":{}})");
    EXPECT_EQ(t.gpa.outstanding(), baseline);
  }
  // A repeated name at the end of a million members still rejects the whole text.
  EXPECT_EQ(t.replyTo(R"({"id":1,"method":"ping","params":{)" + members + R"(,"k0":1}})"), parse_error);
}


// Modern requests (MCP 2026-07-28): each names its revision and the client's capabilities in _meta.
constexpr std::string_view caps_roots = R"("io.modelcontextprotocol/clientCapabilities":{"roots":{}})";
constexpr std::string_view version_meta = R"("io.modelcontextprotocol/protocolVersion":"2026-07-28")";

// params {<members>,"_meta":{<version>,<capabilities>[,<meta>]}}
std::string modernParams(std::string_view members, std::string_view meta = "", std::string_view caps = caps_roots) {
  std::string params = "{" + std::string(members) + (members.empty() ? "" : ",") + R"("_meta":{)" + std::string(version_meta) +
                       "," + std::string(caps) + (meta.empty() ? "" : ",") + std::string(meta) + "}}";
  return params;
}
std::string modernLine(std::string_view method, std::string_view members = "", std::string_view id = "1") {
  return requestLine(method, modernParams(members), id);
}
std::string modernCall(std::string_view name, std::string_view arguments, std::string_view more = "",
                       std::string_view id = "1") {
  return requestLine("tools/call", modernParams(R"("name":")" + std::string(name) + R"(","arguments":)" +
                                                std::string(arguments) + std::string(more)), id);
}

const std::string server_meta =
    R"("_meta":{"io.modelcontextprotocol/serverInfo":{"name":"marlo-demo-tarn","title":"示例服务端（Tarn）","version":"1.0.0"}})";
const std::string hints = R"("ttlMs":3600000,"cacheScope":"public",)";

// {"jsonrpc":"2.0","id":<id>,"result":{"resultType":"complete",<members>,<hints>?"_meta":...}}
std::string modernResult(std::string_view members, bool cacheable = false, std::string_view id = "1") {
  return R"({"jsonrpc":"2.0","id":)" + std::string(id) + R"(,"result":{"resultType":"complete",)" + std::string(members) +
         "," + (cacheable ? hints : "") + server_meta + "}}";
}
std::string modernText(std::string_view text, bool is_error = false, std::string_view id = "1") {
  return modernResult(R"("content":[{"type":"text","text":")" + std::string(text) + R"("}],"isError":)" +
                      (is_error ? "true" : "false"), false, id);
}

TEST(Modern, Replies) {
  struct Case {
    std::string line;
    std::string expected;
  } cases[] = {
      {modernLine("server/discover"),
       modernResult(R"("supportedVersions":["2026-07-28"],"capabilities":{"tools":{"listChanged":false},"resources":{},)"
                    R"("prompts":{},"logging":{}},"instructions":"A demo server written in Tarn: try echo, image, notify and ask_client.")",
                    true)},
      {modernLine("resources/list"),
       modernResult(R"("resources":[{"uri":"demo://readme","name":"readme","title":"说明","mimeType":"text/markdown"}])", true)},
      {modernLine("resources/read", R"("uri":"demo://notes/x")"),
       modernResult(R"("contents":[{"uri":"demo://notes/x","mimeType":"text/plain","text":"笔记：x"}])", true)},
      {modernCall("echo", R"({"text":"hi"})"), modernText("hi")},
      {modernCall("fail", "{}"), modernText("This tool always fails (on purpose).", true)},
      // Argument problems are results; what is wrong with the request stays an error
      {modernCall("echo", R"({"times":2})"), modernText("Invalid arguments: text is missing", true)},
      {modernCall("image", R"({"color":"Red"})"), modernText("Invalid arguments: unknown color: Red", true)},
      {modernCall("nope", "{}"), invalidLine("Unknown tool: nope")},
      {modernLine("resources/read", R"("uri":"demo://nowhere")"),
       R"({"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":"Resource not found: demo://nowhere","data":{"uri":"demo://nowhere"}}})"},
      {modernLine("tools/list", R"("cursor":"9")"), invalidLine("Invalid cursor")},
      // Gone in the modern era, or never there
      {modernLine("ping"), errorLine(-32601, "Method not found: ping")},
      {modernLine("initialize"), errorLine(-32601, "Method not found: initialize")},
      {modernLine("logging/setLevel", R"("level":"debug")"), errorLine(-32601, "Method not found: logging/setLevel")},
      {modernLine("resources/subscribe", R"("uri":"demo://readme")"), errorLine(-32601, "Method not found: resources/subscribe")},
      // _meta checked
      {requestLine("tools/list", R"({"_meta":{"io.modelcontextprotocol/protocolVersion":"2026-07-28"}})"),
       invalidLine("Invalid params: _meta must name io.modelcontextprotocol/clientCapabilities, an object")},
      {requestLine("tools/list", R"({"_meta":{"io.modelcontextprotocol/protocolVersion":1,)" + std::string(caps_roots) + "}}"),
       invalidLine("Invalid params: _meta must name io.modelcontextprotocol/protocolVersion, a string")},
      {requestLine("tools/list", R"({"_meta":{"io.modelcontextprotocol/protocolVersion":"2025-11-25","io.modelcontextprotocol/clientCapabilities":{}}})"),
       R"({"jsonrpc":"2.0","id":1,"error":{"code":-32022,"message":"Unsupported protocol version",)"
       R"("data":{"supported":["2026-07-28"],"requested":"2025-11-25"}}})"},
      {requestLine("tools/call", modernParams(R"("name":"echo","arguments":{"text":"x"})", R"("io.modelcontextprotocol/logLevel":"loud")")),
       invalidLine("Invalid params: unknown log level")},
      {requestLine("tools/call", modernParams(R"("name":"ask_client","arguments":{})", "", R"("io.modelcontextprotocol/clientCapabilities":{})"), "2"),
       R"({"jsonrpc":"2.0","id":2,"error":{"code":-32021,"message":"Missing required client capability: roots",)"
       R"("data":{"requiredCapabilities":{"roots":{}}}}})"},
      // Without a version in _meta a request is legacy, as it always was
      {requestLine("server/discover", R"({"_meta":{}})"), errorLine(-32601, "Method not found: server/discover")},
      {requestLine("ping", R"({"_meta":{"io.modelcontextprotocol/clientCapabilities":{}}})"), R"({"jsonrpc":"2.0","id":1,"result":{}})"},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(t.callReply(c.line), c.expected);
  }
  EXPECT_TRUE(t.log.lines().empty());
}

// The requestState in the text an input_required result `line` holds.
std::string stateIn(const std::string& line) {
  const std::string key = R"("requestState":")";
  const std::size_t at = line.find(key);
  if (at == std::string::npos) return "";
  return line.substr(at + key.size(), line.find('"', at + key.size()) - at - key.size());
}

TEST(Modern, AskClientByRetry) {
  TestServer t;
  const std::string first = t.callReply(modernCall("ask_client", "{}"));
  const std::string state = stateIn(first);
  EXPECT_EQ(first, R"({"jsonrpc":"2.0","id":1,"result":{"resultType":"input_required","inputRequests":{"roots":)"
                   R"({"method":"roots/list","params":{}}},"requestState":")" + state + R"(",)" + server_meta + "}}");
  const std::string roots = R"({"roots":[{"uri":"file:///w","name":"w"}]})";
  auto retry = [&](std::string_view arguments, std::string_view with_state, std::string_view responses) {
    std::string more = R"(,"requestState":")" + std::string(with_state) + "\"";
    if (!responses.empty()) more += R"(,"inputResponses":{"roots":)" + std::string(responses) + "}";
    return t.callReply(modernCall("ask_client", arguments, more, "2"));
  };
  std::string changed = state;
  changed[20] = changed[20] == 'A' ? 'B' : 'A';
  const std::string refused = invalidLine("Invalid params: requestState is not valid for this request", "2");
  struct Case {
    const char* name;
    std::string reply;
    std::string expected;
  } cases[] = {
      {"answered", retry("{}", state, roots),
       modernResult(R"("content":[{"type":"text","text":"client answered: {\"roots\":[{\"uri\":\"file:///w\",\"name\":\"w\"}]}"}],"isError":false)",
                    false, "2")},
      {"a byte changed", retry("{}", changed, roots), refused},
      {"other arguments", retry(R"({"x":1})", state, roots), refused},
      {"no roots yet: asked again", stateIn(retry("{}", state, "")).empty() ? "none" : "asked", "asked"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.reply, c.expected);
  }
  t.advance(std::chrono::minutes(10));
  EXPECT_EQ(retry("{}", state, roots), refused);
  EXPECT_TRUE(t.out.lines().empty());  // no request went to the client
}

// Legacy and modern requests on one process: each gets what its era has, and neither the other's lines.
TEST(Modern, ErasInterleave) {
  TestServer t;
  t.handle(callLine("ask_client", "{}", "", "\"legacy\""));                      // a roots/list to the client
  t.handle(callLine("notify", R"({"steps":1})", "", "7"));                      // log lines
  t.handle(modernCall("notify", R"({"steps":1})", "", "7"));                    // none: no level named
  t.handle(modernCall("ask_client", "{}", "", "8"));                           // input_required, no request
  t.handle(requestLine("subscriptions/listen", modernParams(R"("notifications":{"toolsListChanged":true})"), "\"l\""));
  t.handle(modernCall("slow", R"({"seconds":1})", "", "9"));
  t.handle(callLine("slow", R"({"seconds":1})", "", "9"));
  t.handle(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":9}})");  // the modern one
  std::vector<std::string> out = t.out.take();
  ASSERT_EQ(out.size(), 4u);
  EXPECT_EQ(out[0], R"({"jsonrpc":"2.0","id":1001,"method":"roots/list","params":{}})");
  EXPECT_EQ(out[1], notifyLines(1, "")[0]);
  EXPECT_TRUE(out[2].starts_with(R"({"jsonrpc":"2.0","id":8,"result":{"resultType":"input_required")")) << out[2];
  EXPECT_EQ(out[3], R"({"jsonrpc":"2.0","method":"notifications/subscriptions/acknowledged","params":)"
                    R"({"_meta":{"io.modelcontextprotocol/subscriptionId":"l"},"notifications":{}}})");
  t.handle(R"({"jsonrpc":"2.0","id":1001,"result":{"roots":[]}})");
  t.finishCalls();
  EXPECT_EQ(t.out.take(), (std::vector<std::string>{
                              resultLine(R"(client answered: {\"jsonrpc\":\"2.0\",\"id\":1001,\"result\":{\"roots\":[]}})", false, "\"legacy\""),
                              resultLine("done after 1 steps", false, "7"),
                              modernText("done after 1 steps", false, "7"),
                              resultLine("slept 1 s", false, "9"),
                          }));
  // At end of input the subscription is completed, then cancelled
  endSubscriptions(*t.server, t.session);
  EXPECT_EQ(t.out.take(), (std::vector<std::string>{
                              R"({"jsonrpc":"2.0","id":"l","result":{"resultType":"complete","_meta":{"io.modelcontextprotocol/subscriptionId":"l",)" +
                                  server_meta.substr(9) + "}}",
                              R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":"l","reason":"the server is shutting down"}})",
                          }));
  // A subscription the client cancels ends without a word
  t.handle(requestLine("subscriptions/listen", modernParams(R"("notifications":{})"), "3"));
  t.handle(R"({"jsonrpc":"2.0","method":"notifications/cancelled","params":{"requestId":3}})");
  endSubscriptions(*t.server, t.session);
  EXPECT_EQ(t.out.take().size(), 1u);  // the acknowledgement alone
}

// A modern reply is whole or absent, as a legacy one is.
TEST(Modern, OutOfMemoryAtEveryAllocation) {
  TestServer t;
  walkOutOfMemory(t, modernCall("echo", R"({"text":"hi"})"), modernText("hi"));
  walkOutOfMemory(t, modernLine("prompts/list"), t.replyTo(modernLine("prompts/list")));
  walkToolCallOutOfMemory(t, modernCall("slow", R"({"seconds":0})"), {modernText("slept 0 s")});
}

}  // namespace
