#include "server/server.h"

#include <gtest/gtest.h>

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

}  // namespace
