#include "transport/http_server.h"

#include <algorithm>
#include <chrono>
#include <list>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "protocol/json.h"
#include "runtime/stdio.h"
#include "tools/tool_call.h"
#include "transport/http_request.h"
#include "transport/http_response.h"

namespace {

constexpr std::string_view mcp_path = "/mcp";
// A client that lets this much of its answers wait unread is disconnected: nobody else waits for it.
constexpr std::size_t max_unread = std::size_t{8} << 20;
// A request begun must be whole within this long (a client that sends a byte at a time gets 408).
constexpr std::chrono::seconds request_time_limit{5};
constexpr std::string_view protocol_versions[] = {"2025-06-18", "2025-03-26", "2024-11-05"};

struct Connection;
struct HttpSession;

// One request's answer while its lines come: gathered while the line is handled, then sent as one
// JSON body; or, when the line started a call of a tool that may wait (even one that did not, or
// refused its arguments), sent as events of a stream that ends once the last such call has ended:
// clients meet both kinds of answer, and a call's notifications always have a stream.
struct Exchange {
  HttpSession* standing_for = nullptr;  // the session whose standing stream this is: no call ends it
  Connection* connection = nullptr;  // null once the connection is gone: lines are dropped
  std::vector<std::string> lines;    // gathered while handling
  int users = 0;                     // calls that may still write
  bool started = false;              // a call of a tool that may wait has started
  bool streaming = false;
  bool handling = true;
};

// A session that has had no request for this long, and has no call running, ends: clients often
// go without saying so (the SDK sends DELETE only when asked to).
constexpr std::chrono::minutes session_idle_limit{30};

void endExchange(Exchange& e) noexcept;

struct HttpSession {
  HttpSession(std::pmr::memory_resource& gpa, std::string id, const Sink& log) : id(std::move(id)), session(gpa, Wire{{}, log}) {}
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;
  ~HttpSession() {
    if (standing) endExchange(*standing);  // the session's end ends its standing stream
  }
  std::string id;
  Session session;
  Loop::Time last_request{};
  Exchange* standing = nullptr;  // the stream opened by GET, while it is open
};

struct Connection {
  Connection(HttpServer& server, const sys::Stream& stream, std::pmr::memory_resource& gpa)
      : server(server), out(stream, gpa), input(&gpa) {}
  HttpServer& server;
  OutputQueue out;
  Watch watch;
  std::pmr::string input;
  Exchange* stream = nullptr;  // a response stream in progress: the next request waits for its end
  std::string_view origin;     // while a request is answered: the browser origin allowed to read it
  Loop::Time begun{};          // when the request now in `input` began to arrive
  bool closing = false;        // no more requests: closed once what is queued has left
  bool gone = false;           // the peer has gone or failed: closed at the next turn
};

}  // namespace

class HttpServer {
 public:
  HttpServer(std::pmr::memory_resource& gpa, Loop& loop, SessionHandler handler, const sys::Stream& listener,
             const Sink& log, const AccessRules& rules)
      : gpa_(gpa), loop_(loop), handler_(handler), listener_(listener), log_(log), rules_(rules) {
    accepting_ = Watch{&listener_, &onAccept, this};
    hook_ = TurnHook{&beforeWait, this};
    slow_requests_.fired = &onSlowRequests;
    slow_requests_.owner = this;
    loop_.addHook(hook_);
  }
  ~HttpServer();

 private:
  static void onAccept(void* self, bool, bool) noexcept;
  static void onConnection(void* c, bool readable, bool writable) noexcept;
  static void beforeWait(void* self) noexcept;
  void turn() noexcept;
  void read(Connection& c) noexcept;
  void serveRequests(Connection& c);
  void answer(Connection& c, const http::RequestHead& head, std::string_view body);
  void post(Connection& c, const http::RequestHead& head, std::string_view body);
  void standingStream(Connection& c, const http::RequestHead& head);
  void respond(Connection& c, int status, std::string_view body, std::string_view session_id = {},
               std::string_view allow = {});
  void refuse(Connection& c, int status, std::int64_t code, std::string_view message);
  void close(std::list<Connection>::iterator it) noexcept;

  std::pmr::memory_resource& gpa_;
  Loop& loop_;
  SessionHandler handler_;
  sys::Stream listener_;
  Sink log_;
  const AccessRules& rules_;
  Watch accepting_;
  TurnHook hook_;
  std::list<Connection> connections_;
  std::map<std::string, std::unique_ptr<HttpSession>, std::less<>> sessions_;
  Loop::Time next_sweep_{};
  bool accept_paused_ = false;  // out of descriptors: no more connections until one closes
  Timer slow_requests_;         // armed while a request is incomplete: ends those that take too long
  static void onSlowRequests(void* self) noexcept;
};

namespace {

// The sink of an exchange: lines gathered, or sent as events once the answer is a stream.
void exchangeWrite(void* ctx, std::string_view line);
void exchangeUsers(void* ctx, int change) noexcept;
void dropLine(void* ctx, std::string_view line);

std::string_view pathOf(std::string_view target) {
  if (target.starts_with("http://") || target.starts_with("https://")) {
    target.remove_prefix(target.find("//") + 2);
    std::size_t slash = target.find('/');
    target = slash == std::string_view::npos ? "/" : target.substr(slash);
  }
  return target.substr(0, target.find('?'));
}

bool containsWithoutCase(std::string_view text, std::string_view word) {
  return std::search(text.begin(), text.end(), word.begin(), word.end(),
                     [](char a, char b) { return http::lowerAscii(a) == http::lowerAscii(b); }) != text.end();
}

}  // namespace


HttpServer::~HttpServer() {
  sessions_.clear();  // their calls end, and with them their streams
  while (!connections_.empty()) close(connections_.begin());
  loop_.forget(accepting_);
  loop_.removeHook(hook_);
  loop_.disarm(slow_requests_);
  sys::closeStream(listener_);
}

void HttpServer::onAccept(void* self, bool, bool) noexcept {
  auto& h = *static_cast<HttpServer*>(self);
  for (int taken = 0; taken < 64; ++taken) {  // a few per turn, so that a flood cannot starve the rest
    sys::Stream s;
    sys::Transfer t = sys::acceptOne(h.listener_, s);
    if (t.status == sys::Io::NotNow) return;
    if (t.status != sys::Io::Done) {
      // Out of descriptors, say: the connection waits in the system's queue, which would wake the
      // loop at once again; the listener rests until a connection closes.
      h.accept_paused_ = true;
      return;
    }
    try {
      Connection& c = h.connections_.emplace_back(h, s, h.gpa_);
      c.watch = Watch{&c.out.stream, &onConnection, &c};
    } catch (const std::bad_alloc&) {  // onAccept decides: a connection without memory is closed at once
      sys::closeStream(s);
      return;
    }
  }
}

void HttpServer::onConnection(void* connection, bool readable, bool writable) noexcept {
  auto& c = *static_cast<Connection*>(connection);
  if (writable) writeWhatFits(c.out, true);
  if (readable) c.server.read(c);
}

void HttpServer::read(Connection& c) noexcept {
  char buffer[16384];
  sys::Transfer got = sys::readSome(c.out.stream, buffer, sizeof buffer);
  if (got.status == sys::Io::NotNow) return;
  if (got.status != sys::Io::Done) {
    c.gone = true;
    return;
  }
  // read decides for the connection: without memory for its requests, it is closed.
  try {
    if (c.input.empty()) c.begun = loop_.now();
    c.input.append(buffer, got.count);
    serveRequests(c);
  } catch (const std::bad_alloc&) {
    c.gone = true;
  }
}

// Answers every whole request in the input, in order, until one starts a stream.
void HttpServer::serveRequests(Connection& c) {
  while (!c.stream && !c.closing && !c.gone) {
    http::RequestHead head;
    http::HeadResult h = http::parseRequestHead(c.input, head);
    if (h.progress == http::Progress::NeedMore) return;
    if (h.progress == http::Progress::Refused) {
      c.closing = true;
      return refuse(c, h.refusal.status, -32600, h.refusal.reason);
    }
    std::string body;
    std::size_t used = h.size;
    if (head.framing == http::Framing::Length) {
      if (c.input.size() - h.size < head.content_length) return;
      body.assign(c.input, h.size, head.content_length);
      used += head.content_length;
    } else if (head.framing == http::Framing::Chunked) {
      body.assign(c.input, h.size);  // decoded in place, so on a copy until the whole body is here
      http::ChunkedDecoder decoder;
      http::BodyResult b = decoder.decode(std::span(body.data(), body.size()));
      if (b.progress == http::Progress::NeedMore) return;
      if (b.progress == http::Progress::Refused) {
        c.closing = true;
        return refuse(c, b.refusal.status, -32600, b.refusal.reason);
      }
      body.resize(b.payload);
      used += b.used;
    }
    if (!head.keep_alive) c.closing = true;
    answer(c, head, body);
    c.input.erase(0, used);
    c.begun = loop_.now();  // what follows is the next request
  }
}

void HttpServer::answer(Connection& c, const http::RequestHead& head, std::string_view body) {
  c.origin = {};
  // A browser's preflight carries no credentials: its token is checked on the request that follows.
  const bool preflight = head.method == "OPTIONS";
  const AccessRules& rules = preflight ? AccessRules{rules_.port, rules_.extra_hosts, rules_.extra_origins, {}} : rules_;
  switch (checkAccess(rules, head.header("host").value_or(""), head.header("origin"), head.header("authorization"))) {
    case Access::Allowed: break;
    case Access::BadHost: return refuse(c, 403, -32000, "Forbidden: the Host header does not name this server");
    case Access::BadOrigin: return refuse(c, 403, -32000, "Forbidden: requests from this origin are not allowed");
    case Access::Unauthorized: return refuse(c, 401, -32000, "Unauthorized: a bearer token is required");
  }
  c.origin = head.header("origin").value_or("");
  if (pathOf(head.target) != mcp_path) return refuse(c, 404, -32000, "Not Found: MCP is served at /mcp");
  if (preflight) {
    json::Text text(&gpa_);
    http::appendHead(text, {.status = 204, .content_length = 0, .allowed_origin = c.origin, .preflight = true,
                            .close = c.closing});
    return appendBytes(c.out, text);
  }
  if (head.method == "POST") return post(c, head, body);
  std::optional<std::string_view> id = head.header("mcp-session-id");
  if (head.method == "DELETE") {
    if (!id) return refuse(c, 400, -32000, "Bad Request: no Mcp-Session-Id header");
    auto it = sessions_.find(*id);
    if (it == sessions_.end()) return refuse(c, 404, -32001, "Session not found");
    sessions_.erase(it);  // its calls are abandoned, and their streams end
    return respond(c, 200, "");
  }
  if (head.method == "GET") return standingStream(c, head);
  respond(c, 405, "", {}, "GET, POST, DELETE, OPTIONS");
}

void HttpServer::post(Connection& c, const http::RequestHead& head, std::string_view body) {
  std::string_view accept = head.header("accept").value_or("");
  if (!containsWithoutCase(accept, "application/json") || !containsWithoutCase(accept, "text/event-stream")) {
    return refuse(c, 406, -32000, "Not Acceptable: Accept must list application/json and text/event-stream");
  }
  std::string_view type = head.header("content-type").value_or("");
  if (!containsWithoutCase(type.substr(0, type.find(';')), "application/json")) {
    return refuse(c, 415, -32000, "Unsupported Media Type: Content-Type must be application/json");
  }
  if (std::optional<std::string_view> v = head.header("mcp-protocol-version");
      v && std::find(std::begin(protocol_versions), std::end(protocol_versions), *v) == std::end(protocol_versions)) {
    return refuse(c, 400, -32000, "Bad Request: unsupported MCP-Protocol-Version");
  }
  std::pmr::monotonic_buffer_resource arena(&gpa_);
  std::optional<json::Value> message = json::parse(arena, body);
  if (!message) return refuse(c, 400, -32700, "Parse error: invalid JSON");
  if (!message->isObject()) return refuse(c, 400, -32600, "Invalid Request: expected an object");
  std::optional<std::string_view> method = json::stringField(*message, "method");
  const json::Value* request_id = json::member(*message, "id");
  const bool request = method && request_id && request_id->kind != json::Kind::Null;

  HttpSession* s = nullptr;
  bool created = false;
  if (std::optional<std::string_view> id = head.header("mcp-session-id")) {
    auto it = sessions_.find(*id);
    if (it == sessions_.end()) return refuse(c, 404, -32001, "Session not found");
    s = it->second.get();
    s->last_request = loop_.now();
  } else if (request && *method == "initialize") {
    std::string id = newSessionId();
    if (id.empty()) return refuse(c, 500, -32603, "Internal error: no secure random source");
    auto fresh = std::make_unique<HttpSession>(gpa_, id, log_);
    s = fresh.get();
    sessions_.emplace(std::move(id), std::move(fresh));
    s->last_request = loop_.now();
    created = true;
  } else {
    return refuse(c, 400, -32000, "Bad Request: no valid Mcp-Session-Id header");
  }

  if (!request) {  // a notification, or the client's answer to one of our requests
    s->session.wire.out = Sink{nullptr, &dropLine};
    handler_.handle(handler_.ctx, s->session, body);
    return respond(c, 202, "");
  }
  auto* e = new Exchange;
  e->connection = &c;
  s->session.wire.out = Sink{e, &exchangeWrite, nullptr, &exchangeUsers};
  handler_.handle(handler_.ctx, s->session, body);
  s->session.wire.out = Sink{nullptr, &dropLine};
  e->handling = false;
  const std::string_view session_id = created ? std::string_view(s->id) : std::string_view();
  if (!e->started) {  // answered at once: one JSON body
    std::string reply = e->lines.empty() ? std::string() : e->lines.back();
    delete e;
    if (reply.empty()) return refuse(c, 500, -32603, "Internal error: the reply could not be built");
    return respond(c, 200, reply, session_id);
  }
  // A call goes on: its answer is a stream, which the lines so far open.
  json::Text head_text(&gpa_);
  http::appendHead(head_text,
                   {.status = 200, .content_type = "text/event-stream", .session_id = session_id, .allowed_origin = c.origin});
  appendBytes(c.out, head_text);
  c.stream = e;
  e->streaming = true;
  std::vector<std::string> lines = std::move(e->lines);
  for (const std::string& line : lines) exchangeWrite(e, line);
  if (e->users == 0) endExchange(*e);  // the call has already ended
}

// GET: the session's standing stream, for what the server sends outside any request's answer. One
// per session; it ends with the session, or when its client goes.
void HttpServer::standingStream(Connection& c, const http::RequestHead& head) {
  if (!containsWithoutCase(head.header("accept").value_or(""), "text/event-stream")) {
    return refuse(c, 406, -32000, "Not Acceptable: Accept must list text/event-stream");
  }
  std::optional<std::string_view> id = head.header("mcp-session-id");
  if (!id) return refuse(c, 400, -32000, "Bad Request: no valid Mcp-Session-Id header");
  auto it = sessions_.find(*id);
  if (it == sessions_.end()) return refuse(c, 404, -32001, "Session not found");
  HttpSession& s = *it->second;
  if (s.standing) return refuse(c, 409, -32000, "Conflict: this session's stream is already open");
  s.last_request = loop_.now();
  json::Text text(&gpa_);
  http::appendHead(text, {.status = 200, .content_type = "text/event-stream", .allowed_origin = c.origin});
  appendBytes(c.out, text);
  auto* e = new Exchange;
  e->connection = &c;
  e->standing_for = &s;
  e->started = e->streaming = true;
  e->handling = false;
  s.standing = e;
  c.stream = e;
}

void HttpServer::respond(Connection& c, int status, std::string_view body, std::string_view session_id,
                         std::string_view allow) {
  json::Text text(&gpa_);
  http::appendHead(text, {.status = status,
                          .content_type = body.empty() ? std::string_view() : "application/json",
                          .content_length = body.size(),
                          .session_id = session_id,
                          .allow = allow,
                          .allowed_origin = c.origin,
                          .ask_for_token = status == 401,
                          .close = c.closing});
  text += body;
  appendBytes(c.out, text);
}

void HttpServer::refuse(Connection& c, int status, std::int64_t code, std::string_view message) {
  json::Text body(&gpa_);
  http::appendErrorBody(body, code, message);
  respond(c, status, body);
}

void HttpServer::beforeWait(void* self) noexcept { static_cast<HttpServer*>(self)->turn(); }

void HttpServer::turn() noexcept {
  // Idle sessions are looked for once a minute, while the server has work.
  if (const Loop::Time now = loop_.now(); now >= next_sweep_) {
    next_sweep_ = now + std::chrono::minutes(1);
    std::erase_if(sessions_, [&](const auto& entry) {
      const Session& s = entry.second->session;
      return s.calls.next == &s.calls && now - entry.second->last_request >= session_idle_limit;
    });
  }
  for (auto it = connections_.begin(); it != connections_.end();) {
    Connection& c = *it;
    writeWhatFits(c.out, false);
    if (backlog(c.out) > max_unread) c.gone = true;
    const bool done = c.gone || (c.closing && !c.stream && backlog(c.out) == 0);
    if (done) {
      close(it++);
      continue;
    }
    // serveRequests decides: a request that cannot be answered for lack of memory closes the connection.
    if (!c.stream && !c.closing && !c.input.empty()) {
      try {
        serveRequests(c);
      } catch (const std::bad_alloc&) {
        c.gone = true;
      }
    }
    const std::uint8_t want = (c.stream || c.closing ? sys::WantNothing : sys::WantRead) |
                              (backlog(c.out) > 0 ? sys::WantWrite : sys::WantNothing);
    if (loop_.watch(c.watch, want) != 0) c.gone = true;
    ++it;
  }
  // Last: a connection closed above frees a descriptor for the next.
  loop_.watch(accepting_, accept_paused_ ? sys::WantNothing : sys::WantRead);
  // A request that has begun to arrive is given its time, however quiet its client then goes.
  if (!slow_requests_.armed()) {
    std::optional<Loop::Time> first;
    for (const Connection& c : connections_) {
      if (!c.input.empty() && !c.stream && !c.closing) first = std::min(first.value_or(c.begun), c.begun);
    }
    if (first) {
      slow_requests_.deadline = *first + request_time_limit;
      // turn decides: without room for the timer, the next turn tries again.
      try {
        loop_.arm(slow_requests_);
      } catch (const std::bad_alloc&) {
      }
    }
  }
}

void HttpServer::onSlowRequests(void* self) noexcept {
  auto& h = *static_cast<HttpServer*>(self);
  const Loop::Time now = h.loop_.now();
  for (Connection& c : h.connections_) {
    if (c.input.empty() || c.stream || c.closing || now - c.begun < request_time_limit) continue;
    c.closing = true;
    // onSlowRequests decides: without memory for the answer, the connection just closes.
    try {
      h.refuse(c, 408, -32000, "Request Timeout: the request did not arrive whole in time");
    } catch (const std::bad_alloc&) {
      c.gone = true;
    }
  }
}

void HttpServer::close(std::list<Connection>::iterator it) noexcept {
  if (Exchange* e = it->stream) {
    e->connection = nullptr;
    if (HttpSession* s = e->standing_for) {  // a standing stream ends with its connection
      s->standing = nullptr;
      delete e;
    }
  }
  loop_.forget(it->watch);
  connections_.erase(it);  // the queue closes its stream
  accept_paused_ = false;  // a descriptor is free again
}

namespace {

void exchangeWrite(void* ctx, std::string_view line) {
  auto& e = *static_cast<Exchange*>(ctx);
  // exchangeWrite decides for a line it cannot keep: dropped, and its connection, now missing a
  // line of its stream, is closed.
  try {
    if (!e.streaming) {
      e.lines.emplace_back(line);
      return;
    }
    if (!e.connection) return;
    // No event ids until a stream can be resumed from one: clients try to resume once they have
    // seen an id, and would wait in vain for the rest of the call.
    std::pmr::monotonic_buffer_resource arena;
    json::Text event(&arena);
    http::appendEvent(event, "", "", line);
    json::Text chunk(&arena);
    http::appendChunk(chunk, event);
    appendBytes(e.connection->out, chunk);
  } catch (const std::bad_alloc&) {
    if (e.connection) e.connection->gone = true;
  }
}

void dropLine(void*, std::string_view) {}

void exchangeUsers(void* ctx, int change) noexcept {
  auto& e = *static_cast<Exchange*>(ctx);
  e.users += change;
  if (change > 0) e.started = true;
  if (e.users == 0 && !e.handling) endExchange(e);
}

// The last call of a stream has ended, or its session: the stream ends, and its connection takes
// the next request.
void endExchange(Exchange& e) noexcept {
  if (e.standing_for) e.standing_for->standing = nullptr;
  if (Connection* c = e.connection) {
    c->stream = nullptr;
    try {
      json::Text end(&c->out.memory);
      http::appendLastChunk(end);
      appendBytes(c->out, end);
    } catch (const std::bad_alloc&) {  // endExchange decides: a stream that cannot end closes its connection
      c->gone = true;
    }
  }
  delete &e;
}

}  // namespace

void HttpServerDeleter::operator()(HttpServer* h) const noexcept { delete h; }

HttpServerPtr startHttp(std::pmr::memory_resource& gpa, Loop& loop, SessionHandler handler, const sys::Stream& listener,
                        const Sink& log, const AccessRules& rules) {
  return HttpServerPtr(new HttpServer(gpa, loop, handler, listener, log, rules));
}
