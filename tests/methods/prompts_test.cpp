#include "methods/prompts.h"

#include <gtest/gtest.h>

#include <string>

#include "support/capture.h"
#include "support/lines.h"

namespace {

std::string prompt(const std::string& text) {
  return R"({"jsonrpc":"2.0","id":1,"result":{"description":"Code review","messages":[{"role":"user","content":{"type":"text","text":")" +
         text + "\"}}]}}";
}

TEST(GetPrompt, Answers) {
  const std::string missing_code = invalidLine("missing argument: code");
  struct Case {
    const char* params;
    std::string expected;
  } cases[] = {
      {R"({"name":"review","arguments":{"code":"SELECT 1","language":"SQL"}})", prompt(R"(请审查这段SQL代码：\nSELECT 1)")},
      {R"({"name":"review","arguments":{"code":"SELECT 1"}})", prompt(R"(请审查这段代码：\nSELECT 1)")},
      {R"({"name":"review","arguments":{"code":"SELECT 1","language":""}})", prompt(R"(请审查这段代码：\nSELECT 1)")},
      {R"({"name":"review","arguments":{"code":"x","language":7}})", prompt(R"(请审查这段代码：\nx)")},
      {R"({"name":"review","arguments":{"code":""}})", prompt(R"(请审查这段代码：\n)")},
      {R"({"name":"review","arguments":{"code":"a \"q\" \\ \t\n\r\u0002","language":"C\""}})",
       prompt(R"(请审查这段C\"代码：\na \"q\" \\ \t\n\r\u0002)")},
      {R"({"name":"review","arguments":{"code":"x","other":1},"more":[]})", prompt(R"(请审查这段代码：\nx)")},
      {R"({"name":"review"})", missing_code},
      {R"({"name":"review","arguments":null})", missing_code},
      {R"({"name":"review","arguments":"{\"code\":\"x\"}"})", missing_code},
      {R"({"name":"review","arguments":{"code":null}})", missing_code},
      {R"({"name":"review","arguments":{"code":5}})", missing_code},
      {R"({"name":"review","arguments":{"code":["x"]}})", missing_code},
      {R"({"name":"Review","arguments":{"code":"x"}})", invalidLine("Unknown prompt: Review")},
      {R"({"name":"nope"})", invalidLine("Unknown prompt: nope")},
      {R"({"name":"a\"b"})", invalidLine(R"(Unknown prompt: a\"b)")},
      {R"({"name":1,"arguments":{"code":"x"}})", invalidLine("Unknown prompt: ")},
      {R"({})", invalidLine("Unknown prompt: ")},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    EXPECT_EQ(t.replyTo(requestLine("prompts/get", c.params)), c.expected);
  }
}

TEST(GetPrompt, OutOfMemory) {
  TestServer t;
  std::string code(3000, 'c');
  std::string params = R"({"name":"review","arguments":{"code":")" + code + R"(","language":"Go"}})";
  walkOutOfMemory(t, requestLine("prompts/get", params), prompt("请审查这段Go代码：\\n" + code));
}

}  // namespace
