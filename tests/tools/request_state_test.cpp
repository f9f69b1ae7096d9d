#include "tools/request_state.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace std::chrono_literals;

namespace {

using Time = std::chrono::steady_clock::time_point;

const Time issued = Time{} + 1000h;
const Time expiry = issued + request_state_lifetime;
constexpr std::string_view args = R"({"why":"roots"})";

TEST(RequestState, Verification) {
  std::pmr::monotonic_buffer_resource arena;
  const std::string state(makeRequestState(arena, "tools/call", "ask_client", args, expiry));
  ASSERT_FALSE(state.empty());
  // Safe in JSON and in a URL as it is.
  EXPECT_EQ(state.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
            std::string::npos);

  struct Case {
    std::string what, text;
    std::string_view method = "tools/call", tool = "ask_client", binding = args;
    Time now = issued;
    bool valid = false;
  };
  std::vector<Case> cases = {
      {.what = "valid", .text = state, .valid = true},
      {.what = "valid until just before its expiry", .text = state, .now = expiry - 1ns, .valid = true},
      {.what = "expired", .text = state, .now = expiry},
      {.what = "long expired", .text = state, .now = expiry + 24h},
      {.what = "another method", .text = state, .method = "prompts/get"},
      {.what = "another tool", .text = state, .tool = "echo"},
      {.what = "another tool, a prefix", .text = state, .tool = "ask_clien"},
      {.what = "another request's arguments", .text = state, .binding = R"({"why":"other"})"},
      {.what = "no arguments", .text = state, .binding = ""},
      {.what = "empty", .text = ""},
      {.what = "garbage", .text = "not a state"},
      {.what = "garbage of the right length", .text = std::string(state.size(), 'A')},
      {.what = "truncated by one", .text = state.substr(0, state.size() - 1)},
      {.what = "truncated to its expiry", .text = state.substr(0, 12)},
      {.what = "overlong by one", .text = state + "A"},
      {.what = "twice", .text = state + state},
      {.what = "padded", .text = state + "="}};
  // A single character changed anywhere: still base64url, so only the MAC and fields can tell.
  for (std::size_t i = 0; i < state.size(); ++i) {
    std::string changed = state;
    changed[i] = changed[i] == 'A' ? 'B' : 'A';
    cases.push_back({.what = "changed at " + std::to_string(i), .text = changed});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(verifyRequestState(c.text, c.method, c.tool, c.binding, c.now), c.valid);
  }
}

TEST(RequestState, EachIssueStandsAlone) {
  // States for other requests differ and verify for their own request only.
  std::pmr::monotonic_buffer_resource arena;
  const std::string_view a = makeRequestState(arena, "tools/call", "ask_client", args, expiry);
  const std::string_view b = makeRequestState(arena, "tools/call", "ask_client", "{}", expiry + 1s);
  EXPECT_NE(a, b);
  EXPECT_TRUE(verifyRequestState(b, "tools/call", "ask_client", "{}", expiry));
  EXPECT_FALSE(verifyRequestState(b, "tools/call", "ask_client", args, expiry));
  EXPECT_TRUE(makeRequestState(arena, "tools/call", std::string(256, 't'), args, expiry).empty());
}

}  // namespace
