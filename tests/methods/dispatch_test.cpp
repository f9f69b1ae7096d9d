#include "methods/dispatch.h"

#include <gtest/gtest.h>

#include <string>

#include "support/capture.h"
#include "support/lines.h"

namespace {

std::string initializeReply(const std::string& id, const std::string& version) {
  return R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":{"protocolVersion":")" + version +
         R"(","capabilities":{"tools":{"listChanged":false},"resources":{},"prompts":{},"logging":{}},)"
         R"("serverInfo":{"name":"marlo-demo-tarn","title":"示例服务端（Tarn）","version":"1.0.0"},)"
         R"("instructions":"A demo server written in Tarn: try echo, image, notify and ask_client."}})";
}

TEST(Initialize, NegotiatesVersion) {
  struct Case {
    const char* params;
    const char* answered;
  } cases[] = {
      {R"({"protocolVersion":"2025-06-18"})", "2025-06-18"},
      {R"({"protocolVersion":"2025-11-25"})", "2025-11-25"},
      {R"({"protocolVersion":"2025-03-26","capabilities":{}})", "2025-03-26"},
      {R"({"protocolVersion":"2024-11-05"})", "2024-11-05"},
      {R"({"protocolVersion":"1999-01-01"})", "2025-06-18"},
      {R"({"protocolVersion":"2026-07-28"})", "2025-06-18"},
      {R"({"protocolVersion":"2025-06-18 "})", "2025-06-18"},
      {R"({"protocolVersion":"2025-06-1"})", "2025-06-18"},
      {R"({"protocolVersion":""})", "2025-06-18"},
      {R"({"protocolVersion":20241105})", "2025-06-18"},
      {R"({"protocolVersion":null})", "2025-06-18"},
      {R"({})", "2025-06-18"},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    EXPECT_EQ(t.replyTo(requestLine("initialize", c.params, "0")), initializeReply("0", c.answered));
  }
  EXPECT_EQ(t.replyTo(R"({"id":"i","method":"initialize"})"), initializeReply("\"i\"", "2025-06-18"));
}

TEST(Dispatch, EmptyResults) {
  const char* lines[] = {
      R"({"id":1,"method":"ping"})",
      R"({"id":1,"method":"ping","params":{"x":[1,2,{}]}})",
      R"({"id":1,"method":"logging/setLevel","params":{"level":"debug"}})",
      R"({"id":1,"method":"logging/setLevel","params":{"level":"no such level"}})",
      R"({"id":1,"method":"logging/setLevel"})",
  };
  TestServer t;
  for (const char* line : lines) {
    SCOPED_TRACE(line);
    EXPECT_EQ(t.replyTo(line), R"({"jsonrpc":"2.0","id":1,"result":{}})");
  }
}

// Method names match byte for byte; the name comes back in the message, escaped by the writer.
TEST(Dispatch, MethodNotFound) {
  struct Case {
    const char* method;
    const char* message;
  } cases[] = {
      {R"("Ping")", "Method not found: Ping"},
      {R"(" ping")", "Method not found:  ping"},
      {R"("ping ")", "Method not found: ping "},
      {R"("initialize\u0000")", "Method not found: initialize\\u0000"},
      {R"("a\"b\nc\\d")", R"(Method not found: a\"b\nc\\d)"},
      {R"("")", "Method not found: "},
      {R"("方法")", "Method not found: 方法"},
      {R"("notifications/initialized")", "Method not found: notifications/initialized"},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    std::string line = std::string(R"({"id":5,"method":)") + c.method + "}";
    EXPECT_EQ(t.replyTo(line), errorLine(-32601, c.message, "5"));
  }
}

}  // namespace
