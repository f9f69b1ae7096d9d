// Tool calls as only the real process shows them: the crash tool's exit, end of input while a call
// runs, and the real time-out of a request to the client.

#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "support/live_server.h"
#include "support/process.h"

namespace {

constexpr const char* ready = "demo MCP server (Tarn) ready\n";

std::string callLine(int id, std::string_view params) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/call","params":)" +
         std::string(params) + "}\n";
}

TEST(ToolsProcess, CrashEndsTheProcessWithoutAReply) {
  ProcessResult r = runServer(R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n" + callLine(2, R"({"name":"crash"})"));
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.out, R"({"jsonrpc":"2.0","id":1,"result":{}})" "\n");
  EXPECT_EQ(r.err, std::string(ready) + "crashing on purpose\n");
}

// A client that has stopped reading can still crash the server: with some 2 MB of replies
// unread, the server reads on, and crash ends it even though its last flush cannot finish.
TEST(ToolsProcess, CrashWithAFullPipe) {
  LiveServer server;
  std::string input;
  const std::string text(500, 'c');
  for (int id = 0; id < 2000; ++id) {
    input += callLine(id, R"({"name":"echo","arguments":{"text":")" + text + R"(","times":2}})");
  }
  server.write(input + callLine(9999, R"({"name":"crash"})"));
  EXPECT_EQ(server.wait(10), 3);
  EXPECT_EQ(server.errors(), std::string(ready) + "crashing on purpose\n");
}

// Input ends while a call sleeps: the process answers what came after it at once, then waits for
// the call, writes its reply and exits normally.
TEST(ToolsProcess, EndOfInputWaitsForRunningCalls) {
  ProcessResult r = runServer(callLine(1, R"({"name":"slow","arguments":{"seconds":1}})") +
                              R"({"jsonrpc":"2.0","id":2,"method":"ping"})");
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, R"({"jsonrpc":"2.0","id":2,"result":{}})" "\n"
                   R"({"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"text","text":"slept 1 s"}],"isError":false}})"
                   "\n");
  EXPECT_EQ(r.err, ready);
}

// The one test of the real 10 s wait: nobody answers, since input has ended.
TEST(ToolsProcess, RequestToTheClientTimesOut) {
  auto start = std::chrono::steady_clock::now();
  ProcessResult r = runServer(callLine(1, R"({"name":"ask_client"})"));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  EXPECT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.out, R"({"jsonrpc":"2.0","id":1001,"method":"roots/list","params":{}})" "\n"
                   R"({"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"text",)"
                   R"("text":"the client did not answer within 10 s"}],"isError":true}})" "\n");
  EXPECT_EQ(r.err, ready);
}

}  // namespace
