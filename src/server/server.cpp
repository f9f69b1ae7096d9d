#include "server/server.h"

#include <new>
#include <optional>

#include "methods/dispatch.h"
#include "protocol/arena.h"
#include "protocol/message.h"
#include "tools/client_requests.h"
#include "tools/demo_tools.h"

Server::Server(std::pmr::memory_resource& gpa, Loop& loop) : gpa(gpa), catalogue(gpa), arenas(gpa), tools(gpa, loop) {}

void ServerDeleter::operator()(Server* s) const noexcept {
  std::pmr::polymorphic_allocator<Server>(&s->gpa).delete_object(s);
}

ServerPtr initServer(std::pmr::memory_resource& gpa, Loop& loop) {
  ServerPtr s(std::pmr::polymorphic_allocator<Server>(&gpa).new_object<Server>(gpa, loop));
  // The catalogue is a constant of this program; only a broken build could fail here.
  if (!loadCatalogue(s->catalogue) || !bindTools(s->tools, s->catalogue, demoTools())) return nullptr;
  s->arenas.giveBack(s->arenas.take());  // the first message finds its arena ready
  return s;
}

namespace {

bool blank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Without the blanks around it. Most lines have none, or only a CR at the end: a look at each end.
std::string_view trim(std::string_view line) {
  std::size_t first = 0, end = line.size();
  while (first < end && blank(line[first])) ++first;
  while (end > first && blank(line[end - 1])) --end;
  return line.substr(first, end - first);
}

constexpr json::Value null_id{};

// Steps after the arena exists. Throws std::bad_alloc; `handle` reports it.
// An object, parsed from `line` into `a`, from here on.
void route(Server& s, const Answering& to, std::pmr::memory_resource& a, const json::Value& message,
           std::string_view line) {
  Session& session = to.session;
  std::optional<std::string_view> method = json::stringField(message, "method");
  const json::Value* id_member = json::member(message, "id");
  const json::Value& id = id_member ? *id_member : null_id;
  // A client's answer to one of our requests
  if (!method) return deliverResponse(to.wire, session.requests, a, id, line);
  if (id.kind == json::Kind::Null) return;  // a notification: never answered
  const json::Value* params_member = json::member(message, "params");
  const json::Value& params = params_member ? *params_member : json::empty_object;
  if (!params.isObject()) {
    sendReply(to.wire, a, id, Reply::invalid("params must be an object"));
    return;
  }
  if (*method == "tools/call") return startToolCall(s.tools, to, a, id, params);
  sendReply(to.wire, a, id, dispatch(s.catalogue, a, *method, params));
}

void parseAndRoute(Server& s, Session& session, std::pmr::memory_resource& a, std::string_view line) {
  std::optional<json::Value> message = json::parse(a, line);
  if (!message) {
    sendReply(session.wire, a, null_id, Reply::failure(ErrorCode::ParseError, "Parse error: invalid JSON"));
    return;
  }
  if (!message->isObject()) {
    sendReply(session.wire, a, null_id, Reply::failure(ErrorCode::InvalidRequest, "Invalid Request: expected an object"));
    return;
  }
  route(s, Answering{session, session.wire}, a, *message, line);
}

}  // namespace

void handle(Server& s, Session& session, std::string_view line) noexcept {
  line = trim(line);
  if (line.empty()) return;  // blank lines get no answer and no arena
  // handle decides what happens when memory runs out: the message is dropped with one report.
  ArenaPtr arena;
  try {
    arena = s.arenas.take();
    parseAndRoute(s, session, arena->resource(), line);
  } catch (const std::bad_alloc&) {
    logOom(session.wire);
  }
  if (arena) s.arenas.giveBack(std::move(arena));
}

void handleMessage(Server& s, const Answering& to, std::pmr::memory_resource& a, const json::Value& message,
                   std::string_view line) noexcept {
  // handleMessage decides what happens when memory runs out: the message is dropped with one report.
  try {
    route(s, to, a, message, line);
  } catch (const std::bad_alloc&) {
    logOom(to.wire);
  }
}
