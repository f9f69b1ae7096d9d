#include "protocol/message.h"

#include <new>
#include <optional>

#include "methods/dispatch.h"
#include "tools/client_requests.h"
#include "tools/tool_call.h"

namespace {

std::string_view trim(std::string_view line) {
  constexpr std::string_view blanks = " \t\r\n";
  std::size_t first = line.find_first_not_of(blanks);
  if (first == std::string_view::npos) return {};
  return line.substr(first, line.find_last_not_of(blanks) - first + 1);
}

constexpr json::Value null_id{};

// Steps after the arena exists. Throws std::bad_alloc; `handle` reports it.
void handleMessage(Server& s, ArenaPtr& arena, std::string_view line) {
  std::pmr::memory_resource& a = arena->resource();
  std::optional<json::Value> message = json::parse(a, line);
  if (!message) {
    sendReply(s, a, null_id, Reply::error(ErrorCode::ParseError, "Parse error: invalid JSON"));
    return;
  }
  if (!message->isObject()) {
    sendReply(s, a, null_id, Reply::error(ErrorCode::InvalidRequest, "Invalid Request: expected an object"));
    return;
  }
  std::optional<std::string_view> method = json::stringField(*message, "method");
  const json::Value* id_member = json::member(*message, "id");
  const json::Value& id = id_member ? *id_member : null_id;
  if (!method) return deliverResponse(s, a, id, line);  // a client's answer to one of our requests
  if (id.kind == json::Kind::Null) return;  // a notification: never answered
  const json::Value* params_member = json::member(*message, "params");
  const json::Value& params = params_member ? *params_member : json::empty_object;
  if (!params.isObject()) {
    sendReply(s, a, id, Reply::invalid("params must be an object"));
    return;
  }
  if (*method == "tools/call") return startToolCall(s, arena, id, params);  // may take the arena over
  Reply reply = dispatch(s, a, *method, params);
  sendReply(s, a, id, reply);
}

}  // namespace

void handle(Server& s, std::string_view line) noexcept {
  line = trim(line);
  if (line.empty()) return;  // blank lines get no answer and no arena
  // handle decides what happens when memory runs out: the message is dropped with one report.
  try {
    ArenaPtr arena = newMessageArena(s);
    handleMessage(s, arena, line);  // leaves `arena` empty when a tool call took it over
  } catch (const std::bad_alloc&) {
    logOom(s);
  }
}

// A client that nests its id (or progress token) hundreds of levels deep gets no line back: the
// writer refuses such values, and the drop is reported like one for lack of memory.
void logTooDeep(Server& s) noexcept {
  s.log.write(s.log.ctx, "value nested too deeply; message dropped");
}

void send(Server& s, std::string_view line) noexcept { s.sink.write(s.sink.ctx, line); }

bool appendReply(json::Text& out, const json::Value& id, const Reply& r) {
  out += R"({"jsonrpc":"2.0","id":)";
  if (!json::writeValue(out, id)) return false;
  if (r.kind == Reply::Kind::Result) {
    out += R"(,"result":)";
    out += r.text;
    out += '}';
    return true;
  }
  out += R"(,"error":{"code":)";
  json::writeDecimal(out, static_cast<std::int32_t>(r.code));
  out += R"(,"message":)";
  json::writeString(out, r.text);
  out += "}}";
  return true;
}

void sendReply(Server& s, std::pmr::memory_resource& a, const json::Value& id, const Reply& r) noexcept {
  // sendReply decides for its own line: without memory the reply is dropped with one report.
  try {
    json::Text line(&a);
    line.reserve(r.text.size() + 64);
    if (!appendReply(line, id, r)) return logTooDeep(s);
    send(s, line);
  } catch (const std::bad_alloc&) {
    logOom(s);
  }
}

void notify(Server& s, std::pmr::memory_resource& a, std::string_view method, std::string_view params) noexcept {
  // notify decides for its own line: without memory the notification is dropped with one report.
  try {
    json::Text line(&a);
    line.reserve(method.size() + params.size() + 48);
    line += R"({"jsonrpc":"2.0","method":")";
    line += method;
    line += R"(","params":)";
    line += params;
    line += '}';
    send(s, line);
  } catch (const std::bad_alloc&) {
    logOom(s);
  }
}
