// The README's first command runs examples/session.jsonl; this test holds its output to the
// committed transcript, so what a newcomer reads there is what the server does.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support/lines.h"
#include "support/process.h"

namespace {

// Replies to requests answered at once (numeric or null ids in the session) leave in
// input order; tool calls (string ids) and their notifications may come anywhere in between.
bool answeredInOrder(const std::string& line) {
  return line.rfind(R"({"jsonrpc":"2.0","id":")", 0) != 0 && line.find(R"("method":)") == std::string::npos;
}

std::vector<std::string> only(const std::vector<std::string>& lines, bool in_order) {
  std::vector<std::string> kept;
  for (const std::string& line : lines) {
    if (answeredInOrder(line) == in_order) kept.push_back(line);
  }
  return kept;
}

TEST(ExampleSession, MatchesTranscript) {
  std::string source = DEMO_SOURCE_DIR;
  ProcessResult r = runServer(readFile(source + "/examples/session.jsonl"));
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, ready_line);
  std::vector<std::string> got = splitLines(r.out);
  std::vector<std::string> expected = splitLines(readFile(source + "/examples/session.expected.jsonl"));
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(only(got, true), only(expected, true));
  // Every line is there exactly once, and the notifications of the one notify call keep their order.
  std::vector<std::string> got_sorted = got, expected_sorted = expected;
  std::sort(got_sorted.begin(), got_sorted.end());
  std::sort(expected_sorted.begin(), expected_sorted.end());
  EXPECT_EQ(got_sorted, expected_sorted);
  auto notifications = [](const std::vector<std::string>& lines) {
    std::vector<std::string> kept;
    for (const std::string& line : lines) {
      if (line.find(R"("method":"notifications/)") != std::string::npos) kept.push_back(line);
    }
    return kept;
  };
  EXPECT_EQ(notifications(got), notifications(expected));
}

}  // namespace
