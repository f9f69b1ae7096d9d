#include "transport/http_server.h"

#include <algorithm>
#include <charconv>
#include <deque>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "protocol/era.h"
#include "protocol/json.h"
#include "protocol/versions.h"
#include "tools/base64.h"
#include "tools/tool_call.h"
#include "transport/http_connection.h"
#include "transport/http_request.h"
#include "transport/http_response.h"

namespace {

constexpr std::string_view mcp_path = "/mcp";
// The older transport: a stream opened by GET, and the address its client POSTs to.
constexpr std::string_view sse_path = "/sse";
constexpr std::string_view message_path = "/message";
// Streams open with a priming event (an id, no data) only for sessions at this revision or later:
// clients of earlier ones may fail on an event without data.
constexpr std::string_view priming_since = "2025-11-25";
// How long a server that is asked to end waits for its connections.
constexpr std::chrono::seconds shutdown_patience{2};

struct HttpSession;

// A line gathered while its request is handled: its text, or a long line's pieces.
struct GatheredLine {
  std::pmr::string text;
  std::optional<PiecedBytes> pieces;
};

enum class StreamKind : std::uint8_t {
  Answer,    // a request's answer: ends once the last call it started has ended
  Standing,  // opened by GET on /mcp: ends with its session
  Older,     // the older transport's one stream: carries everything, and its session ends with it
};

// One request's answer while its lines come: gathered while the line is handled, then sent as one
// JSON body; or, when the line started a call that waits, or wrote more than its reply, sent as
// events of a stream that ends once the last call it started has ended. Standing streams are
// exchanges too, that no call ends.
//
// A stream outlives its connection: a client that lost it may resume it (Last-Event-ID) while its
// calls go on, and its events are kept by its session meanwhile. Its session's table owns it.
struct Exchange final : StreamEnd {
  Exchange(HttpServer& server, HttpSession& session, StreamKind kind, std::pmr::memory_resource& held)
      : server(server), session(session), kind(kind), lines(&held) {
    lost = &onLost;
    ends_by_itself = kind == StreamKind::Answer;
    calls.changed = &onCallsChanged;
    calls.owner = this;
  }
  ~Exchange();
  Exchange(const Exchange&) = delete;
  Exchange& operator=(const Exchange&) = delete;
  static void onLost(StreamEnd& self, bool unread) noexcept;
  static void onCallsChanged(CallGroup& g) noexcept;

  HttpServer& server;
  HttpSession& session;
  StreamKind kind;
  HttpConnection* connection = nullptr;  // null while no connection carries it: events are only kept
  std::uint64_t stream = 0;               // its id in the session's table: what its events are kept under
  std::pmr::vector<GatheredLine> lines;  // gathered while handling
  CallGroup calls;
  bool streaming = false;
  bool handling = true;
};

// An event a session keeps for resuming: its id, the stream it belongs to, its data (empty for a
// priming event).
struct KeptEvent {
  std::uint64_t id = 0;
  std::uint64_t stream = 0;
  std::pmr::string data;
};

// A session's place in one of the server's rings, from the one unused the longest to the one used
// last: the idle ring (nothing running or open), or the detached one (calls run, but no
// connection carries any of them).
struct UseRing : RingLink {
  void moveBefore(RingLink& at) noexcept {  // to the end of the ring whose head `at` is
    unlink();
    linkBefore(at);
  }
};

void dropLine(void*, std::string_view) {}

struct HttpSession : UseRing {
  HttpSession(std::pmr::memory_resource& gpa, std::pmr::memory_resource& held, std::string id, const Sink& log,
              bool older)
      : id(std::move(id)), older(older), kept(&held), session(gpa, Wire{{nullptr, &dropLine}, log}) {}
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;
  ~HttpSession();

  std::string id;
  bool older;                 // a session of the older transport
  std::string_view version;   // the revision its `initialize` was answered with
  Loop::Time last_active{};   // its last request, or when its last call ended
  Exchange* standing = nullptr;  // the GET stream (or the older transport's), while it lasts
  std::map<std::uint64_t, std::unique_ptr<Exchange>> streams;  // every stream that has not ended, by id
  std::size_t attached = 0;   // its streams that a connection carries
  std::pmr::deque<KeptEvent> kept;  // in id order
  std::size_t kept_bytes = 0;
  std::uint64_t last_event = 0;  // ids count from 1, over all the session's streams
  bool ending = false;
  Session session;
};

// A modern request (MCP 2026-07-28) while its answer comes: no session holds it, so it has a
// Session of its own for its calls, and it is its own stream once it is one. It is owned by the
// server's table of them. Its stream ends once its calls have (a listen, only when its client or
// the server ends it); a client that closes the stream cancels it, and nothing more is written
// for it (basic/transports/streamable-http, Cancellation).
struct ModernRequest final : StreamEnd {
  ModernRequest(HttpServer& server, std::pmr::memory_resource& gpa, std::pmr::memory_resource& held, const Sink& log)
      : server(server), session(gpa, Wire{{nullptr, &dropLine}, log}), lines(&held) {
    lost = &onLost;
    calls.changed = &onCallsChanged;
    calls.owner = this;
  }
  ~ModernRequest();
  ModernRequest(const ModernRequest&) = delete;
  ModernRequest& operator=(const ModernRequest&) = delete;
  static void onLost(StreamEnd& self, bool unread) noexcept;
  static void onCallsChanged(CallGroup& g) noexcept;

  HttpServer& server;
  std::uint64_t key = 0;  // in the server's table
  Session session;
  std::pmr::vector<GatheredLine> lines;  // gathered while handling
  CallGroup calls;  // after the session: its calls are abandoned first
  HttpConnection* connection = nullptr;
  bool streaming = false;
  bool handling = true;
  bool listen = false;  // subscriptions/listen: open until its client or the server ends it
};

HttpSession::~HttpSession() {
  ending = true;
  unlink();
  // The session's end ends its streams: their calls are abandoned, and a connection that carries
  // one takes the next request.
  for (auto& [stream_id, e] : streams) e->calls.changed = nullptr;
  streams.clear();
}

}  // namespace

class HttpServer {
 public:
  HttpServer(std::pmr::memory_resource& gpa, Loop& loop, const SessionHandler& handler, const sys::Stream& listener,
             const Sink& log, const AccessRules& rules, const HttpLimits& limits, const SessionLimits& session_limits)
      : gpa_(gpa),
        held_(gpa),
        loop_(loop),
        handler_(handler),
        log_(log),
        rules_(rules),
        session_limits_(session_limits),
        connections_(held_, loop, HttpHandler{this, &onRequest}, listener, limits, log) {
    hook_ = TurnHook{&beforeWait, this};
    farewell_.deliver = &deliverAll;
    farewell_.owner = this;
    loop_.addHook(hook_);
    loop_.addFarewell(farewell_);
    shutdown_timer_.fired = [](void* self) noexcept { static_cast<HttpServer*>(self)->connections_.closeAll(); };
    shutdown_timer_.owner = this;
    keep_alive_.fired = &keepListening;
    keep_alive_.owner = this;
  }
  ~HttpServer() {
    loop_.removeFarewell(farewell_);
    loop_.disarm(shutdown_timer_);
    loop_.disarm(keep_alive_);
    modern_.clear();
    loop_.removeHook(hook_);
    sessions_.clear();  // their calls end, and with them their streams
    connections_.closeAll();
  }

  void shutDown(void (*done)(void*) noexcept, void* ctx) noexcept;
  std::size_t held() const { return held_.held(); }
  std::size_t connections() const { return connections_.count(); }

  static void modernWrite(void* ctx, std::string_view line);
  static void modernWritePieces(void* ctx, std::span<const std::string_view> pieces);
  void endModern(ModernRequest& m) noexcept;
  void endModernStream(ModernRequest& m) noexcept;

  // An exchange's lines, gathered or sent as events.
  static void exchangeWrite(void* ctx, std::string_view line);
  static void exchangeWritePieces(void* ctx, std::span<const std::string_view> pieces);
  void endExchange(Exchange& e) noexcept;
  void detach(Exchange& e) noexcept;
  void release(Exchange& e) noexcept;
  void reclassify(HttpSession& s) noexcept;

 private:
  static void onRequest(void* self, HttpConnection& c, const HttpRequest& r);
  static void beforeWait(void* self) noexcept;
  static void deliverAll(void* self) noexcept;
  void answer(HttpConnection& c, const HttpRequest& r);
  void post(HttpConnection& c, const HttpRequest& r);
  void getStream(HttpConnection& c, const HttpRequest& r);
  void resume(HttpConnection& c, const HttpRequest& r, HttpSession& s, std::string_view last_event_id);
  void openOlderStream(HttpConnection& c, const HttpRequest& r);
  void postOlder(HttpConnection& c, const HttpRequest& r);
  void postModern(HttpConnection& c, const HttpRequest& r, std::pmr::memory_resource& arena, const json::Value& message,
                  std::optional<std::string_view> method, const json::Value* id);
  void modernError(HttpConnection& c, const HttpRequest& r, std::pmr::memory_resource& arena, const json::Value* id,
                   int status, std::int64_t code, std::string_view message, std::string_view data = {});
  static void keepListening(void* self) noexcept;
  std::optional<json::Value> takeMessage(HttpConnection& c, const HttpRequest& r, std::pmr::memory_resource& arena);
  void openStream(HttpConnection& c, const HttpRequest& r, Exchange& e, std::string_view session_id = {});
  void attach(Exchange& e, HttpConnection& c) noexcept;
  void sendEvent(Exchange& e, std::uint64_t id, std::string_view event, std::string_view data);
  void sendEvent(Exchange& e, std::uint64_t id, std::string_view event, PiecedBytes data);
  void sendLong(Exchange& e, PiecedBytes line);
  std::optional<std::string_view> joinedIfShort(std::span<const std::string_view> pieces,
                                                std::pmr::string& joined) const;
  void respondWith(HttpConnection& c, const HttpRequest& r, GatheredLine& line, std::string_view session_id);
  std::uint64_t keep(HttpSession& s, std::uint64_t stream, std::string_view data);
  std::uint64_t keepNone(HttpSession& s, std::uint64_t stream);
  void forgetKept() noexcept;
  void respond(HttpConnection& c, const HttpRequest& r, int status, std::string_view body,
               std::string_view session_id = {}, std::string_view allow = {});
  void refuse(HttpConnection& c, const HttpRequest& r, int status, std::int64_t code, std::string_view message);
  HttpSession* newSession(HttpConnection& c, const HttpRequest& r, bool older);
  void used(HttpSession& s) noexcept;
  void endSession(HttpSession& s) noexcept;
  bool endLeastUsed() noexcept;

  std::pmr::memory_resource& gpa_;
  HeldMemory held_;
  Loop& loop_;
  SessionHandler handler_;
  Sink log_;
  const AccessRules& rules_;
  SessionLimits session_limits_;
  std::map<std::string, std::unique_ptr<HttpSession>, std::less<>> sessions_;
  UseRing idle_;      // sessions with nothing running or open, the one unused the longest first
  UseRing detached_;  // sessions whose calls no connection carries, likewise
  TurnHook hook_;
  Farewell farewell_;
  Loop::Time next_sweep_{};
  Timer shutdown_timer_;
  std::map<std::uint64_t, std::unique_ptr<ModernRequest>> modern_;  // modern requests still answering, by key
  std::uint64_t next_modern_ = 0;
  Timer keep_alive_;  // while a listen stream is open: its comment every 15 s
  void (*shut_down_)(void*) noexcept = nullptr;
  void* shut_down_ctx_ = nullptr;
  HttpConnections connections_;  // declared last: its connections go first
};

namespace {

// The value of `name` in the target's query, as sent (session ids need no decoding).
std::optional<std::string_view> queryValue(std::string_view target, std::string_view name) {
  std::size_t q = target.find('?');
  if (q == std::string_view::npos) return std::nullopt;
  std::string_view query = target.substr(q + 1);
  while (!query.empty()) {
    std::string_view pair = query.substr(0, query.find('&'));
    query.remove_prefix(std::min(query.size(), pair.size() + 1));
    if (pair.starts_with(name) && pair.size() > name.size() && pair[name.size()] == '=') {
      return pair.substr(name.size() + 1);
    }
  }
  return std::nullopt;
}

bool containsWithoutCase(std::string_view text, std::string_view word) {
  return std::search(text.begin(), text.end(), word.begin(), word.end(),
                     [](char a, char b) { return http::lowerAscii(a) == http::lowerAscii(b); }) != text.end();
}

}  // namespace

// A stream that ends with its session, or with the server, ends on the connection that carries it.
Exchange::~Exchange() {
  calls.changed = nullptr;  // what is abandoned with it ends no more
  if (connection) server.release(*this);
}

void Exchange::onLost(StreamEnd& self, bool unread) noexcept {
  auto& e = static_cast<Exchange&>(self);
  const bool abandon = unread && e.kind == StreamKind::Answer;
  e.server.detach(e);  // the older transport's stream ends its session, and itself with it
  if (!abandon) return;
  // Its client left too much of it unread: nobody waits for the rest, and its calls end here.
  e.handling = true;
  abandonCalls(e.calls);
  e.handling = false;
  if (e.calls.running == 0) e.server.endExchange(e);
}

void Exchange::onCallsChanged(CallGroup& g) noexcept {
  auto& e = *static_cast<Exchange*>(g.owner);
  e.server.reclassify(e.session);
  if (g.running == 0 && !e.handling && e.kind == StreamKind::Answer) e.server.endExchange(e);
}

void HttpServer::release(Exchange& e) noexcept {
  HttpConnection& c = *e.connection;
  e.connection = nullptr;
  --e.session.attached;
  // release decides: a stream that cannot end closes its connection.
  try {
    connections_.endStream(c);
  } catch (const std::bad_alloc&) {
    connections_.drop(c, true);
  }
}

// No connection carries `e` any more. A call's answer goes on, kept for resuming; the older
// transport's session ends with its stream.
void HttpServer::detach(Exchange& e) noexcept {
  if (!e.connection) return;
  e.connection = nullptr;
  --e.session.attached;
  if (e.kind == StreamKind::Older) return endSession(e.session);
  reclassify(e.session);
}

void HttpServer::attach(Exchange& e, HttpConnection& c) noexcept {
  if (e.connection) return;
  e.connection = &c;
  ++e.session.attached;
  reclassify(e.session);
}

// The last call of a stream has ended, or its session: the stream ends, and its connection takes
// the next request.
void HttpServer::endExchange(Exchange& e) noexcept {
  HttpSession& s = e.session;
  if (e.connection) release(e);
  if (s.standing == &e) s.standing = nullptr;
  if (s.ending) return;
  s.streams.erase(e.stream);  // `e` is gone
  reclassify(s);
}

// Into the ring its state puts it in, at the end: it has just been used, or has just changed.
void HttpServer::reclassify(HttpSession& s) noexcept {
  if (s.ending) return;
  s.last_active = loop_.now();
  if (s.older || s.attached > 0) return s.unlink();
  s.moveBefore(s.session.calls.next == &s.session.calls ? idle_ : detached_);
}

void HttpServer::used(HttpSession& s) noexcept { reclassify(s); }

void HttpServer::endSession(HttpSession& s) noexcept {
  auto it = sessions_.find(s.id);
  if (it != sessions_.end()) sessions_.erase(it);  // its calls are abandoned, and their streams end
}

// Ends the idle session unused the longest, or else the one whose calls no connection carries.
bool HttpServer::endLeastUsed() noexcept {
  for (UseRing* ring : {&idle_, &detached_}) {
    if (!ring->linked()) continue;
    endSession(static_cast<HttpSession&>(*ring->next));
    return true;
  }
  return false;
}

HttpSession* HttpServer::newSession(HttpConnection& c, const HttpRequest& r, bool older) {
  if (sessions_.size() >= session_limits_.max_sessions && !endLeastUsed()) {
    refuse(c, r, 503, -32000, "Service Unavailable: too many sessions are busy");
    return nullptr;
  }
  std::string id = newSessionId();
  if (id.empty()) {
    refuse(c, r, 500, -32603, "Internal error: no secure random source");
    return nullptr;
  }
  auto fresh = std::make_unique<HttpSession>(gpa_, held_, id, log_, older);
  HttpSession* s = fresh.get();
  sessions_.emplace(std::move(id), std::move(fresh));
  return s;
}

// A new event id, and the event kept under it, unless it is larger than all a session keeps.
std::uint64_t HttpServer::keep(HttpSession& s, std::uint64_t stream, std::string_view data) {
  if (data.size() > session_limits_.max_kept_bytes) return keepNone(s, stream);
  const std::uint64_t id = ++s.last_event;
  const std::uint64_t of = stream == 0 ? id : stream;
  s.kept.push_back({id, of, std::pmr::string(data, &held_)});
  s.kept_bytes += data.size();
  while (s.kept.size() > session_limits_.max_kept_events || s.kept_bytes > session_limits_.max_kept_bytes) {
    s.kept_bytes -= s.kept.front().data.size();
    s.kept.pop_front();
  }
  if (held_.held() > connections_.limits().max_held) forgetKept();
  return id;
}

// A new event id for an event larger than all a session keeps: not kept, and neither what its
// stream kept before it. A client resuming from there would miss it, so it is told that those
// events are no longer kept instead.
std::uint64_t HttpServer::keepNone(HttpSession& s, std::uint64_t stream) {
  const std::uint64_t id = ++s.last_event;
  const std::uint64_t of = stream == 0 ? id : stream;
  for (auto k = s.kept.begin(); k != s.kept.end();) {
    if (k->stream != of) {
      ++k;
      continue;
    }
    s.kept_bytes -= k->data.size();
    k = s.kept.erase(k);
  }
  return id;
}

// Over the budget: the kept events of the sessions unused the longest, that no connection carries,
// are given up first.
void HttpServer::forgetKept() noexcept {
  for (UseRing* ring : {&idle_, &detached_}) {
    for (RingLink* r = ring->next; r != ring && held_.held() > connections_.limits().max_held; r = r->next) {
      auto& s = static_cast<HttpSession&>(*r);
      s.kept.clear();
      s.kept.shrink_to_fit();
      s.kept_bytes = 0;
    }
  }
}

// One event of `e`'s stream, to its connection if one carries it.
void HttpServer::sendEvent(Exchange& e, std::uint64_t id, std::string_view event, std::string_view data) {
  if (!e.connection) return;
  json::Text text(&held_);
  text.reserve(data.size() + 48);
  if (id != 0) {
    char digits[24];
    http::appendEvent(text, std::string_view(digits, std::to_chars(digits, digits + sizeof digits, id).ptr), event, data);
  } else {
    http::appendEvent(text, {}, event, data);
  }
  connections_.sendOnStream(*e.connection, text);
}

void HttpServer::sendEvent(Exchange& e, std::uint64_t id, std::string_view event, PiecedBytes data) {
  if (!e.connection) return;
  json::Text before(&held_);
  if (id != 0) {
    char digits[24];
    http::appendEvent(before, std::string_view(digits, std::to_chars(digits, digits + sizeof digits, id).ptr), event,
                      {});
  } else {
    http::appendEvent(before, {}, event, {});
  }
  before.resize(before.size() - 2);  // the event's end goes after its data
  connections_.sendOnStream(*e.connection, before, std::move(data), "\n\n");
}

// A line given in pieces that is no longer than an event a session keeps is joined into `joined`,
// and goes as any other line (kept for resuming, too).
std::optional<std::string_view> HttpServer::joinedIfShort(std::span<const std::string_view> pieces,
                                                          std::pmr::string& joined) const {
  std::size_t size = 0;
  for (std::string_view p : pieces) size += p.size();
  if (size > session_limits_.max_kept_bytes) return std::nullopt;
  joined.reserve(size);
  for (std::string_view p : pieces) joined += p;
  return joined;
}

// A long line of `e`'s stream: an event that is not kept, as none that long is.
void HttpServer::sendLong(Exchange& e, PiecedBytes line) {
  if (e.kind == StreamKind::Older) return sendEvent(e, 0, "message", std::move(line));
  sendEvent(e, keepNone(e.session, e.stream), {}, std::move(line));
}

void HttpServer::exchangeWritePieces(void* ctx, std::span<const std::string_view> pieces) {
  auto& e = *static_cast<Exchange*>(ctx);
  HttpServer& h = e.server;
  // exchangeWritePieces decides, as exchangeWrite does.
  try {
    std::pmr::string joined(&h.held_);
    if (std::optional<std::string_view> line = h.joinedIfShort(pieces, joined)) return exchangeWrite(ctx, *line);
    PiecedBytes line(h.held_, pieces);
    if (!e.streaming) {
      e.lines.push_back({std::pmr::string(&h.held_), std::move(line)});
    } else {
      h.sendLong(e, std::move(line));
    }
  } catch (const std::bad_alloc&) {
    if (e.connection) h.connections_.drop(*e.connection, false);
  }
}

void HttpServer::exchangeWrite(void* ctx, std::string_view line) {
  auto& e = *static_cast<Exchange*>(ctx);
  HttpServer& h = e.server;
  // exchangeWrite decides for a line it cannot keep: dropped, and its connection, now missing a
  // line of its stream, is closed.
  try {
    if (!e.streaming) {
      e.lines.push_back({std::pmr::string(line, &h.held_), std::nullopt});
    } else if (e.kind == StreamKind::Older) {
      h.sendEvent(e, 0, "message", line);
    } else {
      h.sendEvent(e, h.keep(e.session, e.stream, line), {}, line);
    }
  } catch (const std::bad_alloc&) {
    if (e.connection) h.connections_.drop(*e.connection, false);
  }
}

void HttpServer::onRequest(void* self, HttpConnection& c, const HttpRequest& r) {
  static_cast<HttpServer*>(self)->answer(c, r);
}

void HttpServer::answer(HttpConnection& c, const HttpRequest& r) {
  const http::RequestHead& head = r.head;
  // A browser's preflight carries no credentials: its token is checked on the request that follows.
  const bool preflight = head.method == "OPTIONS";
  const AccessRules& rules = preflight ? AccessRules{rules_.port, rules_.extra_hosts, rules_.extra_origins, {}} : rules_;
  switch (checkAccess(rules, head)) {
    case Access::Allowed: break;
    case Access::BadHost: return refuse(c, {head, r.path, r.body, {}, r.head_only}, 403, -32000, "Forbidden: the Host header does not name this server");
    case Access::BadOrigin: return refuse(c, {head, r.path, r.body, {}, r.head_only}, 403, -32000, "Forbidden: requests from this origin are not allowed");
    case Access::Unauthorized: return refuse(c, {head, r.path, r.body, {}, r.head_only}, 401, -32000, "Unauthorized: a bearer token is required");
  }
  if (r.path != mcp_path && r.path != sse_path && r.path != message_path) {
    return refuse(c, r, 404, -32000, "Not Found: MCP is served at /mcp (and at /sse for the older transport)");
  }
  if (preflight) {
    return connections_.respond(c, {.status = 204, .allowed_origin = r.origin, .preflight = true}, {});
  }
  if (r.path == sse_path) {
    if (head.method == "GET") return openOlderStream(c, r);
    return respond(c, r, 405, "", {}, "GET, OPTIONS");
  }
  if (r.path == message_path) {
    if (head.method == "POST") return postOlder(c, r);
    return respond(c, r, 405, "", {}, "POST, OPTIONS");
  }
  if (head.method == "POST") return post(c, r);
  std::optional<std::string_view> id = head.mcp_session_id;
  if (head.method == "DELETE") {
    if (!id) return refuse(c, r, 400, -32000, "Bad Request: no Mcp-Session-Id header");
    auto it = sessions_.find(*id);
    if (it == sessions_.end() || it->second->older) return refuse(c, r, 404, -32001, "Session not found");
    sessions_.erase(it);  // its calls are abandoned, and their streams end
    return respond(c, r, 200, "");
  }
  if (head.method == "GET") return getStream(c, r);
  respond(c, r, 405, "", {}, http::mcp_methods);
}

// The one line an answer came to, as its JSON body.
void HttpServer::respondWith(HttpConnection& c, const HttpRequest& r, GatheredLine& line,
                             std::string_view session_id) {
  if (!line.pieces) return respond(c, r, 200, line.text, session_id);
  connections_.respond(
      c, {.status = 200, .content_type = "application/json", .session_id = session_id, .allowed_origin = r.origin},
      std::move(*line.pieces));
}

// cppcheck-suppress constParameter ; the answer is queued on `c`
void HttpServer::respond(HttpConnection& c, const HttpRequest& r, int status, std::string_view body,
                         std::string_view session_id, std::string_view allow) {
  connections_.respond(c,
                       {.status = status,
                        .content_type = body.empty() ? std::string_view() : "application/json",
                        .content_length = body.size(),
                        .session_id = session_id,
                        .allow = allow,
                        .allowed_origin = r.origin,
                        .ask_for_token = status == 401},
                       body);
}

void HttpServer::refuse(HttpConnection& c, const HttpRequest& r, int status, std::int64_t code,
                        std::string_view message) {
  json::Text body(&held_);
  http::appendErrorBody(body, code, message);
  respond(c, r, status, body);
}

// The body of a POST as both transports take it: JSON, parsed into `arena`, and an object; else
// refused as standard input's rules say (-32700; -32600 for an array or any other value).
std::optional<json::Value> HttpServer::takeMessage(HttpConnection& c, const HttpRequest& r,
                                                   std::pmr::memory_resource& arena) {
  std::string_view type = r.head.content_type.value_or("");
  if (!containsWithoutCase(type.substr(0, type.find(';')), "application/json")) {
    refuse(c, r, 415, -32000, "Unsupported Media Type: Content-Type must be application/json");
    return std::nullopt;
  }
  std::optional<json::Value> message = json::parse(arena, r.body);
  if (!message) {
    refuse(c, r, 400, -32700, "Parse error: invalid JSON");
  } else if (!message->isObject()) {
    refuse(c, r, 400, -32600, "Invalid Request: expected an object");
    message.reset();
  }
  return message;
}

void HttpServer::post(HttpConnection& c, const HttpRequest& r) {
  const http::RequestHead& head = r.head;
  std::string_view accept = head.accept.value_or("");
  if (!containsWithoutCase(accept, "application/json") || !containsWithoutCase(accept, "text/event-stream")) {
    return refuse(c, r, 406, -32000, "Not Acceptable: Accept must list application/json and text/event-stream");
  }
  std::pmr::monotonic_buffer_resource arena(&gpa_);
  std::optional<json::Value> message = takeMessage(c, r, arena);
  if (!message) return;
  std::optional<std::string_view> method = json::stringField(*message, "method");
  const json::Value* request_id = json::member(*message, "id");
  const bool request = method && request_id && request_id->kind != json::Kind::Null;
  const bool initialize = request && *method == "initialize";
  // The era (2026-07-28, basic/versioning): modern when the body's _meta names a revision; else an
  // `initialize` is legacy, whatever its header says (the body negotiates the revision); else the
  // header decides: a legacy revision, or none, is legacy; 2026-07-28 or one unknown here, modern.
  const json::Value* params = json::member(*message, "params");
  std::optional<std::string_view> header_version = head.mcp_protocol_version;
  if ((params && params->isObject() && namesProtocolVersion(*params)) ||
      (!initialize && header_version && !isLegacyVersion(*header_version))) {
    return postModern(c, r, arena, *message, method, request_id);
  }

  HttpSession* s = nullptr;
  bool created = false;
  if (std::optional<std::string_view> id = head.mcp_session_id) {
    auto it = sessions_.find(*id);
    if (it == sessions_.end() || it->second->older) return refuse(c, r, 404, -32001, "Session not found");
    s = it->second.get();
  } else if (initialize) {
    s = newSession(c, r, false);
    if (!s) return;
    s->version = negotiateLegacy(params ? json::stringField(*params, "protocolVersion").value_or("") : "");
    created = true;
  } else {
    return refuse(c, r, 400, -32000, "Bad Request: no valid Mcp-Session-Id header");
  }
  used(*s);

  if (!request) {  // a notification, or the client's answer to one of our requests
    handler_.handle(handler_.ctx, Answering{s->session, s->session.wire}, arena, *message, r.body);
    return respond(c, r, 202, "");
  }
  auto owned = std::make_unique<Exchange>(*this, *s, StreamKind::Answer, held_);
  Exchange& e = *owned;
  const Sink out{&e, &exchangeWrite, nullptr, &exchangeWritePieces};
  handler_.handle(handler_.ctx, Answering{s->session, Wire{out, log_}, &e.calls}, arena, *message,
                  r.body);
  e.handling = false;
  const std::string_view session_id = created ? std::string_view(s->id) : std::string_view();
  if (!e.calls.joined && e.lines.size() == 1) return respondWith(c, r, e.lines.front(), session_id);  // one JSON body
  if (!e.calls.joined && e.lines.empty()) return refuse(c, r, 500, -32603, "Internal error: the reply could not be built");
  // A call goes on, or more than the reply came: the answer is a stream, which the lines so far open.
  e.stream = ++s->last_event;
  s->streams.emplace(e.stream, std::move(owned));
  openStream(c, r, e, session_id);
  if (e.calls.running == 0) endExchange(e);  // the call has already ended
}

// Opens `e`'s stream on `c`: its head, a priming event (an id and no data: where the client may
// resume from) for the revisions that have them, then the lines gathered while its request was
// handled.
void HttpServer::openStream(HttpConnection& c, const HttpRequest& r, Exchange& e, std::string_view session_id) {
  HttpSession& s = e.session;
  connections_.openStream(
      c, {.status = 200, .content_type = "text/event-stream", .session_id = session_id, .allowed_origin = r.origin}, e);
  attach(e, c);
  e.streaming = true;
  if (versionAtLeast(s.version, priming_since)) sendEvent(e, keep(s, e.stream, ""), {}, "");
  std::pmr::vector<GatheredLine> lines = std::move(e.lines);
  for (GatheredLine& line : lines) {
    if (!line.pieces) {
      exchangeWrite(&e, line.text);
      continue;
    }
    // openStream decides for a long line it cannot send, as exchangeWrite does.
    try {
      sendLong(e, std::move(*line.pieces));
    } catch (const std::bad_alloc&) {
      if (e.connection) connections_.drop(*e.connection, false);
    }
  }
}

// GET: the session's standing stream, for what the server sends outside any request's answer,
// one at a time; it ends with the session. With Last-Event-ID, the stream that event belongs to,
// resumed.
void HttpServer::getStream(HttpConnection& c, const HttpRequest& r) {
  if (!containsWithoutCase(r.head.accept.value_or(""), "text/event-stream")) {
    return refuse(c, r, 406, -32000, "Not Acceptable: Accept must list text/event-stream");
  }
  std::optional<std::string_view> id = r.head.mcp_session_id;
  if (!id) return refuse(c, r, 400, -32000, "Bad Request: no valid Mcp-Session-Id header");
  auto it = sessions_.find(*id);
  if (it == sessions_.end() || it->second->older) return refuse(c, r, 404, -32001, "Session not found");
  HttpSession& s = *it->second;
  used(s);
  if (std::optional<std::string_view> last = r.head.last_event_id) return resume(c, r, s, *last);
  if (s.standing && s.standing->connection) {
    return refuse(c, r, 409, -32000, "Conflict: this session's stream is already open");
  }
  if (!s.standing) {
    auto e = std::make_unique<Exchange>(*this, s, StreamKind::Standing, held_);
    e->handling = false;
    e->stream = ++s.last_event;
    s.standing = e.get();
    s.streams.emplace(e->stream, std::move(e));
  }
  openStream(c, r, *s.standing);
}

// The events of a stream after the one `last_event_id` names, then the rest of the stream as it
// comes, if it has not ended. 204 when it has ended and nothing of it is left to send.
void HttpServer::resume(HttpConnection& c, const HttpRequest& r, HttpSession& s, std::string_view last_event_id) {
  std::uint64_t after = 0;
  const char* end = last_event_id.data() + last_event_id.size();
  auto [stop, error] = std::from_chars(last_event_id.data(), end, after);
  if (error != std::errc() || stop != end || after == 0 || after > s.last_event) {
    return refuse(c, r, 400, -32000, "Bad Request: Last-Event-ID names no event of this session");
  }
  auto from = std::lower_bound(s.kept.begin(), s.kept.end(), after,
                               [](const KeptEvent& k, std::uint64_t id) { return k.id < id; });
  if (from == s.kept.end() || from->id != after) {
    return refuse(c, r, 400, -32000, "Bad Request: the events after this Last-Event-ID are no longer kept");
  }
  const std::uint64_t stream = from->stream;
  auto live = s.streams.find(stream);
  Exchange* e = live == s.streams.end() ? nullptr : live->second.get();
  if (e && e->connection) {  // lost on the client's side, and not yet noticed on this one: the client knows best
    connections_.drop(*e->connection, true);
    detach(*e);
  }
  auto belongs = [&](const KeptEvent& k) { return k.stream == stream && !k.data.empty(); };
  if (!e && std::none_of(std::next(from), s.kept.end(), belongs)) return respond(c, r, 204, "");
  // A stream that has ended is sent to its end here, as a stream of its own that ends at once.
  std::unique_ptr<Exchange> ended;
  if (!e) {
    ended = std::make_unique<Exchange>(*this, s, StreamKind::Answer, held_);
    ended->handling = false;
  }
  Exchange& to = ended ? *ended : *e;
  connections_.openStream(c, {.status = 200, .content_type = "text/event-stream", .allowed_origin = r.origin}, to);
  attach(to, c);
  for (auto k = std::next(from); k != s.kept.end(); ++k) {
    if (belongs(*k)) sendEvent(to, k->id, {}, k->data);
  }
  if (ended) {
    to.connection = nullptr;
    --s.attached;
    connections_.endStream(c);
    reclassify(s);
  }
}

// GET /sse: a session of the older transport. Its one stream carries everything the server sends
// it, as `message` events, after a first `endpoint` event with the address its client POSTs to.
// The session ends with the stream.
void HttpServer::openOlderStream(HttpConnection& c, const HttpRequest& r) {
  HttpSession* s = newSession(c, r, true);
  if (!s) return;
  auto owned = std::make_unique<Exchange>(*this, *s, StreamKind::Older, held_);
  Exchange& e = *owned;
  e.handling = false;
  e.streaming = true;
  e.stream = ++s->last_event;
  s->standing = &e;
  s->streams.emplace(e.stream, std::move(owned));
  s->session.wire.out = Sink{&e, &exchangeWrite, nullptr, &exchangeWritePieces};
  const std::string endpoint = std::string(message_path) + "?sessionId=" + s->id;
  connections_.openStream(c, {.status = 200, .content_type = "text/event-stream", .allowed_origin = r.origin}, e);
  attach(e, c);
  sendEvent(e, 0, "endpoint", endpoint);
}

// POST /message?sessionId=...: a message for a session of the older transport. Accepted at once;
// whatever answers it goes on the session's stream.
void HttpServer::postOlder(HttpConnection& c, const HttpRequest& r) {
  std::optional<std::string_view> id = queryValue(r.head.target, "sessionId");
  if (!id) return refuse(c, r, 400, -32000, "Bad Request: no sessionId in the address");
  auto it = sessions_.find(*id);
  if (it == sessions_.end() || !it->second->older) return refuse(c, r, 404, -32001, "Session not found");
  std::pmr::monotonic_buffer_resource arena(&gpa_);
  std::optional<json::Value> message = takeMessage(c, r, arena);
  if (!message) return;
  HttpSession& s = *it->second;
  used(s);
  respond(c, r, 202, "");
  // The 202 leaves first: the message's answer, on another connection, must not overtake it.
  connections_.sendNow(c);
  Exchange* stream = s.standing;
  handler_.handle(handler_.ctx, Answering{s.session, s.session.wire, stream ? &stream->calls : nullptr}, arena,
                  *message, r.body);
}

namespace {

// An Mcp-Name header as it compares with the body: its =?base64?...?= form decoded (2026-07-28,
// basic/transports/streamable-http, Value Encoding). Empty, and false, when it is no valid form.
bool headerValue(std::string_view value, std::pmr::string& out) {
  constexpr std::string_view open = "=?base64?", close = "?=";
  if (value.size() >= open.size() + close.size() && value.starts_with(open) && value.ends_with(close)) {
    return appendBase64Decoded(out, value.substr(open.size(), value.size() - open.size() - close.size()));
  }
  out.assign(value);
  return true;
}

// The status of a modern request's JSON answer: what its error's code calls for over HTTP.
int statusOf(std::pmr::memory_resource& a, std::string_view line) {
  if (line.find(R"("error":{"code":)") == std::string_view::npos) return 200;
  std::optional<json::Value> reply = json::parse(a, line);
  const json::Value* error = reply ? json::member(*reply, "error") : nullptr;
  const json::Value* code = error ? json::member(*error, "code") : nullptr;
  if (!code || code->kind != json::Kind::Integer) return 200;
  switch (code->integer) {
    case -32601: return 404;  // the method is not served here: its body tells this from a missing endpoint
    case -32700:
    case -32600:
    case -32602:
    case -32020:
    case -32021:
    case -32022: return 400;
    default: return 200;
  }
}

constexpr std::chrono::seconds keep_alive_every{15};

}  // namespace

// A modern request: no session, its headers held to its body, its answer JSON or a stream of
// events without ids (2026-07-28, basic/transports/streamable-http).
void HttpServer::postModern(HttpConnection& c, const HttpRequest& r, std::pmr::memory_resource& arena,
                            const json::Value& message, std::optional<std::string_view> method, const json::Value* id) {
  const http::RequestHead& head = r.head;
  const bool request = method && id && id->kind != json::Kind::Null;
  if (!method) return modernError(c, r, arena, id, 400, -32600, "Invalid Request: a modern POST carries a request");
  // Headers that mirror the body must say what it says; the version first, as clients check it.
  const json::Value* params_member = json::member(message, "params");
  const json::Value& params = params_member && params_member->isObject() ? *params_member : json::empty_object;
  const json::Value* meta = json::member(params, "_meta");
  std::optional<std::string_view> version =
      meta ? json::stringField(*meta, "io.modelcontextprotocol/protocolVersion") : std::nullopt;
  std::optional<std::string_view> header_version = head.mcp_protocol_version;
  if (version && header_version != version) {
    return modernError(c, r, arena, id, 400, -32020,
                       header_version ? "Header mismatch: MCP-Protocol-Version header does not match the body's protocol version"
                                      : "Header mismatch: the MCP-Protocol-Version header is missing");
  }
  // A revision this server does not speak is said so at once, whichever names it.
  if (const std::optional<std::string_view> requested = version ? version : header_version;
      requested && !isModernVersion(*requested)) {
    return modernError(c, r, arena, id, 400, -32022, "Unsupported protocol version",
                       unsupportedVersionData(arena, *requested));
  }
  std::optional<std::string_view> header_method = head.mcp_method;
  if (header_method != method) {
    return modernError(c, r, arena, id, 400, -32020,
                       header_method ? "Header mismatch: Mcp-Method header does not match the body's method"
                                     : "Header mismatch: the Mcp-Method header is missing");
  }
  if (*method == "tools/call" || *method == "resources/read" || *method == "prompts/get") {
    const std::optional<std::string_view> name = json::stringField(params, *method == "resources/read" ? "uri" : "name");
    std::optional<std::string_view> header_name = head.mcp_name;
    std::pmr::string decoded(&arena);
    if (!header_name) return modernError(c, r, arena, id, 400, -32020, "Header mismatch: the Mcp-Name header is missing");
    if (!headerValue(*header_name, decoded) || !name || decoded != *name) {
      return modernError(c, r, arena, id, 400, -32020, "Header mismatch: Mcp-Name header does not match the body");
    }
  }
  if (!request) return respond(c, r, 202, "");  // no notification of this revision asks for anything
  Expected<Era, Reply> era = readModernEra(arena, params);
  if (!era) {
    const Reply& e = era.error();
    return modernError(c, r, arena, id, 400, static_cast<std::int64_t>(*e.error), e.text, e.data);
  }
  auto owned = std::make_unique<ModernRequest>(*this, gpa_, held_, log_);
  ModernRequest& m = *owned;
  m.listen = *method == "subscriptions/listen";
  const Sink out{&m, &modernWrite, nullptr, &modernWritePieces};
  handler_.handle(handler_.ctx, Answering{m.session, Wire{out, log_}, &m.calls, *era}, arena, message,
                  r.body);
  m.handling = false;
  // Answered while it was handled (a call that did not wait, too): one JSON body, whose status its
  // error, if it is one, decides.
  if (!m.listen && m.calls.running == 0 && m.lines.size() == 1) {
    GatheredLine& line = m.lines.front();
    const http::ResponseHead answer{.status = line.pieces ? 200 : statusOf(arena, line.text),  // a long line: a result
                                    .content_type = "application/json",
                                    .allowed_origin = r.origin};
    if (line.pieces) return connections_.respond(c, answer, std::move(*line.pieces));
    return connections_.respond(c, answer, line.text);
  }
  if (!m.listen && !m.calls.joined && m.lines.empty()) {
    return refuse(c, r, 500, -32603, "Internal error: the reply could not be built");
  }
  // A stream: what came so far, then the rest as it comes.
  m.key = ++next_modern_;
  modern_.emplace(m.key, std::move(owned));
  connections_.openStream(
      c, {.status = 200, .content_type = "text/event-stream", .allowed_origin = r.origin, .unbuffered = true}, m);
  m.connection = &c;
  m.streaming = true;
  std::pmr::vector<GatheredLine> lines = std::move(m.lines);
  for (GatheredLine& line : lines) {
    if (!line.pieces) {
      modernWrite(&m, line.text);
      continue;
    }
    // postModern decides for a long line it cannot send, as modernWrite does.
    try {
      connections_.sendOnStream(c, "data: ", std::move(*line.pieces), "\n\n");
    } catch (const std::bad_alloc&) {
      connections_.drop(c, false);
    }
  }
  if (m.listen) {
    if (!keep_alive_.armed()) {
      keep_alive_.deadline = loop_.now() + keep_alive_every;
      loop_.arm(keep_alive_);
    }
  } else if (m.calls.running == 0) {
    endModern(m);  // its calls have already ended
  }
}

// A modern request refused before it is handled: its id whenever it could be read.
void HttpServer::modernError(HttpConnection& c, const HttpRequest& r, std::pmr::memory_resource& arena,
                             const json::Value* id, int status, std::int64_t code, std::string_view message,
                             std::string_view data) {
  // {"jsonrpc":"2.0","id":<id>,"error":{"code":<code>,"message":<message>[,"data":<data>]}}
  json::Text& body = json::newText(arena);
  body += R"({"jsonrpc":"2.0","id":)";
  if (!id || (id->kind != json::Kind::String && id->kind != json::Kind::Integer && id->kind != json::Kind::Float &&
              id->kind != json::Kind::NumberString) ||
      !json::writeValue(body, *id)) {
    body += "null";
  }
  body += R"(,"error":{"code":)";
  json::writeDecimal(body, code);
  body += R"(,"message":)";
  json::writeString(body, message);
  if (!data.empty()) {
    body += R"(,"data":)";
    body += data;
  }
  body += "}}";
  respond(c, r, status, body);
}

void HttpServer::modernWrite(void* ctx, std::string_view line) {
  auto& m = *static_cast<ModernRequest*>(ctx);
  // modernWrite decides for a line it cannot keep: dropped, and its connection, now missing a line
  // of its stream, is closed.
  try {
    if (!m.streaming) {
      m.lines.push_back({std::pmr::string(line, &m.server.held_), std::nullopt});
    } else if (m.connection) {
      json::Text text(&m.server.held_);
      text.reserve(line.size() + 8);
      http::appendEvent(text, {}, {}, line);
      m.server.connections_.sendOnStream(*m.connection, text);
    }
  } catch (const std::bad_alloc&) {
    if (m.connection) m.server.connections_.drop(*m.connection, false);
  }
}

void HttpServer::modernWritePieces(void* ctx, std::span<const std::string_view> pieces) {
  auto& m = *static_cast<ModernRequest*>(ctx);
  HttpServer& h = m.server;
  // modernWritePieces decides, as modernWrite does.
  try {
    std::pmr::string joined(&h.held_);
    if (std::optional<std::string_view> line = h.joinedIfShort(pieces, joined)) return modernWrite(ctx, *line);
    PiecedBytes line(h.held_, pieces);
    if (!m.streaming) {
      m.lines.push_back({std::pmr::string(&h.held_), std::move(line)});
    } else if (m.connection) {
      h.connections_.sendOnStream(*m.connection, "data: ", std::move(line), "\n\n");
    }
  } catch (const std::bad_alloc&) {
    if (m.connection) h.connections_.drop(*m.connection, false);
  }
}

// Its client closed its stream (or went): the request is cancelled, its calls end where they
// stand, and nothing more is written for it.
void ModernRequest::onLost(StreamEnd& self, bool) noexcept {
  auto& m = static_cast<ModernRequest&>(self);
  m.connection = nullptr;
  m.server.endModern(m);
}

void ModernRequest::onCallsChanged(CallGroup& g) noexcept {
  auto& m = *static_cast<ModernRequest*>(g.owner);
  if (g.running == 0 && !m.handling && !m.listen) m.server.endModern(m);
}

// A stream that ends with the server ends on the connection that carries it.
ModernRequest::~ModernRequest() {
  calls.changed = nullptr;  // what is abandoned with it ends no more
  server.endModernStream(*this);
}

void HttpServer::endModernStream(ModernRequest& m) noexcept {
  if (HttpConnection* c = std::exchange(m.connection, nullptr)) {
    // endModernStream decides: a stream that cannot end closes its connection.
    try {
      connections_.endStream(*c);
    } catch (const std::bad_alloc&) {
      connections_.drop(*c, true);
    }
  }
}

void HttpServer::endModern(ModernRequest& m) noexcept {
  endModernStream(m);
  m.calls.changed = nullptr;  // what is abandoned now ends no more
  if (m.key != 0) modern_.erase(m.key);  // `m` is gone
}

// Every 15 s while a listen stream is open, a comment on each, so that nothing between takes it
// for idle (2026-07-28, basic/transports/streamable-http).
void HttpServer::keepListening(void* self) noexcept {
  auto& h = *static_cast<HttpServer*>(self);
  bool any = false;
  for (auto& [key, m] : h.modern_) {
    if (!m->listen || !m->connection) continue;
    any = true;
    // keepListening decides: a comment that cannot be sent closes that stream's connection.
    try {
      h.connections_.sendOnStream(*m->connection, ":\n\n");
    } catch (const std::bad_alloc&) {
      h.connections_.drop(*m->connection, false);
    }
  }
  if (!any) return;
  h.keep_alive_.deadline = h.loop_.now() + keep_alive_every;
  // keepListening decides: without room for the timer, the comments stop.
  try {
    h.loop_.arm(h.keep_alive_);
  } catch (const std::bad_alloc&) {
  }
}

void HttpServer::beforeWait(void* self) noexcept {
  auto& h = *static_cast<HttpServer*>(self);
  // Idle sessions are looked for once a minute, while the server has work: those unused for the
  // limit, oldest first.
  if (const Loop::Time now = h.loop_.now(); now >= h.next_sweep_) {
    h.next_sweep_ = now + std::chrono::minutes(1);
    while (h.idle_.linked()) {
      auto& s = static_cast<HttpSession&>(*h.idle_.next);
      if (now - s.last_active < h.session_limits_.idle_time) break;
      h.endSession(s);
    }
  }
  if (h.shut_down_ && h.connections_.count() == 0) {
    auto done = std::exchange(h.shut_down_, nullptr);
    h.loop_.disarm(h.shutdown_timer_);
    done(h.shut_down_ctx_);
  }
}

// The process ends (a crash, say): what the connections hold is delivered first, as far as their
// clients take it.
void HttpServer::deliverAll(void* self) noexcept { static_cast<HttpServer*>(self)->connections_.deliverAll(); }

void HttpServer::shutDown(void (*done)(void*) noexcept, void* ctx) noexcept {
  if (shut_down_) return;
  shut_down_ = done;
  shut_down_ctx_ = ctx;
  connections_.stopAccepting();
  sessions_.clear();  // every stream ends as a closing server ends it, and every call with it
  // A modern listen gets its completion result first; then every modern stream ends.
  while (!modern_.empty()) {
    ModernRequest& m = *modern_.begin()->second;
    if (m.listen && handler_.end) handler_.end(handler_.ctx, m.session);
    endModern(m);
  }
  shutdown_timer_.deadline = loop_.now() + shutdown_patience;
  // shutDown decides: without room for the timer, the connections are closed now.
  try {
    loop_.arm(shutdown_timer_);
  } catch (const std::bad_alloc&) {
    connections_.closeAll();
  }
}

void HttpServerDeleter::operator()(HttpServer* h) const noexcept { delete h; }

HttpServerPtr startHttp(std::pmr::memory_resource& gpa, Loop& loop, const SessionHandler& handler, const sys::Stream& listener,
                        const Sink& log, const AccessRules& rules, const HttpLimits& limits,
                        const SessionLimits& session_limits) {
  return HttpServerPtr(new HttpServer(gpa, loop, handler, listener, log, rules, limits, session_limits));
}

HttpServerPtr startHttp(std::pmr::memory_resource& gpa, Loop& loop, const SessionHandler& handler, const sys::Stream& listener,
                        const Sink& log, const AccessRules& rules) {
  return startHttp(gpa, loop, handler, listener, log, rules, HttpLimits{}, SessionLimits{});
}

void shutDown(HttpServer& h, void (*done)(void* ctx) noexcept, void* ctx) noexcept { h.shutDown(done, ctx); }

std::size_t heldMemory(const HttpServer& h) noexcept { return h.held(); }

std::size_t connectionCount(const HttpServer& h) noexcept { return h.connections(); }
