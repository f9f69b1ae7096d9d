#include "tools/tool_call.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/capture.h"

namespace {

std::string callLine(std::string_view params) {
  return R"({"jsonrpc":"2.0","id":1,"method":"tools/call","params":)" + std::string(params) + "}";
}

// `text` is the JSON text of the result's text member, quotes included.
std::string resultLine(std::string_view text) {
  return R"({"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"text","text":)" + std::string(text) +
         R"(}],"isError":false}})";
}

// `message` is written into the JSON string as it is: no characters that need escaping.
std::string invalidLine(std::string_view message) {
  return R"({"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":")" + std::string(message) + R"("}})";
}

// Unknown names are answered on the main thread, before handle() returns.
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
    EXPECT_EQ(t.replyTo(callLine(c.params)), invalidLine(c.message));
  }
  EXPECT_EQ(t.replyTo(R"({"id":2,"method":"tools/call"})"),
            R"({"jsonrpc":"2.0","id":2,"error":{"code":-32602,"message":"Unknown tool: "}})");
  EXPECT_TRUE(t.log.lines().empty());
}

TEST(ToolCall, ArgumentsThatAreNotAnObjectAreEmpty) {
  const char* arguments[] = {R"(,"arguments":[])", R"(,"arguments":["text"])", R"(,"arguments":"text")",
                             R"(,"arguments":null)", R"(,"arguments":5)", ""};
  TestServer t;
  for (const char* a : arguments) {
    SCOPED_TRACE(a);
    EXPECT_EQ(t.callReply(callLine(std::string(R"({"name":"echo")") + a + "}")),
              invalidLine("Invalid arguments: text is missing"));
  }
}

// Readers seen through echo (text, and times with default 1 in 1..10) and add (a and b). The first
// argument that fails decides the answer.
TEST(ToolCall, ArgumentReaders) {
  struct Case {
    const char* call;
    std::string expected;
  } cases[] = {
      {R"("echo","arguments":{"text":"hi"})", resultLine(R"("hi")")},
      {R"("echo","arguments":{"text":"hi","times":null})", resultLine(R"("hi")")},
      {R"("echo","arguments":{"text":"hi","times":10})", resultLine(R"("hi hi hi hi hi hi hi hi hi hi")")},
      {R"("echo","arguments":{"text":"hi","times":2.0})", invalidLine("Invalid arguments: times has the wrong type")},
      {R"("echo","arguments":{"text":"hi","times":"3"})", invalidLine("Invalid arguments: times has the wrong type")},
      {R"("echo","arguments":{"text":"hi","times":true})", invalidLine("Invalid arguments: times has the wrong type")},
      {R"("echo","arguments":{"text":"hi","times":99999999999999999999})",
       invalidLine("Invalid arguments: times has the wrong type")},
      {R"("echo","arguments":{"text":"hi","times":0})", invalidLine("Invalid arguments: times is out of range")},
      {R"("echo","arguments":{"text":"hi","times":11})", invalidLine("Invalid arguments: times is out of range")},
      {R"("echo","arguments":{"text":null})", invalidLine("Invalid arguments: text has the wrong type")},
      {R"("echo","arguments":{"text":5})", invalidLine("Invalid arguments: text has the wrong type")},
      {R"("echo","arguments":{"Text":"hi"})", invalidLine("Invalid arguments: text is missing")},
      {R"("echo","arguments":{"times":11})", invalidLine("Invalid arguments: text is missing")},
      {R"("add","arguments":{"a":9007199254740993,"b":0})", resultLine(R"("9007199254740992")")},
      {R"("add","arguments":{"a":"1","b":2})", invalidLine("Invalid arguments: a has the wrong type")},
      {R"("add","arguments":{"a":null,"b":2})", invalidLine("Invalid arguments: a has the wrong type")},
      {R"("add","arguments":{"a":1e400,"b":2})", invalidLine("Invalid arguments: a has the wrong type")},
      {R"("add","arguments":{"a":1,"b":{}})", invalidLine("Invalid arguments: b has the wrong type")},
      {R"("add","arguments":{"a":1})", invalidLine("Invalid arguments: b is missing")},
      {R"("add","arguments":{})", invalidLine("Invalid arguments: a is missing")},
      {R"("add","arguments":{"b":"x"})", invalidLine("Invalid arguments: a is missing")},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call);
    EXPECT_EQ(t.callReply(callLine(std::string(R"({"name":)") + c.call + "}")), c.expected);
  }
}

// The progress token is taken from "_meta" whatever its kind, null included; it shows as the
// notify tool's progress notifications.
TEST(ToolCall, ProgressToken) {
  const std::string message =
      R"({"jsonrpc":"2.0","method":"notifications/message","params":{"level":"info","logger":"demo","data":"step 1/1"}})";
  auto progress = [](std::string token) {
    return R"({"jsonrpc":"2.0","method":"notifications/progress","params":{"progressToken":)" + token +
           R"(,"progress":1,"total":1}})";
  };
  const std::string reply = resultLine(R"("done after 1 steps")");
  struct Case {
    const char* meta;
    std::vector<std::string> expected;
  } cases[] = {
      {"", {message, reply}},
      {R"(,"_meta":1)", {message, reply}},
      {R"(,"_meta":{})", {message, reply}},
      {R"(,"_meta":null)", {message, reply}},
      {R"(,"_meta":[{"progressToken":"t"}])", {message, reply}},
      {R"(,"_meta":{"progresstoken":"t"})", {message, reply}},
      {R"(,"_meta":{"progressToken":null})", {message, progress("null"), reply}},
      {R"(,"_meta":{"progressToken":"t"})", {message, progress(R"("t")"), reply}},
      {R"(,"_meta":{"progressToken":"\u00e9\"\u0007"})", {message, progress(R"("é\"\u0007")"), reply}},
      {R"(,"_meta":{"progressToken":-17})", {message, progress("-17"), reply}},
      {R"(,"_meta":{"progressToken":2.50})", {message, progress("2.5"), reply}},
      {R"(,"_meta":{"other":1,"progressToken":{"k":[true, 1.0]}})", {message, progress(R"({"k":[true,1]})"), reply}},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.meta);
    EXPECT_EQ(t.runCall(callLine(std::string(R"({"name":"notify","arguments":{"steps":1})") + c.meta + "}")),
              c.expected);
  }
  EXPECT_TRUE(t.log.lines().empty());
}

// Every call of a burst is answered exactly once, whole, with its own id and its own result.
TEST(ToolCall, ManyCallsAtOnce) {
  TestServer t;
  std::vector<std::string> expected;
  for (int i = 0; i < 200; ++i) {
    std::string n = std::to_string(i);
    std::string times = std::to_string(i % 10 + 1);
    handle(*t.server, R"({"jsonrpc":"2.0","id":"e)" + n + R"(","method":"tools/call","params":{"name":"echo",)"
                          R"("arguments":{"text":"t)" + n + R"(","times":)" + times + "}}}");
    std::string text = "t" + n;
    for (int k = 1; k <= i % 10; ++k) text += " t" + n;
    expected.push_back(R"({"jsonrpc":"2.0","id":"e)" + n +
                       R"(","result":{"content":[{"type":"text","text":")" + text + R"("}],"isError":false}})");
    if (i % 10 == 0) {
      handle(*t.server, R"({"jsonrpc":"2.0","id":)" + n +
                            R"(,"method":"tools/call","params":{"name":"slow","arguments":{"seconds":0.05}}})");
      expected.push_back(R"({"jsonrpc":"2.0","id":)" + n +
                         R"(,"result":{"content":[{"type":"text","text":"slept 0.05 s"}],"isError":false}})");
    }
  }
  t.server->tools.group.wait();
  std::vector<std::string> out = t.out.take();
  std::sort(out.begin(), out.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(out, expected);
  EXPECT_TRUE(t.log.lines().empty());
}

// A slow call blocks only its own worker: a later call and a ping are answered before it ends.
TEST(ToolCall, MainLoopGoesOnDuringASlowCall) {
  TestServer t;
  EXPECT_EQ(t.run(R"({"id":"slow","method":"tools/call","params":{"name":"slow","arguments":{"seconds":1}}})"),
            std::vector<std::string>{});
  handle(*t.server, R"({"id":"fast","method":"tools/call","params":{"name":"fail"}})");
  EXPECT_EQ(t.out.waitFor(1), std::vector<std::string>{
                                  R"({"jsonrpc":"2.0","id":"fast","result":{"content":[{"type":"text",)"
                                  R"("text":"This tool always fails (on purpose)."}],"isError":true}})"});
  t.out.take();
  EXPECT_EQ(t.replyTo(R"({"id":"p","method":"ping"})"), R"({"jsonrpc":"2.0","id":"p","result":{}})");
  EXPECT_EQ(t.out.waitFor(1), std::vector<std::string>{R"({"jsonrpc":"2.0","id":"slow","result":{"content":)"
                                                       R"([{"type":"text","text":"slept 1 s"}],"isError":false}})"});
}

bool noThread(void (*)(void*), void*) noexcept { return false; }

// Without a single worker thread, a call that would wait is answered at once with a tool error, on
// the thread that reads input, and calls that never wait are answered as usual.
TEST(ToolCall, NoThreadAtAll) {
  TestServer t(&noThread);
  const std::string no_worker = R"({"content":[{"type":"text","text":"no worker thread could be started for this )"
                                R"(call; try again later"}],"isError":true})";
  for (const char* params : {R"({"name":"ask_client"})", R"({"name":"slow","arguments":{"seconds":60}})",
                             R"({"name":"notify"})"}) {
    SCOPED_TRACE(params);
    EXPECT_EQ(t.replyTo(callLine(params)), R"({"jsonrpc":"2.0","id":1,"result":)" + no_worker + "}");
  }
  EXPECT_EQ(t.replyTo(callLine(R"({"name":"echo","arguments":{"text":"hi"}})")), resultLine(R"("hi")"));
  EXPECT_TRUE(t.log.lines().empty());
}

TEST(ToolCall, OutOfMemory) {
  TestServer t;
  // Long enough that the message's arena has to grow while the call runs.
  std::string text(5000, 'x');
  walkToolCallOutOfMemory(t, callLine(R"({"name":"echo","arguments":{"text":")" + text + R"(","times":2}})"),
                          {resultLine("\"" + text + " " + text + "\"")});
  walkToolCallOutOfMemory(t, callLine(R"({"name":"echo","arguments":{"times":11,"pad":")" + text + "\"}}"),
                          {invalidLine("Invalid arguments: text is missing")});
  // An unknown name that cannot be answered for lack of memory is reported like any dropped reply.
  walkOutOfMemory(t, callLine(R"({"name":")" + text + "\"}"), invalidLine("Unknown tool: " + text));
}

}  // namespace
