#include "methods/resources.h"

#include <gtest/gtest.h>

#include <string>

#include "support/capture.h"
#include "support/lines.h"

namespace {

std::string note(const std::string& uri, const std::string& text) {
  return R"({"jsonrpc":"2.0","id":1,"result":{"contents":[{"uri":)" + uri +
         R"(,"mimeType":"text/plain","text":)" + text + "}]}}";
}
std::string notFound(std::string_view message) { return errorLine(-32002, message); }

TEST(ReadResource, Answers) {
  struct Case {
    const char* params;
    std::string expected;
  } cases[] = {
      {R"({"uri":"demo://readme"})",
       R"({"jsonrpc":"2.0","id":1,"result":{"contents":[{"uri":"demo://readme","mimeType":"text/markdown","text":"# 示例服务端\n\n用来试用 MCP 调试台。"}]}})"},
      {R"({"uri":"demo://notes/plan"})", note(R"("demo://notes/plan")", R"("笔记：plan")")},
      {R"({"uri":"demo://notes/"})", note(R"("demo://notes/")", R"("笔记：")")},
      {R"({"uri":"demo://notes/a/b c"})", note(R"("demo://notes/a/b c")", R"("笔记：a/b c")")},
      {R"({"uri":"demo://notes/%41é"})", note(R"("demo://notes/%41é")", R"("笔记：%41é")")},
      {R"({"uri":"demo://notes/say \"hi\"\\now"})",
       note(R"("demo://notes/say \"hi\"\\now")", R"("笔记：say \"hi\"\\now")")},
      {R"({"uri":"demo://notes/tab\there\u0001\n"})",
       note(R"("demo://notes/tab\there\u0001\n")", R"("笔记：tab\there\u0001\n")")},
      {R"({"uri":"demo://notes"})", notFound("Resource not found: demo://notes")},
      {R"({"uri":"DEMO://README"})", notFound("Resource not found: DEMO://README")},
      {R"({"uri":"demo://readme/"})", notFound("Resource not found: demo://readme/")},
      {R"({"uri":"demo://readme "})", notFound("Resource not found: demo://readme ")},
      {R"({"uri":"file:///etc/passwd"})", notFound("Resource not found: file:///etc/passwd")},
      {R"({"uri":"x\"\\\n"})", notFound(R"(Resource not found: x\"\\\n)")},
      {R"({"uri":42})", notFound("Resource not found: ")},
      {R"({"uri":null})", notFound("Resource not found: ")},
      {R"({})", notFound("Resource not found: ")},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    EXPECT_EQ(t.replyTo(requestLine("resources/read", c.params)), c.expected);
  }
}

TEST(ReadResource, OutOfMemory) {
  TestServer t;
  std::string name(5000, 'n');
  walkOutOfMemory(t, requestLine("resources/read", R"({"uri":"demo://notes/)" + name + "\"}"),
                  note("\"demo://notes/" + name + "\"", "\"笔记：" + name + "\""));
  walkOutOfMemory(t, requestLine("resources/read", R"({"uri":"nope"})"), notFound("Resource not found: nope"));
}

}  // namespace
