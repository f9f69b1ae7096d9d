#include "methods/catalogue.h"

#include <gtest/gtest.h>

#include <set>
#include <span>
#include <string>
#include <vector>

#include "support/capture.h"
#include "support/lines.h"

namespace {

const std::string page_one =
    R"({"tools":[{"name":"echo","title":"回声","description":"Repeat a text a number of times.","inputSchema":{"type":"object","properties":{"text":{"type":"string","description":"要重复的文字"},"times":{"type":"integer","minimum":1,"maximum":10,"default":1}},"required":["text"]}},{"name":"add","title":"加法","description":"Add two numbers.","inputSchema":{"type":"object","properties":{"a":{"type":"number"},"b":{"type":"number"}},"required":["a","b"]}},{"name":"image","title":"生成图片","description":"Return a small PNG gradient in the given colour.","inputSchema":{"type":"object","properties":{"color":{"type":"string","enum":["red","green","blue"]}},"required":["color"]}}],"nextCursor":"3"})";
const std::string page_two =
    R"({"tools":[{"name":"fail","title":"报错","description":"Always report a tool error (isError).","inputSchema":{"type":"object","properties":{}}},{"name":"slow","title":"慢调用","description":"Sleep before answering (to try timeouts).","inputSchema":{"type":"object","properties":{"seconds":{"type":"number","minimum":0,"maximum":60}},"required":["seconds"]}},{"name":"notify","title":"推送通知","description":"Send log and progress notifications while working.","inputSchema":{"type":"object","properties":{"steps":{"type":"integer","minimum":1,"maximum":10,"default":3}}}}],"nextCursor":"6"})";
const std::string page_three =
    R"({"tools":[{"name":"ask_client","title":"反向请求","description":"Ask the client for its roots (a server-to-client request) and report the answer.","inputSchema":{"type":"object","properties":{}}},{"name":"crash","title":"崩溃","description":"Exit the server process (to try restarts).","inputSchema":{"type":"object","properties":{}}}]})";
const std::string invalid_cursor = invalidLine("Invalid cursor");

std::string toolsList(std::string_view params) { return requestLine("tools/list", params); }
std::string result(const std::string& r) { return R"({"jsonrpc":"2.0","id":1,"result":)" + r + "}"; }

// A client walks the pages by the cursors it is handed and sees every tool exactly once.
TEST(ToolsPage, WalkByCursor) {
  TestServer t;
  std::multiset<std::string> names;
  std::string params;
  for (int page = 0; page < 4; ++page) {
    std::pmr::monotonic_buffer_resource a;
    std::optional<json::Value> reply = json::parse(a, t.replyTo(toolsList(params)));
    ASSERT_TRUE(reply);
    const json::Value* listed = json::member(*reply, "result");
    ASSERT_TRUE(listed);
    for (const json::Value& tool : json::member(*listed, "tools")->items()) {
      names.insert(std::string(*json::stringField(tool, "name")));
    }
    std::optional<std::string_view> next = json::stringField(*listed, "nextCursor");
    if (!next) break;
    params = R"({"cursor":")" + std::string(*next) + "\"}";
  }
  EXPECT_EQ(names, (std::multiset<std::string>{"echo", "add", "image", "fail", "slow", "notify", "ask_client", "crash"}));
}

TEST(ToolsPage, Cursors) {
  struct Case {
    const char* params;
    std::string expected;
  } cases[] = {
      {R"({})", result(page_one)},
      {R"({"cursor":"0"})", result(page_one)},
      {R"({"cursor":"-0"})", result(page_one)},
      {R"({"cursor":"-0_0"})", result(page_one)},
      {R"({"cursor":"00000000000000000000000000"})", result(page_one)},
      {R"({"cursor":3})", result(page_one)},
      {R"({"cursor":null})", result(page_one)},
      {R"({"cursor":["3"]})", result(page_one)},
      {R"({"cursor":"+3"})", result(page_two)},
      {R"({"cursor":"03"})", result(page_two)},
      {R"({"cursor":"0_3"})", result(page_two)},
      {R"({"cursor":"0__3"})", result(page_two)},
      {R"({"cursor":"8"})", result(R"({"tools":[]})")},
      {R"({"cursor":"9"})", invalid_cursor},
      {R"({"cursor":"-1"})", invalid_cursor},
      {R"({"cursor":""})", invalid_cursor},
      {R"({"cursor":"_3"})", invalid_cursor},
      {R"({"cursor":"3_"})", invalid_cursor},
      {R"({"cursor":"+_3"})", invalid_cursor},
      {R"({"cursor":"+"})", invalid_cursor},
      {R"({"cursor":"-"})", invalid_cursor},
      {R"({"cursor":"3 "})", invalid_cursor},
      {R"({"cursor":" 3"})", invalid_cursor},
      {R"({"cursor":"three"})", invalid_cursor},
      {R"({"cursor":"0x3"})", invalid_cursor},
      {R"({"cursor":"3.0"})", invalid_cursor},
      {R"({"cursor":"3e0"})", invalid_cursor},
      {R"({"cursor":"٣"})", invalid_cursor},
      {R"({"cursor":"18446744073709551615"})", invalid_cursor},
      {R"({"cursor":"18446744073709551616"})", invalid_cursor},
      {R"({"cursor":"18446744073709551619"})", invalid_cursor},
      {R"({"cursor":"36893488147419103235"})", invalid_cursor},
  };
  TestServer t;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.params);
    EXPECT_EQ(t.replyTo(toolsList(c.params)), c.expected);
  }
  // Any start is a page: from 5 the last three tools, and no cursor to go on with.
  std::string from_five = t.replyTo(toolsList(R"({"cursor":"5"})"));
  EXPECT_NE(from_five.find(R"("name":"notify")"), std::string::npos);
  EXPECT_NE(from_five.find(R"("name":"crash")"), std::string::npos);
  EXPECT_EQ(from_five.find("nextCursor"), std::string::npos);
}

// What a client does with each listing: it reads every resource listed, fills and reads every
// template, and gets every prompt with the arguments it requires (and is told of one left out),
// each answered as the listing says. One page holds it all, whatever cursor is given.
TEST(ListResult, WhatIsListedCanBeUsed) {
  TestServer t;
  std::pmr::monotonic_buffer_resource a;
  const auto listed = [&](const char* method, const char* key) -> std::span<const json::Value> {
    const std::string reply = t.replyTo(requestLine(method));
    for (const char* params : {"{}", R"({"cursor":"99"})"}) EXPECT_EQ(t.replyTo(requestLine(method, params)), reply);
    std::optional<json::Value> parsed = json::parse(a, reply);
    const json::Value* result = parsed ? json::member(*parsed, "result") : nullptr;
    EXPECT_TRUE(result && !json::member(*result, "nextCursor")) << reply;
    const json::Value* items = result ? json::member(*result, key) : nullptr;
    EXPECT_TRUE(items && !items->items().empty()) << reply;
    return items ? items->items() : std::span<const json::Value>();
  };
  const auto read = [&](std::string_view uri, std::string_view mime) {
    SCOPED_TRACE(uri);
    const std::string reply = t.replyTo(requestLine("resources/read", R"({"uri":")" + std::string(uri) + "\"}"));
    const std::string contents = R"({"uri":")" + std::string(uri) + R"(","mimeType":")" + std::string(mime) + '"';
    EXPECT_NE(reply.find(R"("result":{"contents":[)" + contents), std::string::npos) << reply;
  };
  for (const json::Value& r : listed("resources/list", "resources"))
    read(*json::stringField(r, "uri"), *json::stringField(r, "mimeType"));
  for (const json::Value& r : listed("resources/templates/list", "resourceTemplates")) {
    std::string uri(*json::stringField(r, "uriTemplate"));
    ASSERT_NE(uri.find("{name}"), std::string::npos) << uri;
    read(uri.replace(uri.find("{name}"), 6, "x"), *json::stringField(r, "mimeType"));
  }
  for (const json::Value& p : listed("prompts/list", "prompts")) {
    const std::string name(*json::stringField(p, "name"));
    std::vector<std::string> required;
    for (const json::Value& arg : json::member(p, "arguments")->items())
      if (json::member(arg, "required")->boolean) required.emplace_back(*json::stringField(arg, "name"));
    std::string args;
    for (const std::string& r : required) args += (args.empty() ? "\"" : ",\"") + r + R"(":"x")";
    const auto get = [&](const std::string& arguments) {
      return t.replyTo(requestLine("prompts/get", R"({"name":")" + name + R"(","arguments":{)" + arguments + "}}"));
    };
    SCOPED_TRACE(name);
    EXPECT_NE(get(args).find(R"("result":{"description":)"), std::string::npos);
    if (!required.empty()) {
      EXPECT_EQ(get(""), invalidLine("missing argument: " + required.front()));
    }
  }
}

TEST(Listings, OutOfMemory) {
  TestServer t;
  walkOutOfMemory(t, toolsList(R"({"cursor":"3"})"), result(page_two));
  walkOutOfMemory(t, requestLine("prompts/list"), t.replyTo(requestLine("prompts/list")));
}

}  // namespace
