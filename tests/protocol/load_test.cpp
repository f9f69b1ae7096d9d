// Load and fault tests on the real process: many requests at once, many calls at once, a client
// that answers the server's requests in any order, and streams that close under the server.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory_resource>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "protocol/json.h"
#include "support/lines.h"
#include "support/live_server.h"
#include "support/process.h"

namespace {

// The id of a reply line as JSON text; fails the test when the line is not one JSON object.
std::string replyId(const std::string& line) {
  std::pmr::monotonic_buffer_resource a;
  std::optional<json::Value> v = json::parse(a, line);
  EXPECT_TRUE(v && v->isObject()) << line.substr(0, 200);
  if (!v || !v->isObject()) return "<broken>";
  const json::Value* id = json::member(*v, "id");
  if (!id) return "<notification>";
  json::Text text(&a);
  EXPECT_TRUE(json::writeValue(text, *id));
  return std::string(text);
}

// Every request gets exactly one whole line back, whatever else is in the stream.
TEST(Load, HundredThousandPipelinedMixedRequests) {
  std::string input;
  std::map<std::string, int> expected;  // id text -> replies expected
  for (int i = 0; i < 100000; ++i) {
    std::string id = std::to_string(i);
    switch (i % 8) {
      case 0: input += R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"ping"})"; break;
      case 1: input += R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"tools/list","params":{"cursor":")" + std::to_string(i % 3 * 3) + "\"}}"; break;
      case 2: input += R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"tools/call","params":{"name":"echo","arguments":{"text":"e)" + id + R"("}}})"; break;
      case 3: input += R"({"jsonrpc":"2.0","method":"notifications/initialized"})"; break;
      case 4: input += R"({"jsonrpc":"2.0","id":")" + id + R"(","method":"resources/read","params":{"uri":"demo://notes/)" + id + "\"}}"; break;
      case 5: input += R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"prompts/get","params":{"name":"review","arguments":{"code":"x"}}})"; break;
      case 6: input += "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"method\":\"ping\"\r"; break;  // broken: answered with id null
      case 7: input += R"({"jsonrpc":"2.0","id":)" + id + R"(,"method":"tools/call","params":{"name":"add","arguments":{"a":)" + id + R"(,"b":0.5}}})"; break;
    }
    input += '\n';
    if (i % 8 == 3) continue;
    ++expected[i % 8 == 6 ? "null" : i % 8 == 4 ? "\"" + id + "\"" : id];
  }
  ProcessResult r = runServer(input, {.timeout_seconds = 120});
  ASSERT_EQ(r.exit_code, 0);
  ASSERT_FALSE(r.out.empty());
  EXPECT_EQ(r.out.back(), '\n');
  std::map<std::string, int> got;
  for (const std::string& line : splitLines(r.out)) ++got[replyId(line)];
  EXPECT_EQ(got, expected);
}

// Concurrent slow calls all run at once and all reply; input ends while they sleep. Twenty at a
// time they would take 3 s, one after another 60 s.
TEST(Load, ThreeHundredConcurrentSlowCalls) {
  std::string input;
  for (int i = 0; i < 300; ++i) {
    input += callLine("slow", R"({"seconds":0.2})", "", std::to_string(i)) + "\n";
  }
  ProcessResult r = runServer(input, {.timeout_seconds = 60});
  EXPECT_LT(r.seconds, 2) << "the calls did not overlap";
  ASSERT_EQ(r.exit_code, 0);
  std::vector<std::string> lines = splitLines(r.out);
  ASSERT_EQ(lines.size(), 300u);
  std::set<std::string> ids;
  for (const std::string& line : lines) {
    ids.insert(replyId(line));
    EXPECT_NE(line.find(R"("text":"slept 0.2 s")"), std::string::npos) << line;
  }
  EXPECT_EQ(ids.size(), 300u);
}

// Two hundred calls ask the client at once; the client answers in random order, and every answer
// reaches the call that asked, exactly once.
TEST(Load, TwoHundredConcurrentAsksAnsweredInRandomOrder) {
  LiveServer server;
  std::string calls;
  for (int i = 0; i < 200; ++i) {
    calls += requestLine("tools/call", R"({"name":"ask_client"})", "\"call-" + std::to_string(i) + "\"") + "\n";
  }
  server.write(calls);
  std::vector<std::string> asked;
  for (int i = 0; i < 200; ++i) {
    std::optional<std::string> line = server.readLine();
    ASSERT_TRUE(line);
    asked.push_back(replyId(*line));
    EXPECT_EQ(*line, requestLine("roots/list", "{}", asked.back()));
  }
  std::set<std::string> distinct(asked.begin(), asked.end());
  EXPECT_EQ(distinct.size(), 200u);
  EXPECT_EQ(*distinct.begin(), "1001");
  std::shuffle(asked.begin(), asked.end(), std::mt19937(7));
  std::string answers;
  for (const std::string& id : asked) {
    answers += R"({"jsonrpc":"2.0","id":)" + id + R"(,"result":{"roots":[{"uri":"file:///r)" + id + "\"}]}}\n";
  }
  server.write(answers);
  std::set<std::string> answered;
  for (int i = 0; i < 200; ++i) {
    std::optional<std::string> line = server.readLine();
    ASSERT_TRUE(line);
    std::size_t at = line->find("file:///r");
    ASSERT_NE(at, std::string::npos) << *line;
    std::string root = line->substr(at, line->find('\\', at) - at);
    // The answer a call reports is the one carrying the id that call asked under.
    std::size_t id_at = line->find(R"(\"id\":)") + 7;
    EXPECT_EQ(root, "file:///r" + line->substr(id_at, line->find(',', id_at) - id_at));
    answered.insert(root);
  }
  EXPECT_EQ(answered.size(), 200u);
  server.closeInput();
  EXPECT_EQ(server.wait(), 0);
}

// A reader that goes away mid-stream: the server neither dies of the broken pipe nor stops
// reading; it finishes its calls and ends normally. Each call's token is too deep to be written, so
// each of its steps reports on standard error, which is still read: both steps of every call run,
// and the last pause too, before the process ends.
TEST(Load, OutputClosedMidStream) {
  LiveServer server;
  server.write(R"({"jsonrpc":"2.0","id":1,"method":"ping"})" "\n");
  EXPECT_EQ(server.readLine(), R"({"jsonrpc":"2.0","id":1,"result":{}})");
  server.closeOutput();
  const std::string notify = callLine("notify", R"({"steps":2})", R"(,"_meta":{"progressToken":)" + nested(300) + "}", "\"s\"");
  std::string more;
  int calls = 0;
  for (int i = 0; i < 5000; ++i) {
    more += R"({"jsonrpc":"2.0","id":)" + std::to_string(i) + R"(,"method":"tools/list"})" "\n";
    if (i % 100 == 0) more += notify + "\n", ++calls;
  }
  server.write(more);
  const auto input_ended = std::chrono::steady_clock::now();
  server.closeInput();
  EXPECT_EQ(server.wait(), 0);
  // Two steps of 50 ms each: the last call, read at the end of the input, cannot be done sooner.
  EXPECT_GE(std::chrono::steady_clock::now() - input_ended, std::chrono::milliseconds(100));
  std::string reports(ready_line);
  for (int i = 0; i < 2 * calls; ++i) reports += "value nested too deeply; message dropped\n";
  EXPECT_EQ(server.errors(), reports);
}

}  // namespace
