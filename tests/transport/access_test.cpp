#include "transport/access.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

const std::vector<std::string> hosts = {"demo.test"};
const std::vector<std::string> origins = {"https://app.test", "http://tool.test:8080"};

// What a server on port 3000 with those rules and `token` says to a request with this head.
Access accessOf(const std::string& head, std::string_view token = "") {
  http::RequestHead parsed;
  const std::string bytes = head + "\r\n";
  EXPECT_EQ(http::parseRequestHead(bytes, parsed).progress, http::Progress::Done) << head;
  return checkAccess(AccessRules{3000, hosts, origins, token}, parsed);
}

// A request from each kind of client, and what a server on port 3000 says to it.
TEST(Access, HostOriginAndToken) {
  struct Case {
    const char* host;
    std::optional<std::string_view> origin;
    std::optional<std::string_view> authorization;
    std::string_view token;
    Access expected;
  } cases[] = {
      {"127.0.0.1:3000", std::nullopt, std::nullopt, "", Access::Allowed},
      {"localhost", std::nullopt, std::nullopt, "", Access::Allowed},
      {"LocalHost:3000", std::nullopt, std::nullopt, "", Access::Allowed},
      {"[::1]:3000", std::nullopt, std::nullopt, "", Access::Allowed},
      {"demo.test:3000", std::nullopt, std::nullopt, "", Access::Allowed},
      {"localhost:3001", std::nullopt, std::nullopt, "", Access::BadHost},
      {"evil.test", std::nullopt, std::nullopt, "", Access::BadHost},  // DNS rebinding
      {"127.0.0.1:", std::nullopt, std::nullopt, "", Access::BadHost},
      {"[::1", std::nullopt, std::nullopt, "", Access::BadHost},
      {"", std::nullopt, std::nullopt, "", Access::BadHost},
      {"localhost:3000", "http://localhost:5173", std::nullopt, "", Access::Allowed},
      {"localhost:3000", "http://127.0.0.1", std::nullopt, "", Access::Allowed},
      {"localhost:3000", "http://[::1]:9", std::nullopt, "", Access::Allowed},
      {"localhost:3000", "https://APP.test:443", std::nullopt, "", Access::Allowed},
      {"localhost:3000", "http://tool.test:8080", std::nullopt, "", Access::Allowed},
      {"localhost:3000", "http://tool.test", std::nullopt, "", Access::BadOrigin},
      {"localhost:3000", "http://evil.test", std::nullopt, "", Access::BadOrigin},
      {"localhost:3000", "null", std::nullopt, "", Access::BadOrigin},
      {"localhost:3000", "file://", std::nullopt, "", Access::BadOrigin},
      {"evil.test", "http://localhost", std::nullopt, "", Access::BadHost},  // the host decides first
      {"localhost:3000", std::nullopt, "Bearer s3cret", "s3cret", Access::Allowed},
      {"localhost:3000", std::nullopt, "bearer   s3cret", "s3cret", Access::Allowed},
      {"localhost:3000", std::nullopt, "Bearer s3cre", "s3cret", Access::Unauthorized},
      {"localhost:3000", std::nullopt, "Bearer s3cret2", "s3cret", Access::Unauthorized},
      {"localhost:3000", std::nullopt, "Basic s3cret", "s3cret", Access::Unauthorized},
      {"localhost:3000", std::nullopt, std::nullopt, "s3cret", Access::Unauthorized},
      {"localhost:3000", "http://evil.test", "Bearer s3cret", "s3cret", Access::BadOrigin},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.host) + " " + std::string(c.origin.value_or("-")) + " " +
                 std::string(c.authorization.value_or("-")));
    std::string head = "POST /mcp HTTP/1.1\r\nHost: " + std::string(c.host) + "\r\n";
    if (c.origin) head += "Origin: " + std::string(*c.origin) + "\r\n";
    if (c.authorization) head += "Authorization: " + std::string(*c.authorization) + "\r\n";
    EXPECT_EQ(accessOf(head, c.token), c.expected);
  }
}

// An absolute target names whom the request is for: its own authority decides, not the Host
// field beside it (RFC 9112, section 3.2.2).
TEST(Access, AbsoluteTargets) {
  struct Case { const char* line; const char* host; Access expected; } cases[] = {
      {"POST http://evil.example/mcp", "localhost:3000", Access::BadHost},
      {"POST http://localhost:3001/mcp", "localhost:3000", Access::BadHost},
      {"POST HTTP://localhost:3000/mcp", "evil.example", Access::Allowed},
      {"POST https://Demo.Test/mcp?x", "localhost", Access::Allowed},
      {"GET http://[::1]:3000", "localhost", Access::Allowed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(accessOf(std::string(c.line) + " HTTP/1.1\r\nHost: " + c.host + "\r\n"), c.expected);
  }
}

TEST(Access, SessionIds) {
  std::set<std::string> ids;
  for (int i = 0; i < 100; ++i) {
    std::string id = newSessionId();
    ASSERT_EQ(id.size(), 32u);
    EXPECT_EQ(id.find_first_not_of("0123456789abcdef"), std::string::npos);
    ids.insert(id);
  }
  EXPECT_EQ(ids.size(), 100u);
}

}  // namespace
