#include "server/server.h"

#include <new>
#include <optional>

#include "methods/dispatch.h"
#include "protocol/era.h"
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

// The members of a message that route reads, each null when absent, found in one pass: a name is
// told by its length first, and a message holds no name twice.
struct Envelope {
  const json::Value* method = nullptr;
  const json::Value* id = nullptr;
  const json::Value* params = nullptr;
};

Envelope envelopeOf(const json::Value& message) {
  Envelope e;
  for (const json::Member& m : message.members()) {
    if (m.key.size() == 2) {
      if (m.key == "id") e.id = &m.value;
    } else if (m.key.size() == 6) {
      if (m.key == "method") e.method = &m.value;
      else if (m.key == "params") e.params = &m.value;
    }
  }
  return e;
}

// subscriptions/listen (MCP 2026-07-28, basic/patterns/subscriptions): acknowledged at once with
// what is honoured of its filter. Nothing of this server ever changes, so that is nothing; the
// subscription stays open, as one of the session's open requests, until it is cancelled or the
// server ends it. It is no task: it holds back no end.
void openSubscription(const Answering& to, std::pmr::memory_resource& a, const json::Value& id,
                      const json::Value& params) {
  const json::Value* filter = json::member(params, "notifications");
  if (filter && !filter->isObject()) {
    return sendReply(to.wire, a, id, Reply::invalid("Invalid params: notifications must be an object"), to.era);
  }
  json::Text& key = json::newText(a);
  if (!json::writeValue(key, id)) return logTooDeep(to.wire);
  auto& open = to.session.open;
  if (open.contains(std::string_view(key))) {
    return sendReply(to.wire, a, id, Reply::invalid("Invalid params: a request with this id is still open"), to.era);
  }
  // {"_meta":{"io.modelcontextprotocol/subscriptionId":<id>},"notifications":{}}
  json::Text& ack = json::newText(a);
  ack += R"({"_meta":{"io.modelcontextprotocol/subscriptionId":)";
  ack += key;
  ack += R"(},"notifications":{}})";
  open.try_emplace(std::pmr::string(key, open.get_allocator().resource()), OpenRequest{nullptr, to.wire});
  notify(to.wire, a, "notifications/subscriptions/acknowledged", ack);
}

// A request of the modern era, its era read and checked.
void routeModern(Server& s, const Answering& to, std::pmr::memory_resource& a, std::string_view method,
                 const json::Value& id, const json::Value& params) {
  if (method == "tools/call") return startToolCall(s.tools, to, a, id, params);
  if (method == "subscriptions/listen") return openSubscription(to, a, id, params);
  sendReply(to.wire, a, id, dispatch(s.catalogue, a, method, params, to.era), to.era);
}

// Steps after the arena exists. Throws std::bad_alloc; `handle` reports it.
// An object, parsed from `line` into `a`, from here on.
void route(Server& s, const Answering& to, std::pmr::memory_resource& a, const json::Value& message,
           std::string_view line) {
  Session& session = to.session;
  const Envelope e = envelopeOf(message);
  const json::Value& id = e.id ? *e.id : null_id;
  // A client's answer to one of our requests (a method of any other kind is as good as none)
  if (!e.method || e.method->kind != json::Kind::String) return deliverResponse(to.wire, session.requests, a, id, line);
  const std::string_view method = e.method->text();
  const json::Value& params = e.params ? *e.params : json::empty_object;
  if (id.kind == json::Kind::Null) {  // a notification: never answered
    // Only modern requests are cancelled: a legacy request gets its one reply, as it always has.
    if (method == "notifications/cancelled") {
      if (const json::Value* cancelled = json::member(params, "requestId")) cancelRequest(session, a, *cancelled);
    }
    return;
  }
  if (!params.isObject()) {
    sendReply(to.wire, a, id, Reply::invalid("params must be an object"));
    return;
  }
  // The era is read here, once: the transport's when it has decided it, or the request's own
  // `_meta`'s (MCP 2026-07-28, basic/transports/stdio).
  if (to.era.modern) return routeModern(s, to, a, method, id, params);
  if (const json::Value* meta = json::member(params, "_meta")) {
    Expected<Era, Reply> era = readEra(a, *meta);
    if (!era) return sendReply(to.wire, a, id, era.error());
    if (era->modern) return routeModern(s, Answering{to.session, to.wire, to.group, *era}, a, method, id, params);
  }
  if (method == "tools/call") return startToolCall(s.tools, to, a, id, params);
  sendReply(to.wire, a, id, dispatch(s.catalogue, a, method, params, legacy_era));
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

namespace {

// The completion result, then notifications/cancelled, for the subscription whose id is `key`
// (compact JSON): the page on subscriptions asks for the one, the page on cancellation requires the
// other (MCP 2026-07-28, basic/patterns). The result comes first: a client that takes the
// cancellation as the end of the subscription reports the result after it as an answer to no
// request (the SDK's v2 client does), while one that takes the result as the end ignores a
// cancellation of what is over. Throws std::bad_alloc.
void endSubscription(std::pmr::memory_resource& a, const Wire& wire, std::string_view key) {
  std::optional<json::Value> id = json::parse(a, key);
  if (!id) return;  // a key is always the text of an id
  json::Text& meta = json::newText(a);
  meta += R"("io.modelcontextprotocol/subscriptionId":)";
  meta += key;
  Reply done = Reply::result("{}");
  done.meta = meta;
  Era modern;
  modern.modern = true;
  sendReply(wire, a, *id, done, modern);
  // {"requestId":<id>,"reason":"the server is shutting down"}
  json::Text& cancelled = json::newText(a);
  cancelled += R"({"requestId":)";
  cancelled += key;
  cancelled += R"(,"reason":"the server is shutting down"})";
  notify(wire, a, "notifications/cancelled", cancelled);
}

}  // namespace

void endSubscriptions(Server& s, Session& session) noexcept {
  for (auto it = session.open.begin(); it != session.open.end();) {
    if (it->second.call) {
      ++it;
      continue;
    }
    // endSubscriptions decides: what cannot be written for lack of memory is dropped with one
    // report, and the subscription ends all the same.
    ArenaPtr arena;
    try {
      arena = s.arenas.take();
      endSubscription(arena->resource(), it->second.wire, it->first);
    } catch (const std::bad_alloc&) {
      logOom(it->second.wire);
    }
    if (arena) s.arenas.giveBack(std::move(arena));
    it = session.open.erase(it);
  }
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
