#include "methods/prompts.h"

Reply getPrompt(std::pmr::memory_resource& a, const json::Value& params) {
  std::string_view name = json::stringField(params, "name").value_or("");
  if (name != "review") return failureNaming(a, ErrorCode::InvalidParams, "Unknown prompt: ", name);
  const json::Value* arguments = json::member(params, "arguments");
  std::optional<std::string_view> code = arguments ? json::stringField(*arguments, "code") : std::nullopt;
  if (!code) return Reply::invalid("missing argument: code");
  std::string_view language = json::stringField(*arguments, "language").value_or("");

  json::Text& text = json::newText(a);
  text += "请审查这段";
  text += language;
  text += "代码：\n";
  text += *code;

  // {"description":"Code review","messages":[{"role":"user","content":{"type":"text","text":<text>}}]}
  json::Text& out = json::newText(a);
  out.reserve(text.size() + 96);
  out += R"({"description":"Code review","messages":[{"role":"user","content":{"type":"text","text":)";
  json::writeString(out, text);
  out += "}}]}";
  return Reply::result(out);
}
