#include "tools/tool_call.h"

#include <new>

#include "runtime/coroutine.h"

namespace {

// How large a waiting call's first block is: its copied arguments fit, and usually its reply.
constexpr std::size_t call_first_block = 128;

// "arguments" when it is an object; anything else counts as no arguments.
const json::Value& argumentsOf(const json::Value& params) {
  const json::Value* arguments = json::member(params, "arguments");
  return arguments && arguments->isObject() ? *arguments : json::empty_object;
}

// "_meta"."progressToken", whatever its kind; null when there is none.
const json::Value* progressTokenOf(const json::Value& params) {
  const json::Value* meta = json::member(params, "_meta");
  return meta ? json::member(*meta, "progressToken") : nullptr;
}

std::string_view copyText(std::pmr::memory_resource& a, std::string_view text) {
  json::Text& copy = json::newText(a);
  copy = text;
  return copy;
}

const json::Value* copyValue(std::pmr::memory_resource& a, const json::Value& v, std::pmr::memory_resource& scratch) {
  return std::pmr::polymorphic_allocator<>(&a).new_object<json::Value>(json::copy(a, v, scratch));
}

// What a modern call keeps of its era and of the retry it may be, copied into the call's arena.
void keepModern(ToolCall& call, const Era& era, std::pmr::memory_resource& message, const json::Value& params) {
  std::pmr::memory_resource& a = call.a();
  call.era = era;
  call.era.version = copyText(a, era.version);
  call.era.client_capabilities = copyValue(a, *era.client_capabilities, message);
  if (std::optional<std::string_view> state = json::stringField(params, "requestState")) {
    call.request_state = copyText(a, *state);
  }
  if (const json::Value* responses = json::member(params, "inputResponses")) {
    call.input_responses = copyValue(a, *responses, message);
  }
  json::Text& key = json::newText(a);
  if (json::writeValue(key, call.id)) call.id_key = key;  // an id nested too deep cannot be cancelled
}

// What a waiting call keeps, copied out of the message's arena `message`. Throws std::bad_alloc.
ToolCall keepCall(ToolCalls& t, const Answering& to, std::pmr::memory_resource& message, const json::Value& id,
                  const json::Value& params) {
  ToolCall call;
  call.t = &t;
  call.session = &to.session;
  call.wire = to.wire;
  call.group = to.group;
  call.arena = newArena(t.gpa, call_first_block);
  // cppcheck-suppress uninitvar ; id and args are null Values from their member initialisers
  std::pmr::memory_resource& a = call.a();
  call.id = json::copy(a, id, message);
  call.args = json::copy(a, argumentsOf(params), message);
  if (const json::Value* token = progressTokenOf(params)) {
    call.progress_token = copyValue(a, *token, message);
  }
  if (to.era.modern) keepModern(call, to.era, message, params);
  return call;
}

// The reply as `era` has it: a modern call's argument problems are results with isError (MCP
// 2026-07-28, server/tools). Throws std::bad_alloc.
Reply forEra(std::pmr::memory_resource& a, const Reply& r, const Era& era) {
  if (!era.modern || r.error != ErrorCode::InvalidParams || r.about_request) return r;
  return textResult(a, r.text, true);
}

const Tool* findTool(const ToolCalls& t, std::string_view name) {
  for (const Tool* tool : t.table) {
    if (tool->name == name) return tool;
  }
  return nullptr;
}

}  // namespace

ToolCalls::ToolCalls(std::pmr::memory_resource& gpa, Loop& loop) : gpa(gpa), loop(loop), table(&gpa) {}

Session::Session(std::pmr::memory_resource& gpa, Wire wire) : wire(wire), requests(gpa) {
  calls.next = calls.prev = &calls;
}

Session::~Session() { abandonCalls(*this); }

void abandonCalls(Session& s) noexcept {
  // Destroying a frame runs its awaitables' destructors (timers disarmed, deliveries forgotten, the
  // request to the client unregistered) and its promise's, which unlinks it.
  while (s.calls.next != &s.calls) s.calls.next->frame.destroy();
}

void abandonCalls(CallGroup& g) noexcept {
  while (g.calls.next != &g.calls) g.calls.next->frame.destroy();
}

void cancelRequest(Session& s, std::pmr::memory_resource& a, const json::Value& id) noexcept {
  // cancelRequest decides: an id whose text cannot be made for lack of memory is ignored, as an
  // unknown one is.
  try {
    json::Text key(&a);
    if (!json::writeValue(key, id)) return;
    auto it = s.open.find(std::string_view(key));
    if (it == s.open.end()) return;
    if (RunningCall* call = it->second.call) return call->frame.destroy();  // which closes its entry
    s.open.erase(it);
  } catch (const std::bad_alloc&) {
  }
}

namespace {

void linkBefore(RunningCall& ring, RunningCall& r) noexcept {
  r.next = &ring;
  r.prev = ring.prev;
  r.prev->next = &r;
  ring.prev = &r;
}

void unlinkCall(RunningCall& r) noexcept {
  r.prev->next = r.next;
  r.next->prev = r.prev;
}

}  // namespace

ToolTask::promise_type::promise_type(ToolCall& call) noexcept : call(call) {
  ++call.t->loop.tasks;
  running.frame = in_group.frame = std::coroutine_handle<promise_type>::from_promise(*this);
  linkBefore(call.session->calls, running);
  if (CallGroup* g = call.group) {
    linkBefore(g->calls, in_group);
    ++g->running;
    g->joined = true;
    if (g->changed) g->changed(*g);
  }
  if (call.id_key.empty()) return;
  // The promise decides: without memory for its entry, a modern call runs on and cannot be
  // cancelled. An id already open stays with the request that opened it.
  try {
    Session& s = *call.session;
    open = s.open.try_emplace(std::pmr::string(call.id_key, s.open.get_allocator().resource()), OpenRequest{&running, call.wire})
               .second;
  } catch (const std::bad_alloc&) {
  }
}

ToolTask::promise_type::~promise_type() {
  --call.t->loop.tasks;
  unlinkCall(running);
  if (open) call.session->open.erase(call.session->open.find(call.id_key));
  // Last: the group's owner, told that its last call has ended, may end the session too.
  if (CallGroup* g = call.group) {
    unlinkCall(in_group);
    --g->running;
    if (g->changed) g->changed(*g);
  }
}

void ToolTask::promise_type::return_value(const Reply& reply) noexcept {
  // The edge of every waiting call: without memory its reply is dropped with one report.
  try {
    sendReply(call.wire, call.a(), call.id, forEra(call.a(), reply, call.era), call.era);
  } catch (const std::bad_alloc&) {
    logOom(call.wire);
  }
}

void ToolTask::promise_type::unhandled_exception() noexcept {
  // The edge of every waiting call: without memory its reply is dropped with one report.
  try {
    throw;
  } catch (const std::bad_alloc&) {
    logOom(call.wire);
  }
}

void* ToolTask::promise_type::operator new(std::size_t size, ToolCall& call) {
  return allocateFrame(call.t->gpa, size);
}

void ToolTask::promise_type::operator delete(void* frame, std::size_t size) noexcept { freeFrame(frame, size); }

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

void startToolCall(ToolCalls& t, const Answering& to, std::pmr::memory_resource& a, const json::Value& id,
                   const json::Value& params) {
  std::string_view name = json::stringField(params, "name").value_or("");
  const Tool* tool = findTool(t, name);
  if (!tool) return sendReply(to.wire, a, id, failureNaming(a, ErrorCode::InvalidParams, "Unknown tool: ", name), to.era);
  if (tool->answer) return runToolCall(t, to, *tool, a, id, params);
  tool->start(keepCall(t, to, a, id, params));
}

void runToolCall(ToolCalls& t, const Answering& to, const Tool& tool, std::pmr::memory_resource& a,
                 const json::Value& id, const json::Value& params) noexcept {
  // runToolCall decides for the whole call: without memory the reply is dropped with one report.
  try {
    const Reply reply = tool.answer(t, to.session, a, argumentsOf(params), progressTokenOf(params));
    sendReply(to.wire, a, id, forEra(a, reply, to.era), to.era);
  } catch (const std::bad_alloc&) {
    logOom(to.wire);
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
  std::string_view reason = e == ArgError::Missing     ? " is missing"
                            : e == ArgError::WrongType ? " has the wrong type"
                                                       : " is out of range";
  return failureNaming(a, ErrorCode::InvalidParams, "Invalid arguments: ", name, reason);
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
