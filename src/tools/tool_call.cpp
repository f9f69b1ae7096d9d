#include "tools/tool_call.h"

#include <new>

#include "tools/demo_tools.h"

namespace {

// What a task carries: it lives in the message's arena, which travels with it.
struct ToolCall {
  ToolCall(Server* s, Arena* arena, const json::Value& id, const json::Value& params)
      : s(s), arena(arena), id(id), params(params) {}
  Server* s;
  Arena* arena;
  json::Value id;
  json::Value params;
};

void runTask(void* arg) noexcept {
  ToolCall& call = *static_cast<ToolCall*>(arg);
  Server& s = *call.s;
  runToolCall(s, ArenaPtr(call.arena, ArenaDeleter{&s.gpa}), call.id, call.params);
}

const json::Value* findTool(const Server& s, std::string_view name) {
  for (const json::Value& tool : s.tools) {
    if (json::stringField(tool, "name") == name) return &tool;
  }
  return nullptr;
}

}  // namespace

void startToolCall(Server& s, ArenaPtr& arena, const json::Value& id, const json::Value& params) {
  std::pmr::memory_resource& a = arena->resource();
  std::string_view name = json::stringField(params, "name").value_or("");
  if (!findTool(s, name)) {
    json::Text& message = json::newText(a);
    message += "Unknown tool: ";
    message += name;
    sendReply(s, a, id, Reply::invalid(message));
    return;
  }
  ToolCall* call = nullptr;
  try {
    call = std::pmr::polymorphic_allocator<ToolCall>(&a).new_object<ToolCall>(&s, arena.get(), id, params);
  } catch (const std::bad_alloc&) {  // no memory for the task: the call runs here instead
    flush(s.sink);
    runToolCall(s, std::move(arena), id, params);
    return;
  }
  Arena* handed_over = arena.release();  // the task owns the arena from here and frees it after replying
  if (s.group.tryStart(Task{&runTask, call})) return;
  flush(s.sink);  // the call may wait a long time: replies held back go out first
  runToolCall(s, ArenaPtr(handed_over, ArenaDeleter{&s.gpa}), id, params);
}

void runToolCall(Server& s, ArenaPtr arena, const json::Value& id, const json::Value& params) noexcept {
  std::pmr::memory_resource& a = arena->resource();
  const json::Value* arguments = json::member(params, "arguments");
  const json::Value& args = arguments && arguments->isObject() ? *arguments : json::empty_object;
  const json::Value* meta = json::member(params, "_meta");
  const json::Value* progress_token = meta ? json::member(*meta, "progressToken") : nullptr;
  std::string_view name = json::stringField(params, "name").value_or("");
  // runToolCall decides for the whole call: without memory the reply is dropped with one report.
  try {
    sendReply(s, a, id, callTool(s, a, name, args, progress_token));
  } catch (const std::bad_alloc&) {
    logOom(s);
  }
}  // the arena, and the reply line built in it, are released only now

Expected<std::string_view, ArgError> argString(const json::Value& args, std::string_view name) {
  const json::Value* v = json::member(args, name);
  if (!v) return unexpected(ArgError::Missing);
  if (v->kind != json::Kind::String) return unexpected(ArgError::WrongType);
  return v->text();
}

Expected<double, ArgError> argNumber(const json::Value& args, std::string_view name) {
  const json::Value* v = json::member(args, name);
  if (!v) return unexpected(ArgError::Missing);
  if (v->kind == json::Kind::Integer) return static_cast<double>(v->integer);
  if (v->kind == json::Kind::Float) return v->number;
  return unexpected(ArgError::WrongType);
}

Expected<std::int64_t, ArgError> argInt(const json::Value& args, std::string_view name, std::int64_t fallback,
                                        std::int64_t lo, std::int64_t hi) {
  const json::Value* v = json::member(args, name);
  std::int64_t n = fallback;
  if (v && v->kind != json::Kind::Null) {
    if (v->kind != json::Kind::Integer) return unexpected(ArgError::WrongType);
    n = v->integer;
  }
  if (n < lo || n > hi) return unexpected(ArgError::OutOfRange);
  return n;
}

Reply argError(std::pmr::memory_resource& a, ArgError e, std::string_view name) {
  std::string_view reason = e == ArgError::Missing     ? "is missing"
                            : e == ArgError::WrongType ? "has the wrong type"
                                                       : "is out of range";
  json::Text& message = json::newText(a);
  message += "Invalid arguments: ";
  message += name;
  message += ' ';
  message += reason;
  return Reply::invalid(message);
}

Reply textResult(std::pmr::memory_resource& a, std::string_view text, bool is_error) {
  // {"content":[{"type":"text","text":<text>}],"isError":<is_error>}
  json::Text& out = json::newText(a);
  out.reserve(text.size() + 64);
  out += R"({"content":[{"type":"text","text":)";
  json::writeString(out, text);
  out += is_error ? R"(}],"isError":true})" : R"(}],"isError":false})";
  return Reply::result(out);
}
