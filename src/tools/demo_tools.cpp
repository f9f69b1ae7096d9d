#include "tools/demo_tools.h"

#include <chrono>
#include <cmath>

#include "runtime/loop.h"
#include "runtime/stdio.h"
#include "tools/base64.h"
#include "tools/client_requests.h"
#include "tools/png.h"
#include "tools/request_state.h"
#include "tools/tool_call.h"

namespace {

Reply echo(ToolCalls&, Session&, std::pmr::memory_resource& a, const json::Value& args, const json::Value*) {
  auto text = argString(args, "text");
  if (!text) return argError(a, text.error(), "text");
  auto times = argInt(args, "times", 1, 1, 10);
  if (!times) return argError(a, times.error(), "times");
  if (*times == 1) return textResult(a, *text, false);
  // The copies, joined by spaces, as pieces: the text is escaped once, and the answer, up to ten
  // times its request, is never built whole where the transport writes it as its client reads.
  // {"content":[{"type":"text","text":"<text> <text>..."}],"isError":false}
  json::Text& quoted = json::newText(a);
  json::writeString(quoted, *text);
  const std::string_view escaped = std::string_view(quoted).substr(1, quoted.size() - 2);
  const auto count = static_cast<std::size_t>(*times);
  std::span<std::string_view> pieces(std::pmr::polymorphic_allocator<std::string_view>(&a).allocate(2 * count + 1),
                                     2 * count + 1);
  pieces[0] = R"({"content":[{"type":"text","text":")";
  for (std::size_t i = 0; i < count; ++i) {
    pieces[2 * i + 1] = escaped;
    pieces[2 * i + 2] = " ";
  }
  pieces[2 * count] = R"("}],"isError":false})";
  Reply r = Reply::result({});
  r.pieces = pieces;
  return r;
}

Reply add(ToolCalls&, Session&, std::pmr::memory_resource& a, const json::Value& args, const json::Value*) {
  auto x = argNumber(args, "a");
  if (!x) return argError(a, x.error(), "a");
  auto y = argNumber(args, "b");
  if (!y) return argError(a, y.error(), "b");
  json::Text& sum = json::newText(a);
  json::writeFloat(sum, *x + *y);
  return textResult(a, sum, false);
}

Reply image(ToolCalls&, Session&, std::pmr::memory_resource& a, const json::Value& args, const json::Value*) {
  auto color = argString(args, "color");
  if (!color) return argError(a, color.error(), "color");
  constexpr std::string_view channels[] = {"red", "green", "blue"};
  int channel = 0;
  while (channel < 3 && channels[channel] != *color) ++channel;
  if (channel == 3) return failureNaming(a, ErrorCode::InvalidParams, "Invalid arguments: unknown color: ", *color);
  std::string_view png = gradientPng(a, channel);

  // {"content":[{"type":"image","data":"<base64>","mimeType":"image/png"},{"type":"text","text":<caption>}]}
  json::Text& caption = json::newText(a);
  caption += "32×32 ";
  caption += *color;
  caption += " gradient";
  json::Text& out = json::newText(a);
  out.reserve(base64Size(gradient_png_size) + 128);
  out += R"({"content":[{"type":"image","data":")";
  appendBase64(out, png);
  out += R"(","mimeType":"image/png"},{"type":"text","text":)";
  json::writeString(out, caption);
  out += "}]}";
  return Reply::result(out);
}

Reply fail(ToolCalls&, Session&, std::pmr::memory_resource& a, const json::Value&, const json::Value*) {
  return textResult(a, "This tool always fails (on purpose).", true);
}

ToolTask slow(ToolCall call) {
  std::pmr::memory_resource& a = call.a();
  auto seconds = argNumber(call.args, "seconds");
  if (!seconds) co_return argError(a, seconds.error(), "seconds");
  if (*seconds < 0 || *seconds > 60) co_return Reply::invalid("Invalid arguments: seconds must be between 0 and 60");
  co_await sleepFor(call.t->loop, std::chrono::nanoseconds(static_cast<std::int64_t>(*seconds * 1e9)));
  json::Text& text = json::newText(a);
  text += "slept ";
  json::writeFloat(text, *seconds);
  text += " s";
  co_return textResult(a, text, false);
}

// Each step: a log line, a progress line when the call has a token, then a pause.
ToolTask notifySteps(ToolCall call) {
  std::pmr::memory_resource& a = call.a();
  const Wire& wire = call.wire;
  auto steps = argInt(call.args, "steps", 3, 1, 10);
  if (!steps) co_return argError(a, steps.error(), "steps");
  // The token is written once; one nested deeper than the writer accepts costs each step its
  // progress line, with a report, and nothing else.
  json::Text& token = json::newText(a);
  const bool has_token = call.progress_token && json::writeValue(token, *call.progress_token);
  for (std::int64_t i = 1; i <= *steps; ++i) {
    // {"level":"info","logger":"demo","data":"step <i>/<steps>"}
    json::Text& message = json::newText(a);
    message += R"({"level":"info","logger":"demo","data":"step )";
    json::writeDecimal(message, i);
    message += '/';
    json::writeDecimal(message, *steps);
    message += "\"}";
    // A modern request has log lines only when it names a level, and then those at it or above.
    if (call.era.wantsLog(LogLevel::Info)) notify(wire, a, "notifications/message", message);
    if (has_token) {
      // {"progressToken":<token>,"progress":<i>,"total":<steps>}
      json::Text& progress = json::newText(a);
      progress += R"({"progressToken":)";
      progress += token;
      progress += R"(,"progress":)";
      json::writeDecimal(progress, i);
      progress += R"(,"total":)";
      json::writeDecimal(progress, *steps);
      progress += '}';
      notify(wire, a, "notifications/progress", progress);
    } else if (call.progress_token) {
      logTooDeep(wire);
    }
    // The pause after the last step matters too: clients may drop a progress notification that
    // arrives in the same read as the reply.
    co_await sleepFor(call.t->loop, std::chrono::milliseconds(50));
  }
  json::Text& text = json::newText(a);
  text += "done after ";
  json::writeDecimal(text, *steps);
  text += " steps";
  co_return textResult(a, text, false);
}

// The modern way to ask (MCP 2026-07-28, basic/patterns/mrtr): the call answers input_required with
// a roots/list among its inputRequests and a requestState bound to its arguments; the client's
// retry brings the roots and that state back, and is answered as the legacy call is.
Reply askThroughRetry(ToolCall& call) {
  std::pmr::memory_resource& a = call.a();
  if (!call.era.clientHas("roots")) {
    Reply missing = Reply::failure(ErrorCode::MissingRequiredClientCapability, "Missing required client capability: roots");
    missing.data = R"({"requiredCapabilities":{"roots":{}}})";
    return missing;
  }
  json::Text& binding = json::newText(a);
  if (!json::writeValue(binding, call.args)) {
    logTooDeep(call.wire);
    return Reply::invalid("Invalid arguments: nested too deeply");
  }
  const Loop::Time now = call.t->loop.now();
  const json::Value* roots = call.input_responses ? json::member(*call.input_responses, "roots") : nullptr;
  if (!call.request_state.empty()) {
    if (!verifyRequestState(call.request_state, "tools/call", "ask_client", binding, now)) {
      Reply refused = Reply::invalid("Invalid params: requestState is not valid for this request");
      refused.about_request = true;
      return refused;
    }
    if (roots) {
      json::Text& text = json::newText(a);
      text += "client answered: ";
      if (!json::writeValue(text, *roots)) {
        logTooDeep(call.wire);
        return Reply::invalid("Invalid arguments: nested too deeply");
      }
      return textResult(a, text, false);
    }
  }
  std::string_view state = makeRequestState(a, "tools/call", "ask_client", binding, now + request_state_lifetime);
  if (state.empty()) return Reply::failure(ErrorCode::InternalError, "Internal error: no key for requestState");
  // {"inputRequests":{"roots":{"method":"roots/list","params":{}}},"requestState":"<state>"}
  json::Text& out = json::newText(a);
  out += R"({"inputRequests":{"roots":{"method":"roots/list","params":{}}},"requestState":")";
  out += state;  // base64url: nothing to escape
  out += R"("})";
  Reply asking = Reply::result(out);
  asking.type = ResultType::InputRequired;
  return asking;
}

ToolTask askClientTool(ToolCall call) {
  if (call.era.modern) co_return askThroughRetry(call);
  std::pmr::memory_resource& a = call.a();
  Session& s = *call.session;
  Expected<std::string_view, AskFailure> answer = co_await askClient(call.wire, s.requests, call.t->loop, a);
  if (!answer && answer.error() == AskFailure::AnswerLost) {
    // The client did answer: saying it did not would mislead. One report, and one reply.
    Reply lost = textResult(a, "the client's answer could not be kept for lack of memory", true);
    logOom(call.wire);
    co_return lost;
  }
  json::Text& text = json::newText(a);
  if (!answer) {
    text += "the client did not answer within ";
    json::writeFloat(text, std::chrono::duration<double>(ClientRequests::ask_timeout).count());
    text += " s";
    co_return textResult(a, text, true);
  }
  text += "client answered: ";
  text += *answer;
  co_return textResult(a, text, false);
}

[[noreturn]] Reply crash(ToolCalls& t, Session& s, std::pmr::memory_resource&, const json::Value&, const json::Value*) {
  s.wire.log.write(s.wire.log.ctx, "crashing on purpose");
  // Replies already made for earlier requests still reach a client that reads them; then the end
  // comes at once: no reply, no clean-up, other calls abandoned.
  endProcess(t.loop, 3);
}

constexpr Tool demo_tools[] = {
    {"echo", &echo},     {"add", &add},       {"image", &image},
    {"fail", &fail},     {"slow", &slow},     {"notify", &notifySteps},
    {"ask_client", &askClientTool},           {"crash", &crash},
};

}  // namespace

std::span<const Tool> demoTools() { return demo_tools; }
