// Tool calls as only the real process shows them: the crash tool's exit, and end of input while a
// call runs.

#include <gtest/gtest.h>

#include <string>

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
// unread and its standard output full, the server reads on, and crash ends it at once.
TEST(ToolsProcess, CrashWithAFullPipe) {
  std::string input;
  const std::string text(500, 'c');
  for (int id = 0; id < 2000; ++id) {
    input += callLine(id, R"({"name":"echo","arguments":{"text":")" + text + R"(","times":2}})");
  }
  input += callLine(9999, R"({"name":"crash"})");
  ProcessResult r = runServer(input, {.timeout_seconds = 10, .first_read_after = 10});
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.err, std::string(ready) + "crashing on purpose\n");
  EXPECT_LT(r.seconds, 3) << "crash waited for a reader that never came";
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

}  // namespace
