// Every kind of message the server knows, with its 1st, 2nd, 3rd... allocation failing in turn:
// each run ends in the exact lines, or in fewer lines plus exactly one report, never a crash, a
// partial line or a leak, and the next request is answered normally.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "server/server.h"
#include "support/capture.h"
#include "support/lines.h"

namespace {

// Every message here has the id "r".
std::string request(std::string_view method, std::string_view params = "") {
  return requestLine(method, params, R"("r")");
}
std::string call(std::string_view tool, std::string_view arguments, std::string_view more = "") {
  return callLine(tool, arguments, more, R"("r")");
}

TEST(OutOfMemory, EveryKindOfMessage) {
  // ask_client's walk lives with its tests (its ids change from run to run); crash ends the process.
  const std::string lines[] = {
      request("initialize", R"({"protocolVersion":"2025-03-26","capabilities":{}})"),
      request("ping"),
      request("logging/setLevel", R"({"level":"info"})"),
      request("tools/list"),
      request("tools/list", R"({"cursor":"3"})"),
      request("tools/list", R"({"cursor":"6"})"),
      request("tools/list", R"({"cursor":"x"})"),
      request("resources/list"),
      request("resources/templates/list"),
      request("resources/read", R"({"uri":"demo://readme"})"),
      request("resources/read", R"({"uri":"demo://notes/a \"b\""})"),
      request("resources/read", R"({"uri":"demo://elsewhere"})"),
      request("prompts/list"),
      request("prompts/get", R"({"name":"review","arguments":{"code":"x = 1","language":"Python"}})"),
      request("prompts/get", R"({"name":"review"})"),
      request("prompts/get", R"({"name":"other"})"),
      request("no/such/method"),
      request("ping", "[1]"),
      call("echo", R"({"text":"hi","times":3})"),
      call("echo", R"({"times":3})"),
      call("add", R"({"a":1e300,"b":-2.5})"),
      call("image", R"({"color":"red"})"),
      call("image", R"({"color":"purple"})"),
      call("fail", "{}"),
      call("slow", R"({"seconds":0})"),
      call("slow", R"({"seconds":61})"),
      call("notify", R"({"steps":2})", R"(,"_meta":{"progressToken":[1,{"t":"x"}]})"),
      call("nope", "{}"),
      R"({"jsonrpc":"2.0","id":1,"method":"ping")",
      R"([{"jsonrpc":"2.0","id":1,"method":"ping"}])",
  };
  // A message's arena starts with a block of its own, so a small message allocates only once. An
  // ignored member of growing size moves the point where the arena must grow through parsing,
  // dispatch and the building of each line, so that every stage meets a failing allocation.
  const std::size_t pads[] = {0, 1500, 2300, 2600, 2800, 2900, 3000, 3100, 6000, 70000};
  TestServer t;
  std::size_t walked = 0;
  for (const std::string& line : lines) {
    for (std::size_t pad : pads) {
      std::string padded = pad == 0 ? line : R"({"pad":")" + std::string(pad, 'p') + "\"," + line.substr(1);
      SCOPED_TRACE(padded.substr(0, 100) + " with " + std::to_string(pad) + " bytes of padding");
      std::vector<std::string> expected = t.runCall(padded);
      ASSERT_FALSE(expected.empty());
      walked += walkToolCallOutOfMemory(t, padded, expected);
    }
  }
  RecordProperty("failure_points", static_cast<int>(walked));
  std::printf("[ walked    ] %zu failure points over %zu messages\n", walked, std::size(lines) * std::size(pads));
}

// A client's answer to a request of ours: whatever fails, nothing reaches standard output, and a
// failure costs exactly one report.
TEST(OutOfMemory, ClientResponse) {
  TestServer t;
  const std::string answer = R"({"jsonrpc":"2.0","id":1001,"result":{"roots":[{"uri":"file:///x"}]}})";
  std::size_t baseline = t.gpa.outstanding();
  for (std::size_t n = 1;; ++n) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 100u);
    t.gpa.arm(n);
    std::vector<std::string> out = t.run(answer);
    std::size_t used = t.gpa.allocations();
    t.gpa.arm(0);
    std::vector<std::string> log = t.log.take();
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(t.gpa.outstanding(), baseline);
    if (used < n) {
      EXPECT_TRUE(log.empty());
      break;
    }
    EXPECT_EQ(log, std::vector<std::string>{"out of memory; message dropped"});
  }
}

}  // namespace
