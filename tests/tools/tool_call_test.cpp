#include "tools/tool_call.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/lines.h"

namespace {

// Unknown names are answered before handle() returns.
TEST(ToolCall, UnknownNames) {
  struct Case {
    const char* params;
    const char* message;
  } cases[] = {
      {R"({"name":"Echo"})", "Unknown tool: Echo"},
      {R"({"name":" echo"})", "Unknown tool:  echo"},
      {R"({"name":"echo "})", "Unknown tool: echo "},
      {R"({"name":"crash\u0000"})", "Unknown tool: crash\\u0000"},
      {R"({"name":"ask-client"})", "Unknown tool: ask-client"},
      {R"({})", "Unknown tool: "},
      {R"({"name":5})", "Unknown tool: "},
      {R"({"name":null})", "Unknown tool: "},
      {R"({"name":["echo"]})", "Unknown tool: "},
      {R"({"arguments":{"text":"x"}})", "Unknown tool: "},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    EXPECT_EQ(t.replyTo(requestLine("tools/call", c.params)), invalidLine(c.message));
  }
  EXPECT_EQ(t.replyTo(R"({"id":2,"method":"tools/call"})"), invalidLine("Unknown tool: ", "2"));
  EXPECT_TRUE(t.log.lines().empty());
}

TEST(ToolCall, ArgumentsThatAreNotAnObjectAreEmpty) {
  const char* arguments[] = {R"(,"arguments":[])", R"(,"arguments":["text"])", R"(,"arguments":"text")",
                             R"(,"arguments":null)", R"(,"arguments":5)", ""};
  TestServer t;
  for (const char* a : arguments) {
    SCOPED_TRACE(a);
    EXPECT_EQ(t.callReply(requestLine("tools/call", std::string(R"({"name":"echo")") + a + "}")),
              invalidLine("Invalid arguments: text is missing"));
  }
}

// Readers seen through echo (text, and times with default 1 in 1..10) and add (a and b). The first
// argument that fails decides the answer.
TEST(ToolCall, ArgumentReaders) {
  struct Case {
    const char* name;
    const char* arguments;
    std::string expected;
  } cases[] = {
      {"echo", R"({"text":"hi"})", resultLine("hi")},
      {"echo", R"({"text":"hi","times":null})", resultLine("hi")},
      {"echo", R"({"text":"hi","times":10})", resultLine("hi hi hi hi hi hi hi hi hi hi")},
      {"echo", R"({"text":"hi","times":2.0})", invalidLine("Invalid arguments: times has the wrong type")},
      {"echo", R"({"text":"hi","times":"3"})", invalidLine("Invalid arguments: times has the wrong type")},
      {"echo", R"({"text":"hi","times":true})", invalidLine("Invalid arguments: times has the wrong type")},
      {"echo", R"({"text":"hi","times":99999999999999999999})",
       invalidLine("Invalid arguments: times has the wrong type")},
      {"echo", R"({"text":"hi","times":0})", invalidLine("Invalid arguments: times is out of range")},
      {"echo", R"({"text":"hi","times":11})", invalidLine("Invalid arguments: times is out of range")},
      {"echo", R"({"text":null})", invalidLine("Invalid arguments: text has the wrong type")},
      {"echo", R"({"text":5})", invalidLine("Invalid arguments: text has the wrong type")},
      {"echo", R"({"Text":"hi"})", invalidLine("Invalid arguments: text is missing")},
      {"echo", R"({"times":11})", invalidLine("Invalid arguments: text is missing")},
      {"add", R"({"a":9007199254740993,"b":0})", resultLine("9007199254740992")},
      {"add", R"({"a":"1","b":2})", invalidLine("Invalid arguments: a has the wrong type")},
      {"add", R"({"a":null,"b":2})", invalidLine("Invalid arguments: a has the wrong type")},
      {"add", R"({"a":1e400,"b":2})", invalidLine("Invalid arguments: a has the wrong type")},
      {"add", R"({"a":1,"b":{}})", invalidLine("Invalid arguments: b has the wrong type")},
      {"add", R"({"a":1})", invalidLine("Invalid arguments: b is missing")},
      {"add", R"({})", invalidLine("Invalid arguments: a is missing")},
      {"add", R"({"b":"x"})", invalidLine("Invalid arguments: a is missing")},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    EXPECT_EQ(t.callReply(callLine(c.name, c.arguments)), c.expected);
  }
}

// The progress token is taken from "_meta" whatever its kind, null included; it shows as the
// notify tool's progress notifications.
TEST(ToolCall, ProgressToken) {
  struct Case {
    const char* meta;
    const char* token;  // as the progress notification writes it; empty: none is sent
  } cases[] = {
      {"", ""},
      {R"(,"_meta":1)", ""},
      {R"(,"_meta":{})", ""},
      {R"(,"_meta":null)", ""},
      {R"(,"_meta":[{"progressToken":"t"}])", ""},
      {R"(,"_meta":{"progresstoken":"t"})", ""},
      {R"(,"_meta":{"progressToken":null})", "null"},
      {R"(,"_meta":{"progressToken":"t"})", R"("t")"},
      {R"(,"_meta":{"progressToken":"\u00e9\"\u0007"})", R"("é\"\u0007")"},
      {R"(,"_meta":{"progressToken":-17})", "-17"},
      {R"(,"_meta":{"progressToken":2.50})", "2.5"},
      {R"(,"_meta":{"other":1,"progressToken":{"k":[true, 1.0]}})", R"({"k":[true,1]})"},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.meta);
    EXPECT_EQ(t.runCall(callLine("notify", R"({"steps":1})", c.meta)), notifyLines(1, c.token));
  }
  EXPECT_TRUE(t.log.lines().empty());
}

// Every call of a burst is answered exactly once, whole, with its own id and its own result; most
// of them wait, for times that interleave, and a few answer at once among them.
TEST(ToolCall, ManyCallsAtOnce) {
  TestServer t;
  std::vector<std::string> expected;
  for (int i = 0; i < 200; ++i) {
    std::string id = "\"c" + std::to_string(i) + "\"";
    if (i % 10 == 0) {
      t.handle(callLine("echo", R"({"text":"t)" + std::to_string(i) + R"("})", "", id));
      expected.push_back(resultLine("t" + std::to_string(i), false, id));
      continue;
    }
    std::string seconds = "0.0" + std::to_string(i % 7 + 1);
    t.handle(callLine("slow", R"({"seconds":)" + seconds + "}", "", id));
    expected.push_back(resultLine("slept " + seconds + " s", false, id));
  }
  EXPECT_EQ(t.loop.tasks, 180u);
  t.finishCalls();
  std::vector<std::string> out = t.out.take();
  std::sort(out.begin(), out.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(out, expected);
  EXPECT_TRUE(t.log.lines().empty());
}

// A session that ends takes its waiting calls with it, wherever each stands: asleep, between
// notify's steps, waiting for the client's answer or for its request to leave. Nothing more is
// sent, no timer is left armed, no task is left counted, and their memory comes back.
TEST(ToolCall, AbandonedWithTheirSession) {
  TestServer t;
  t.handle(callLine("ask_client", "{}", "", "0"));  // the table of pending requests keeps its buckets from now on
  t.run(R"({"jsonrpc":"2.0","id":1001,"result":{}})");
  t.out.take();
  std::size_t baseline = t.gpa.outstanding();
  t.handle(callLine("slow", R"({"seconds":5})", "", "1"));
  t.handle(callLine("notify", R"({"steps":3})", R"(,"_meta":{"progressToken":"p"})", "2"));
  t.handle(callLine("ask_client", "{}", "", "3"));
  t.out.holdDeliveries();
  t.handle(callLine("ask_client", "{}", "", "4"));  // its request has not left yet
  t.advance(std::chrono::milliseconds(60));
  t.out.take();
  EXPECT_EQ(t.loop.tasks, 4u);
  abandonCalls(t.session);
  EXPECT_EQ(t.loop.tasks, 0u);
  EXPECT_FALSE(t.loop.nextDeadline());
  EXPECT_TRUE(t.session.requests.pending.empty());
  t.out.releaseDeliveries();
  t.advance(std::chrono::seconds(20));
  EXPECT_EQ(t.out.take(), std::vector<std::string>{});
  EXPECT_EQ(t.gpa.outstanding(), baseline);
}

// A slow call holds up nothing: a later call and a ping are answered while it sleeps, and it
// replies when its time has come, not before.
TEST(ToolCall, OthersGoOnDuringASlowCall) {
  using std::chrono::milliseconds;
  TestServer t;
  EXPECT_EQ(t.run(R"({"id":"slow","method":"tools/call","params":{"name":"slow","arguments":{"seconds":1}}})"),
            std::vector<std::string>{});
  EXPECT_EQ(t.replyTo(R"({"id":"fast","method":"tools/call","params":{"name":"fail"}})"),
            resultLine("This tool always fails (on purpose).", true, R"("fast")"));
  t.advance(milliseconds(999));
  EXPECT_EQ(t.replyTo(R"({"id":"p","method":"ping"})"), R"({"jsonrpc":"2.0","id":"p","result":{}})");
  t.advance(milliseconds(1));
  EXPECT_EQ(t.out.take(), std::vector<std::string>{resultLine("slept 1 s", false, R"("slow")")});
}

TEST(ToolCall, OutOfMemory) {
  TestServer t;
  // Long enough that the message's arena has to grow while the call runs.
  std::string text(5000, 'x');
  walkToolCallOutOfMemory(t, callLine("echo", R"({"text":")" + text + R"(","times":2})"),
                          {resultLine(text + " " + text)});
  walkToolCallOutOfMemory(t, callLine("echo", R"({"times":11,"pad":")" + text + "\"}"),
                          {invalidLine("Invalid arguments: text is missing")});
  // An unknown name that cannot be answered for lack of memory is reported like any dropped reply.
  walkOutOfMemory(t, requestLine("tools/call", R"({"name":")" + text + "\"}"), invalidLine("Unknown tool: " + text));
}

}  // namespace
