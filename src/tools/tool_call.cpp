#include "tools/tool_call.h"

#include <new>

namespace {

// What a task carries: it lives in the message's arena, which travels with it.
struct ToolCall {
  ToolCall(ToolCalls* t, const Tool* tool, Arena* arena, const json::Value& id, const json::Value& params)
      : t(t), tool(tool), arena(arena), id(id), params(params) {}
  ToolCalls* t;
  const Tool* tool;
  Arena* arena;
  json::Value id;
  json::Value params;
};

void runTask(void* arg) noexcept {
  ToolCall& call = *static_cast<ToolCall*>(arg);
  ArenaPtr arena(call.arena, ArenaDeleter{&call.t->gpa});
  runToolCall(*call.t, *call.tool, arena->resource(), call.id, call.params);
  call.t->arenas.giveBack(std::move(arena));  // only once the reply is out: `call` lives in it
}

// How many calls run at once; further calls wait for one of them to end. Each waiting call needs a
// thread of its own, so this is far above what a client asks at once.
constexpr std::size_t max_worker_threads = 4096;

}  // namespace

ToolCalls::ToolCalls(std::pmr::memory_resource& gpa, Wire wire, ArenaCache& arenas, ThreadStarter start)
    : gpa(gpa), wire(wire), arenas(arenas), requests(gpa), table(&gpa), group(max_worker_threads, &this->wire.out, start) {}

bool bindTools(ToolCalls& t, const Catalogue& c, std::span<const Tool> tools) {
  t.table.clear();
  for (const json::Value& entry : c.tools) {
    const Tool* bound = nullptr;
    for (const Tool& tool : tools) {
      if (tool.name == toolName(entry)) bound = &tool;
    }
    if (!bound) return false;
    t.table.push_back(bound);
  }
  return true;
}

const Tool* findTool(const ToolCalls& t, std::string_view name) {
  for (const Tool* tool : t.table) {
    if (tool->name == name) return tool;
  }
  return nullptr;
}

void startToolCall(ToolCalls& t, ArenaPtr& arena, const json::Value& id, const json::Value& params) {
  std::pmr::memory_resource& a = arena->resource();
  std::string_view name = json::stringField(params, "name").value_or("");
  const Tool* tool = findTool(t, name);
  if (!tool) {
    json::Text& message = json::newText(a);
    message += "Unknown tool: ";
    message += name;
    sendReply(t.wire, a, id, Reply::invalid(message));
    return;
  }
  if (!tool->waits) return runToolCall(t, *tool, a, id, params);
  auto* call = std::pmr::polymorphic_allocator<ToolCall>(&a).new_object<ToolCall>(&t, tool, arena.get(), id, params);
  Arena* handed_over = arena.release();  // the task owns the arena from here and frees it after replying
  if (t.group.tryStart(Task{&runTask, call})) return;
  // No worker can take the call. It must not wait here, on the thread that reads the client's
  // answers and requests, so it is answered at once.
  arena.reset(handed_over);
  sendReply(t.wire, a, id, textResult(a, "no worker thread could be started for this call; try again later", true));
}

void runToolCall(ToolCalls& t, const Tool& tool, std::pmr::memory_resource& a, const json::Value& id,
                 const json::Value& params) noexcept {
  const json::Value* arguments = json::member(params, "arguments");
  const json::Value& args = arguments && arguments->isObject() ? *arguments : json::empty_object;
  const json::Value* meta = json::member(params, "_meta");
  const json::Value* progress_token = meta ? json::member(*meta, "progressToken") : nullptr;
  // runToolCall decides for the whole call: without memory the reply is dropped with one report.
  try {
    sendReply(t.wire, a, id, tool.run(t, a, args, progress_token));
  } catch (const std::bad_alloc&) {
    logOom(t.wire);
  }
}

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
