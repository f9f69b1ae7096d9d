#include "tools/demo_tools.h"

#include <gtest/gtest.h>

#include <chrono>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/lines.h"
#include "tools/base64.h"
#include "tools/png.h"

namespace {

// Standard base64 (RFC 4648): the A-Z a-z 0-9 + / alphabet, "=" only as padding at the end.
std::optional<std::string> decodeBase64(std::string_view text) {
  constexpr std::string_view alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  if (text.size() % 4 != 0) return std::nullopt;
  std::size_t pad = text.ends_with("==") ? 2 : text.ends_with('=') ? 1 : 0;
  std::string out;
  std::uint32_t bits = 0;
  int count = 0;
  for (char c : text.substr(0, text.size() - pad)) {
    std::size_t v = alphabet.find(c);
    if (v == std::string_view::npos) return std::nullopt;
    bits = bits << 6 | static_cast<std::uint32_t>(v);
    count += 6;
    if (count >= 8) {
      count -= 8;
      out += static_cast<char>(bits >> count);
    }
  }
  return out;
}

TEST(DemoTools, TextResults) {
  struct Case {
    std::string line;
    std::string expected;
  } cases[] = {
      {callLine("echo", R"({"text":"hi","times":3})"), resultLine("hi hi hi")},
      {callLine("echo", R"({"text":"","times":3})"), resultLine("  ")},
      {callLine("echo", R"({"text":"","times":1})"), resultLine("")},
      {callLine("echo", R"({"times":2,"text":"é€"})"), resultLine("é€ é€")},
      {callLine("echo", R"({"text":"a\"b\\\n\u0001","times":2})"), resultLine(R"(a\"b\\\n\u0001 a\"b\\\n\u0001)")},
      {callLine("add", R"({"a":1,"b":2})"), resultLine("3")},
      {callLine("add", R"({"a":0.1,"b":0.2})"), resultLine("0.30000000000000004")},
      {callLine("add", R"({"a":-2.5,"b":0.25})"), resultLine("-2.25")},
      {callLine("add", R"({"a":1e21,"b":0})"), resultLine("1000000000000000000000")},
      {callLine("add", R"({"a":0.5,"b":-1})"), resultLine("-0.5")},
      {callLine("fail", R"({"x":1})"), resultLine("This tool always fails (on purpose).", true)},
      {callLine("slow", R"({"seconds":0})"), resultLine("slept 0 s")},
      {callLine("slow", R"({"seconds":0.0})"), resultLine("slept 0 s")},
      {callLine("slow", R"({"seconds":0.001})"), resultLine("slept 0.001 s")},
      {callLine("slow", R"({"seconds":-1})"), invalidLine("Invalid arguments: seconds must be between 0 and 60")},
      {callLine("slow", R"({"seconds":-1e-9})"), invalidLine("Invalid arguments: seconds must be between 0 and 60")},
      {callLine("slow", R"({"seconds":60.5})"), invalidLine("Invalid arguments: seconds must be between 0 and 60")},
      {callLine("slow", R"({"seconds":60.000001})"), invalidLine("Invalid arguments: seconds must be between 0 and 60")},
      {callLine("slow", R"({"seconds":"1"})"), invalidLine("Invalid arguments: seconds has the wrong type")},
      {callLine("slow", R"({})"), invalidLine("Invalid arguments: seconds is missing")},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(t.callReply(c.line), c.expected);
  }
  EXPECT_TRUE(t.log.lines().empty());
}

// The whole result, byte for byte; the picture inside is the encoder's, untouched.
TEST(DemoTools, Image) {
  const char* colors[] = {"red", "green", "blue"};
  TestServer t;
  for (int channel = 0; channel < 3; ++channel) {
    std::string color = colors[channel];
    SCOPED_TRACE(color);
    std::string reply = t.callReply(callLine("image", R"({"color":")" + color + "\"}"));
    std::string head = R"({"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"image","data":")";
    std::string tail = R"(","mimeType":"image/png"},{"type":"text","text":"32×32 )" + color + R"( gradient"}]}})";
    const std::size_t data_size = base64Size(gradient_png_size);
    ASSERT_EQ(reply.size(), head.size() + data_size + tail.size()) << reply;
    EXPECT_EQ(reply.substr(0, head.size()), head);
    EXPECT_EQ(reply.substr(head.size() + data_size), tail);
    std::pmr::monotonic_buffer_resource arena;
    EXPECT_EQ(decodeBase64(reply.substr(head.size(), data_size)), std::string(gradientPng(arena, channel)));
  }
}

TEST(DemoTools, ImageArguments) {
  struct Case {
    const char* arguments;
    const char* message;
  } cases[] = {
      {R"({"color":"Red"})", "Invalid arguments: unknown color: Red"},
      {R"({"color":"red "})", "Invalid arguments: unknown color: red "},
      {R"({"color":""})", "Invalid arguments: unknown color: "},
      {R"({"color":"re\"d"})", R"(Invalid arguments: unknown color: re\"d)"},
      {R"({"color":5})", "Invalid arguments: color has the wrong type"},
      {R"({"colour":"red"})", "Invalid arguments: color is missing"},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.arguments);
    EXPECT_EQ(t.callReply(callLine("image", c.arguments)), invalidLine(c.message));
  }
}

// Each step logs, then reports progress when the call has a token; the reply comes last. An
// argument problem is the whole answer: nothing is sent before it.
TEST(DemoTools, Notify) {
  std::string with_token = R"(,"_meta":{"progressToken":)";
  struct Case {
    std::string line;
    std::vector<std::string> expected;
  } cases[] = {
      {callLine("notify", R"({"steps":2})", with_token + R"("t"})"), notifyLines(2, R"("t")")},
      {callLine("notify", R"({"steps":2})", with_token + "42}"), notifyLines(2, "42")},
      {callLine("notify", R"({"steps":2})", with_token + "null}"), notifyLines(2, "null")},
      {callLine("notify", R"({"steps":2})", with_token + R"({"a":[1,"b"]}})"), notifyLines(2, R"({"a":[1,"b"]})")},
      {callLine("notify", R"({"steps":2})"), notifyLines(2, "")},
      {callLine("notify", R"({})"), notifyLines(3, "")},
      {callLine("notify", R"({"steps":null})", with_token + "1}"), notifyLines(3, "1")},
      {callLine("notify", R"({"steps":10})"), notifyLines(10, "")},
      {callLine("notify", R"({"steps":0})", with_token + "1}"), {invalidLine("Invalid arguments: steps is out of range")}},
      {callLine("notify", R"({"steps":11})"), {invalidLine("Invalid arguments: steps is out of range")}},
      {callLine("notify", R"({"steps":2.0})"), {invalidLine("Invalid arguments: steps has the wrong type")}},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    EXPECT_EQ(t.runCall(c.line), c.expected);
  }
  EXPECT_TRUE(t.log.lines().empty());
}

// The pause after each step is 50 ms, the last step's too: nothing comes a millisecond earlier.
TEST(DemoTools, NotifyPausesFiftyMilliseconds) {
  using std::chrono::milliseconds;
  TestServer t;
  std::vector<std::string> lines = notifyLines(2, "");  // step 1, step 2, the reply
  EXPECT_EQ(t.run(callLine("notify", R"({"steps":2})")), std::vector<std::string>{lines[0]});
  for (std::size_t next = 1; next < lines.size(); ++next) {
    t.advance(milliseconds(49));
    EXPECT_EQ(t.out.take(), std::vector<std::string>{}) << "before line " << next;
    t.advance(milliseconds(1));
    EXPECT_EQ(t.out.take(), std::vector<std::string>{lines[next]});
  }
}

// A token nested deeper than the writer accepts costs the progress notifications, not the call.
TEST(DemoTools, NotifyWithATooDeepToken) {
  TestServer t;
  EXPECT_EQ(t.runCall(callLine("notify", R"({"steps":2})", R"(,"_meta":{"progressToken":)" + nested(256) + "}")),
            notifyLines(2, nested(256)));
  EXPECT_TRUE(t.log.take().empty());
  EXPECT_EQ(t.runCall(callLine("notify", R"({"steps":2})", R"(,"_meta":{"progressToken":)" + nested(257) + "}")),
            notifyLines(2, ""));
  EXPECT_EQ(t.log.take(), std::vector<std::string>(2, "value nested too deeply; message dropped"));
}

TEST(DemoTools, OutOfMemory) {
  TestServer t;
  walkToolCallOutOfMemory(t, callLine("image", R"({"color":"green"})"),
                          {t.callReply(callLine("image", R"({"color":"green"})"))});
  // A long token makes the arena grow at every step, so each notification can fail on its own.
  std::string token = "\"" + std::string(1500, 't') + "\"";
  walkToolCallOutOfMemory(t, callLine("notify", R"({"steps":3})", R"(,"_meta":{"progressToken":)" + token + "}"),
                          notifyLines(3, token));
  walkToolCallOutOfMemory(t, callLine("add", R"({"a":0.1,"b":0.2})", R"(,"pad":")" + std::string(4000, 'p') + "\""),
                          {resultLine("0.30000000000000004")});
}

}  // namespace
