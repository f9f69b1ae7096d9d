#include "tools/demo_tools.h"

#include <sys/time.h>

#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdlib>

#include "protocol/waiting.h"
#include "tools/base64.h"
#include "tools/client_requests.h"
#include "tools/png.h"
#include "tools/tool_call.h"

namespace {

Reply echo(ToolCalls&, std::pmr::memory_resource& a, const json::Value& args, const json::Value*) {
  auto text = argString(args, "text");
  if (!text) return argError(a, text.error(), "text");
  auto times = argInt(args, "times", 1, 1, 10);
  if (!times) return argError(a, times.error(), "times");
  json::Text& out = json::newText(a);
  out.reserve((text->size() + 1) * static_cast<std::size_t>(*times));
  for (std::int64_t i = 0; i < *times; ++i) {
    if (i > 0) out += ' ';
    out += *text;
  }
  return textResult(a, out, false);
}

Reply add(ToolCalls&, std::pmr::memory_resource& a, const json::Value& args, const json::Value*) {
  auto x = argNumber(args, "a");
  if (!x) return argError(a, x.error(), "a");
  auto y = argNumber(args, "b");
  if (!y) return argError(a, y.error(), "b");
  json::Text& sum = json::newText(a);
  json::writeFloat(sum, *x + *y);
  return textResult(a, sum, false);
}

Reply image(ToolCalls&, std::pmr::memory_resource& a, const json::Value& args, const json::Value*) {
  auto color = argString(args, "color");
  if (!color) return argError(a, color.error(), "color");
  constexpr std::string_view channels[] = {"red", "green", "blue"};
  int channel = 0;
  while (channel < 3 && channels[channel] != *color) ++channel;
  if (channel == 3) {
    json::Text& message = json::newText(a);
    message += "Invalid arguments: unknown color: ";
    message += *color;
    return Reply::invalid(message);
  }
  std::string_view png = gradientPng(a, channel);

  // {"content":[{"type":"image","data":"<base64>","mimeType":"image/png"},{"type":"text","text":<caption>}]}
  json::Text& caption = json::newText(a);
  caption += "32×32 ";
  caption += *color;
  caption += " gradient";
  json::Text& out = json::newText(a);
  out.reserve(4232 + 128);
  out += R"({"content":[{"type":"image","data":")";
  appendBase64(out, png);
  out += R"(","mimeType":"image/png"},{"type":"text","text":)";
  json::writeString(out, caption);
  out += "}]}";
  return Reply::result(out);
}

Reply fail(ToolCalls&, std::pmr::memory_resource& a, const json::Value&, const json::Value*) {
  return textResult(a, "This tool always fails (on purpose).", true);
}

Reply slow(ToolCalls&, std::pmr::memory_resource& a, const json::Value& args, const json::Value*) {
  auto seconds = argNumber(args, "seconds");
  if (!seconds) return argError(a, seconds.error(), "seconds");
  if (*seconds < 0 || *seconds > 60) return Reply::invalid("Invalid arguments: seconds must be between 0 and 60");
  sleepFor(std::chrono::nanoseconds(static_cast<std::int64_t>(*seconds * 1e9)));
  json::Text& text = json::newText(a);
  text += "slept ";
  json::writeFloat(text, *seconds);
  text += " s";
  return textResult(a, text, false);
}

Reply notifySteps(ToolCalls& t, std::pmr::memory_resource& a, const json::Value& args, const json::Value* token) {
  auto steps = argInt(args, "steps", 3, 1, 10);
  if (!steps) return argError(a, steps.error(), "steps");
  for (std::int64_t i = 1; i <= *steps; ++i) {
    // {"level":"info","logger":"demo","data":"step <i>/<steps>"}
    json::Text& message = json::newText(a);
    message += R"({"level":"info","logger":"demo","data":"step )";
    json::writeDecimal(message, i);
    message += '/';
    json::writeDecimal(message, *steps);
    message += "\"}";
    notify(t.wire, a, "notifications/message", message);
    if (token) {
      // {"progressToken":<token>,"progress":<i>,"total":<steps>}
      json::Text& progress = json::newText(a);
      progress += R"({"progressToken":)";
      bool written = json::writeValue(progress, *token);
      progress += R"(,"progress":)";
      json::writeDecimal(progress, i);
      progress += R"(,"total":)";
      json::writeDecimal(progress, *steps);
      progress += '}';
      if (written) {
        notify(t.wire, a, "notifications/progress", progress);
      } else {
        logTooDeep(t.wire);
      }
    }
    // The pause after the last step matters too: clients may drop a progress notification that
    // arrives in the same read as the reply.
    sleepFor(std::chrono::milliseconds(50));
  }
  json::Text& text = json::newText(a);
  text += "done after ";
  json::writeDecimal(text, *steps);
  text += " steps";
  return textResult(a, text, false);
}

Reply askClientTool(ToolCalls& t, std::pmr::memory_resource& a, const json::Value&, const json::Value*) {
  Expected<std::string_view, AskFailure> answer = askClient(t.wire, t.requests, a);
  if (!answer && answer.error() == AskFailure::AnswerLost) {
    // The client did answer: saying it did not would mislead. One report, and one reply.
    Reply lost = textResult(a, "the client's answer could not be kept for lack of memory", true);
    logOom(t.wire);
    return lost;
  }
  json::Text& text = json::newText(a);
  if (!answer) {
    text += "the client did not answer within ";
    json::writeFloat(text, std::chrono::duration<double>(t.requests.ask_timeout).count());
    text += " s";
    return textResult(a, text, true);
  }
  text += "client answered: ";
  text += *answer;
  return textResult(a, text, false);
}

void exitAtOnce(int) { std::_Exit(3); }

[[noreturn]] Reply crash(ToolCalls& t, std::pmr::memory_resource&, const json::Value&, const json::Value*) {
  // The end comes within 80 ms even when nobody reads standard output and the flush below blocks.
  struct sigaction action {};
  action.sa_handler = exitAtOnce;
  sigemptyset(&action.sa_mask);
  sigaction(SIGALRM, &action, nullptr);
  itimerval timer{};
  timer.it_value.tv_usec = 80'000;
  setitimer(ITIMER_REAL, &timer, nullptr);
  // The line is written by this thread, under the standard-error lock, before the process ends.
  t.wire.log.write(t.wire.log.ctx, "crashing on purpose");
  flush(t.wire.log);
  flush(t.wire.out);  // replies already made for earlier requests still reach the client
  std::_Exit(3);  // at once: no reply, no clean-up, other calls abandoned
}

constexpr Tool demo_tools[] = {
    {"echo", &echo, false},    {"add", &add, false},   {"image", &image, false},
    {"fail", &fail, false},    {"slow", &slow, true},  {"notify", &notifySteps, true},
    {"ask_client", &askClientTool, true},              {"crash", &crash, true},
};

}  // namespace

std::span<const Tool> demoTools() { return demo_tools; }
