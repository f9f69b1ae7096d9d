// The README's first command runs examples/session.jsonl; this test holds its output to the
// committed transcript byte for byte, so what a newcomer reads there is what the server prints.

#include <gtest/gtest.h>

#include <string>

#include "support/lines.h"
#include "support/process.h"

namespace {

TEST(ExampleSession, MatchesTranscript) {
  std::string source = DEMO_SOURCE_DIR;
  ProcessResult r = runServer(readFile(source + "/examples/session.jsonl"));
  ASSERT_EQ(r.exit_code, 0);
  EXPECT_EQ(r.err, ready_line);
  EXPECT_EQ(r.out, readFile(source + "/examples/session.expected.jsonl"));
}

}  // namespace
