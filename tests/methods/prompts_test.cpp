#include "methods/prompts.h"

#include <gtest/gtest.h>

#include <string>

#include "support/capture.h"

namespace {

std::string get(const std::string& params) {
  return R"({"jsonrpc":"2.0","id":1,"method":"prompts/get","params":)" + params + "}";
}
std::string prompt(const std::string& text) {
  return R"({"jsonrpc":"2.0","id":1,"result":{"description":"Code review","messages":[{"role":"user","content":{"type":"text","text":")" +
         text + "\"}}]}}";
}
std::string invalid(const std::string& message) {
  return R"({"jsonrpc":"2.0","id":1,"error":{"code":-32602,"message":")" + message + "\"}}";
}

TEST(GetPrompt, Answers) {
  const std::string missing_code = invalid("missing argument: code");
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
      {R"({"name":"Review","arguments":{"code":"x"}})", invalid("Unknown prompt: Review")},
      {R"({"name":"nope"})", invalid("Unknown prompt: nope")},
      {R"({"name":"a\"b"})", invalid(R"(Unknown prompt: a\"b)")},
      {R"({"name":1,"arguments":{"code":"x"}})", invalid("Unknown prompt: ")},
      {R"({})", invalid("Unknown prompt: ")},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    EXPECT_EQ(t.replyTo(get(c.params)), c.expected);
  }
}

TEST(GetPrompt, OutOfMemory) {
  TestServer t;
  std::string code(3000, 'c');
  walkOutOfMemory(t, get(R"({"name":"review","arguments":{"code":")" + code + R"(","language":"Go"}})"),
                  prompt("请审查这段Go代码：\\n" + code));
}

}  // namespace
