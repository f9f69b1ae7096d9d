#include "transport/http_server.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <deque>
#include <list>
#include <map>
#include <new>
#include <optional>
#include <string>
#include <vector>

#include "protocol/json.h"
#include "protocol/versions.h"
#include "runtime/output_queue.h"
#include "tools/tool_call.h"
#include "transport/http_request.h"
#include "transport/http_response.h"

namespace {

constexpr std::string_view mcp_path = "/mcp";
// The older transport: a stream opened by GET, and the address its client POSTs to.
constexpr std::string_view sse_path = "/sse";
constexpr std::string_view message_path = "/message";
// A client that lets this much of its answers wait unread is disconnected, and the calls whose
// stream it was are abandoned: nobody else waits for it.
constexpr std::size_t max_unread = std::size_t{8} << 20;
// What is read of the requests that follow while a stream is sent on their connection.
constexpr std::size_t read_ahead = std::size_t{64} << 10;
// A request begun must be whole within this long (a client that sends a byte at a time gets 408).
constexpr std::chrono::seconds request_time_limit{5};
// A connection with neither a request arriving nor a stream to send is closed after this long: one
// that never sends a byte holds a descriptor only so long. When descriptors run out, the one quiet
// the longest is closed at once to make room.
constexpr std::chrono::seconds quiet_limit{30};
// A connection done with is closed once its client has closed its end too, or after this long: what
// it still sends meanwhile is read and dropped, so that closing does not reset the connection under
// the last answer before the client has read it.
constexpr std::chrono::seconds linger_limit{2};
// The requests that are arriving or wait to be answered, over all connections, hold at most this
// much: past it, the connection whose bytes would go beyond gets 413 and is closed. One request
// alone may use all of it: bodies have no limit of their own, as lines on standard input have none.
constexpr std::size_t max_held = std::size_t{256} << 20;
// A session that has had no request for this long, and has no call running, ends: clients often
// go without saying so (the SDK sends DELETE only when asked to).
constexpr std::chrono::minutes session_idle_limit{30};
// Sessions at most at once: an `initialize` beyond ends the session unused the longest that has no
// call running and no stream open (a client that never says DELETE costs only its own sessions),
// or gets 503 when every one is busy.
constexpr std::size_t max_sessions = 50000;
// What a session keeps of its streams' events, for clients that resume one: its latest events, at
// most this many and this many bytes of data. Older ones go first.
constexpr std::size_t max_kept_events = 512;
constexpr std::size_t max_kept_bytes = std::size_t{256} << 10;
// Streams open with a priming event (an id, no data) only for sessions at this revision or later:
// clients of earlier ones may fail on an event without data.
constexpr std::string_view priming_since = "2025-11-25";

struct Connection;
struct HttpSession;

enum class StreamKind : std::uint8_t {
  Answer,    // a request's answer: ends once the last call it started has ended
  Standing,  // opened by GET on /mcp: ends with its session
  Older,     // the older transport's one stream: carries everything, and its session ends with it
};

// One request's answer while its lines come: gathered while the line is handled, then sent as one
// JSON body; or, when the line started a call of a tool that may wait (even one that did not, or
// refused its arguments), sent as events of a stream that ends once the last such call has ended:
// clients meet both kinds of answer, and a call's notifications always have a stream. Standing
// streams are exchanges too, that no call ends.
//
// A stream outlives its connection: a client that lost it may resume it (Last-Event-ID) while its
// calls go on, and its events are kept by its session meanwhile.
struct Exchange {
  HttpSession* session = nullptr;
  Connection* connection = nullptr;  // null while no connection carries it: events are only kept
  StreamKind kind = StreamKind::Answer;
  std::uint64_t stream = 0;          // the id of its priming event: what its events are kept under
  std::vector<std::string> lines;    // gathered while handling
  int users = 0;                     // calls that may still write
  bool started = false;              // a call of a tool that may wait has started
  bool streaming = false;
  bool handling = true;
};

void endExchange(Exchange& e) noexcept;

// An event a session keeps for resuming: its id, the stream it belongs to, its data (empty for a
// priming event).
struct KeptEvent {
  std::uint64_t id = 0;
  std::uint64_t stream = 0;
  std::string data;
};

// A place in the server's ring of sessions, from the one unused the longest to the one used last.
struct UseRing {
  UseRing* prev = this;
  UseRing* next = this;
  void unlink() noexcept {
    prev->next = next;
    next->prev = prev;
    prev = next = this;
  }
  void moveBefore(UseRing& at) noexcept {  // to the end of the ring whose head `at` is
    unlink();
    prev = at.prev;
    next = &at;
    prev->next = this;
    at.prev = this;
  }
};

struct HttpSession : UseRing {
  HttpSession(std::pmr::memory_resource& gpa, std::string id, const Sink& log, bool older)
      : id(std::move(id)), older(older), session(gpa, Wire{{}, log}) {}
  HttpSession(const HttpSession&) = delete;
  HttpSession& operator=(const HttpSession&) = delete;
  ~HttpSession() {
    unlink();
    if (standing) endExchange(*standing);  // the session's end ends its standing stream
    // then `session` goes first: its calls are abandoned, and the streams they kept open end
  }
  // Nothing of it runs or is open: it may end without anyone losing a stream or a reply. A session
  // of the older transport is open as long as it lasts.
  bool idle() const { return !older && !(standing && standing->connection) && session.calls.next == &session.calls; }
  // A new event id, and the event kept under it.
  std::uint64_t keep(std::uint64_t stream, std::string_view data);

  std::string id;
  bool older;                          // a session of the older transport
  std::string_view version;            // the revision its `initialize` was answered with
  Loop::Time last_request{};
  Exchange* standing = nullptr;        // the GET stream (or the older transport's), while it lasts
  std::vector<Exchange*> streams;      // every stream of this session that has not ended
  std::deque<KeptEvent> kept;          // in id order
  std::size_t kept_bytes = 0;
  std::uint64_t last_event = 0;        // ids count from 1, over all the session's streams
  Session session;
};

struct Connection {
  Connection(HttpServer& server, const sys::Stream& stream, std::pmr::memory_resource& gpa)
      : server(server), out(stream, gpa), input(&gpa) {}
  HttpServer& server;
  std::list<Connection>::iterator self;  // where it stands in the server's list
  OutputQueue out;
  Watch watch;
  Timer time_limit;  // while a request arrives, or while the connection is quiet
  // What has come and is not yet answered. While a chunked body arrives, its payload decoded so
  // far lies right after the head, and only what follows `decoded_to` is still encoded.
  std::pmr::string input;
  std::optional<http::ChunkedDecoder> chunked;
  std::size_t decoded_to = 0;
  Exchange* stream = nullptr;  // a response stream in progress: the next request waits for its end
  std::string_view origin;     // while a request is answered: the browser origin allowed to read it
  Loop::Time begun{};          // when the request now in `input` began to arrive
  Loop::Time quiet_since{};    // when it last had neither a request arriving nor a stream to send
  std::size_t held = 0;        // the bytes of `input` counted in the server's total
  std::uint64_t settled_seen = 0;  // out.settled when last settled
  Connection* next_dirty = nullptr;
  bool dirty = false;    // in the server's list of connections to settle before the loop waits
  bool quiet = false;
  bool continued = false;  // the request now arriving was told to go on (100 Continue)
  bool closing = false;  // no more requests: closed once what is queued has left
  bool lingering = false;  // all sent and the end told: what comes is dropped until the client closes
  bool gone = false;     // the peer has gone or failed: closed when next settled
};

}  // namespace

class HttpServer {
 public:
  HttpServer(std::pmr::memory_resource& gpa, Loop& loop, SessionHandler handler, const sys::Stream& listener,
             const Sink& log, const AccessRules& rules)
      : gpa_(gpa), loop_(loop), handler_(handler), listener_(listener), log_(log), rules_(rules) {
    accepting_ = Watch{&listener_, &onAccept, this};
    hook_ = TurnHook{&beforeWait, this};
    farewell_ = Farewell{&deliverAll, this};
    loop_.addHook(hook_);
    loop_.addFarewell(farewell_);
  }
  ~HttpServer();

  // Settles `c` before the loop next waits: what it has received is answered, what it holds is
  // written, what it waits for is updated. Every change to a connection passes here.
  void touch(Connection& c) noexcept;

 private:
  static void onAccept(void* self, bool, bool) noexcept;
  static void onConnection(void* c, bool readable, bool writable) noexcept;
  static void onTimeLimit(void* c) noexcept;
  bool makeRoom() noexcept;
  static void beforeWait(void* self) noexcept;
  static void deliverAll(void* self) noexcept;
  void settle(Connection& c) noexcept;
  void read(Connection& c) noexcept;
  void serveRequests(Connection& c);
  void goOn(Connection& c, const http::RequestHead& head);
  void answer(Connection& c, const http::RequestHead& head, std::string_view body);
  void post(Connection& c, const http::RequestHead& head, std::string_view body);
  void getStream(Connection& c, const http::RequestHead& head);
  void resume(Connection& c, HttpSession& s, std::string_view last_event_id);
  void openOlderStream(Connection& c);
  void postOlder(Connection& c, const http::RequestHead& head, std::string_view body);
  std::optional<json::Value> takeMessage(Connection& c, const http::RequestHead& head, std::pmr::memory_resource& arena,
                                         std::string_view body);
  void openStream(Connection& c, Exchange& e, std::string_view session_id = {});
  void respond(Connection& c, int status, std::string_view body, std::string_view session_id = {},
               std::string_view allow = {});
  void refuse(Connection& c, int status, std::int64_t code, std::string_view message);
  void close(Connection& c) noexcept;
  void used(HttpSession& s) noexcept;
  bool endLeastUsed() noexcept;

  std::pmr::memory_resource& gpa_;
  Loop& loop_;
  SessionHandler handler_;
  sys::Stream listener_;
  Sink log_;
  const AccessRules& rules_;
  Watch accepting_;
  TurnHook hook_;
  Farewell farewell_;
  std::list<Connection> connections_;
  std::map<std::string, std::unique_ptr<HttpSession>, std::less<>> sessions_;
  UseRing by_use_;  // every session, the one unused the longest first
  Connection* dirty_ = nullptr;  // connections to settle, newest first
  Loop::Time next_sweep_{};
  bool accept_paused_ = false;  // out of descriptors: no more connections until one closes
  std::size_t held_ = 0;        // the bytes of every connection's input
};

namespace {

// The sink of an exchange: lines gathered, or sent as events once the answer is a stream.
void exchangeWrite(void* ctx, std::string_view line);
void exchangeUsers(void* ctx, int change) noexcept;
void dropLine(void* ctx, std::string_view line);

void send(Connection& c, std::string_view bytes) {
  appendBytes(c.out, bytes);
  c.server.touch(c);
}

std::string_view pathOf(std::string_view target) {
  if (target.starts_with("http://") || target.starts_with("https://")) {
    target.remove_prefix(target.find("//") + 2);
    std::size_t slash = target.find('/');
    target = slash == std::string_view::npos ? "/" : target.substr(slash);
  }
  return target.substr(0, target.find('?'));
}

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

// One event, as a chunk of its stream's body, on `c`.
void sendEvent(Connection& c, std::uint64_t id, std::string_view event, std::string_view data) {
  std::pmr::monotonic_buffer_resource arena;
  json::Text text(&arena);
  if (id != 0) {
    char digits[24];
    http::appendEvent(text, std::string_view(digits, std::to_chars(digits, digits + sizeof digits, id).ptr), event, data);
  } else {
    http::appendEvent(text, {}, event, data);
  }
  json::Text chunk(&arena);
  http::appendChunk(chunk, text);
  send(c, chunk);
}

}  // namespace

std::uint64_t HttpSession::keep(std::uint64_t stream, std::string_view data) {
  kept.push_back({++last_event, stream == 0 ? last_event : stream, std::string(data)});
  kept_bytes += data.size();
  while (kept.size() > max_kept_events || (kept_bytes > max_kept_bytes && kept.size() > 1)) {
    kept_bytes -= kept.front().data.size();
    kept.pop_front();
  }
  return last_event;
}

HttpServer::~HttpServer() {
  loop_.removeFarewell(farewell_);
  sessions_.clear();  // their calls end, and with them their streams
  dirty_ = nullptr;
  while (!connections_.empty()) close(connections_.front());
  loop_.forget(accepting_);
  loop_.removeHook(hook_);
  sys::closeStream(listener_);
}

void HttpServer::touch(Connection& c) noexcept {
  if (c.dirty) return;
  c.dirty = true;
  c.next_dirty = dirty_;
  dirty_ = &c;
}

void HttpServer::onAccept(void* self, bool, bool) noexcept {
  auto& h = *static_cast<HttpServer*>(self);
  for (int taken = 0; taken < 64; ++taken) {  // a few per turn, so that a flood cannot starve the rest
    sys::Stream s;
    sys::Transfer t = sys::acceptOne(h.listener_, s);
    if (t.status == sys::Io::NotNow) return;
    if (t.status != sys::Io::Done) {
      // Out of descriptors, say: the connection waits in the system's queue, which would wake the
      // loop at once again. The connection quiet the longest makes room, or else the listener
      // rests until one closes.
      if (!h.makeRoom()) h.accept_paused_ = true;
      return;
    }
    try {
      Connection& c = h.connections_.emplace_back(h, s, h.gpa_);
      c.self = std::prev(h.connections_.end());
      c.watch = Watch{&c.out.stream, &onConnection, &c};
      c.time_limit.fired = &onTimeLimit;
      c.time_limit.owner = &c;
      c.quiet = true;  // until its first byte
      c.quiet_since = h.loop_.now();
      h.touch(c);
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
  c.server.touch(c);
}

void HttpServer::read(Connection& c) noexcept {
  char buffer[16384];
  sys::Transfer got = sys::readSome(c.out.stream, buffer, sizeof buffer);
  if (got.status == sys::Io::NotNow) return;
  if (got.status != sys::Io::Done || (got.count == 0 && c.lingering)) {
    c.gone = true;
    return;
  }
  if (c.lingering) return;
  if (held_ - c.held + c.input.size() + got.count > max_held) {
    // read decides for the connection: without memory for the answer, it just closes.
    try {
      c.input.clear();
      c.closing = true;
      refuse(c, 413, -32600, "Content Too Large: the requests in progress hold too much memory");
    } catch (const std::bad_alloc&) {
      c.gone = true;
    }
    return;
  }
  // read decides for the connection: without memory for its requests, it is closed.
  try {
    // Time for a request counts from its first byte, or from the last read while a stream held it back.
    if (c.input.empty() || c.stream) c.begun = loop_.now();
    c.input.append(buffer, got.count);
  } catch (const std::bad_alloc&) {
    c.gone = true;
  }
}

// A client that asked whether to send its body (Expect: 100-continue, as curl does past 1 KiB) is
// told to go on, once: else it would wait a while before sending it anyway.
void HttpServer::goOn(Connection& c, const http::RequestHead& head) {
  std::optional<std::string_view> expect = head.header("expect");
  if (c.continued || head.minor_version != 1 || !expect || !http::sameWithoutCase(*expect, "100-continue")) return;
  c.continued = true;
  send(c, "HTTP/1.1 100 Continue\r\n\r\n");
}

// Answers every whole request in the input, in order, until one starts a stream. A body is read
// where it lies in the input: a length's bytes as they came, a chunked one decoded in place as its
// bytes arrive, so that each byte is decoded once however slowly the body comes.
void HttpServer::serveRequests(Connection& c) {
  while (!c.stream && !c.closing && !c.gone && !c.input.empty()) {
    http::RequestHead head;
    http::HeadResult h = http::parseRequestHead(c.input, head);
    if (h.progress == http::Progress::NeedMore) return;
    if (h.progress == http::Progress::Refused) {
      c.closing = true;
      return refuse(c, h.refusal.status, -32600, h.refusal.reason);
    }
    std::string_view body;
    std::size_t used = h.size;
    if (head.framing == http::Framing::Length) {
      if (c.input.size() - h.size < head.content_length) return goOn(c, head);
      body = std::string_view(c.input).substr(h.size, head.content_length);
      used += head.content_length;
    } else if (head.framing == http::Framing::Chunked) {
      if (!c.chunked) {
        c.chunked.emplace();
        c.decoded_to = h.size;
      }
      http::BodyResult b = c.chunked->decode(std::span(c.input.data() + c.decoded_to, c.input.size() - c.decoded_to));
      if (b.progress == http::Progress::Refused) {
        c.closing = true;
        return refuse(c, b.refusal.status, -32600, b.refusal.reason);
      }
      c.input.erase(c.decoded_to + b.payload, b.used - b.payload);  // the framing, now decoded
      c.decoded_to += b.payload;
      if (b.progress == http::Progress::NeedMore) return goOn(c, head);
      c.chunked.reset();
      body = std::string_view(c.input).substr(h.size, c.decoded_to - h.size);
      used = c.decoded_to;
    }
    if (!head.keep_alive) c.closing = true;
    answer(c, head, body);
    c.continued = false;
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
  const std::string_view path = pathOf(head.target);
  if (path != mcp_path && path != sse_path && path != message_path) {
    return refuse(c, 404, -32000, "Not Found: MCP is served at /mcp (and at /sse for the older transport)");
  }
  if (preflight) {
    json::Text text(&gpa_);
    http::appendHead(text, {.status = 204, .content_length = 0, .allowed_origin = c.origin, .preflight = true,
                            .close = c.closing});
    return send(c, text);
  }
  if (path == sse_path) {
    if (head.method == "GET") return openOlderStream(c);
    return respond(c, 405, "", {}, "GET, OPTIONS");
  }
  if (path == message_path) {
    if (head.method == "POST") return postOlder(c, head, body);
    return respond(c, 405, "", {}, "POST, OPTIONS");
  }
  if (head.method == "POST") return post(c, head, body);
  std::optional<std::string_view> id = head.header("mcp-session-id");
  if (head.method == "DELETE") {
    if (!id) return refuse(c, 400, -32000, "Bad Request: no Mcp-Session-Id header");
    auto it = sessions_.find(*id);
    if (it == sessions_.end() || it->second->older) return refuse(c, 404, -32001, "Session not found");
    sessions_.erase(it);  // its calls are abandoned, and their streams end
    return respond(c, 200, "");
  }
  if (head.method == "GET") return getStream(c, head);
  respond(c, 405, "", {}, "GET, POST, DELETE, OPTIONS");
}

// The body of a POST as both transports take it: JSON, parsed into `arena`, and an object; else
// refused as standard input's rules say (-32700; -32600 for an array or any other value).
std::optional<json::Value> HttpServer::takeMessage(Connection& c, const http::RequestHead& head,
                                                   std::pmr::memory_resource& arena, std::string_view body) {
  std::string_view type = head.header("content-type").value_or("");
  if (!containsWithoutCase(type.substr(0, type.find(';')), "application/json")) {
    refuse(c, 415, -32000, "Unsupported Media Type: Content-Type must be application/json");
    return std::nullopt;
  }
  std::optional<json::Value> message = json::parse(arena, body);
  if (!message) {
    refuse(c, 400, -32700, "Parse error: invalid JSON");
  } else if (!message->isObject()) {
    refuse(c, 400, -32600, "Invalid Request: expected an object");
    message.reset();
  }
  return message;
}

void HttpServer::post(Connection& c, const http::RequestHead& head, std::string_view body) {
  std::string_view accept = head.header("accept").value_or("");
  if (!containsWithoutCase(accept, "application/json") || !containsWithoutCase(accept, "text/event-stream")) {
    return refuse(c, 406, -32000, "Not Acceptable: Accept must list application/json and text/event-stream");
  }
  std::pmr::monotonic_buffer_resource arena(&gpa_);
  std::optional<json::Value> message = takeMessage(c, head, arena, body);
  if (!message) return;
  std::optional<std::string_view> method = json::stringField(*message, "method");
  const json::Value* request_id = json::member(*message, "id");
  const bool request = method && request_id && request_id->kind != json::Kind::Null;
  const bool initialize = request && *method == "initialize";
  // `initialize` negotiates the revision in its body: clients send it with the header of the
  // revision they hope for, which may be one this server does not speak.
  if (std::optional<std::string_view> v = head.header("mcp-protocol-version"); v && !initialize && !isLegacyVersion(*v)) {
    return refuse(c, 400, -32000, "Bad Request: unsupported MCP-Protocol-Version");
  }

  HttpSession* s = nullptr;
  bool created = false;
  if (std::optional<std::string_view> id = head.header("mcp-session-id")) {
    auto it = sessions_.find(*id);
    if (it == sessions_.end() || it->second->older) return refuse(c, 404, -32001, "Session not found");
    s = it->second.get();
  } else if (initialize) {
    if (sessions_.size() >= max_sessions && !endLeastUsed()) {
      return refuse(c, 503, -32000, "Service Unavailable: too many sessions are busy");
    }
    std::string id = newSessionId();
    if (id.empty()) return refuse(c, 500, -32603, "Internal error: no secure random source");
    auto fresh = std::make_unique<HttpSession>(gpa_, id, log_, false);
    const json::Value* params = json::member(*message, "params");
    fresh->version = negotiateLegacy(params ? json::stringField(*params, "protocolVersion").value_or("") : "");
    s = fresh.get();
    sessions_.emplace(std::move(id), std::move(fresh));
    created = true;
  } else {
    return refuse(c, 400, -32000, "Bad Request: no valid Mcp-Session-Id header");
  }
  used(*s);

  if (!request) {  // a notification, or the client's answer to one of our requests
    s->session.wire.out = Sink{nullptr, &dropLine};
    handler_.handle(handler_.ctx, s->session, arena, *message, body);
    return respond(c, 202, "");
  }
  auto* e = new Exchange;
  e->session = s;
  s->session.wire.out = Sink{e, &exchangeWrite, nullptr, &exchangeUsers};
  handler_.handle(handler_.ctx, s->session, arena, *message, body);
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
  try {
    openStream(c, *e, session_id);
  } catch (const std::bad_alloc&) {
    if (e->users == 0) endExchange(*e);
    throw;
  }
  if (e->users == 0) endExchange(*e);  // the call has already ended
}

// Opens `e`'s stream on `c`: its head, a priming event (an id and no data: where the client may
// resume from) for the revisions that have them, then the lines gathered while its request was
// handled.
void HttpServer::openStream(Connection& c, Exchange& e, std::string_view session_id) {
  HttpSession& s = *e.session;
  if (std::find(s.streams.begin(), s.streams.end(), &e) == s.streams.end()) s.streams.push_back(&e);
  c.stream = &e;
  e.connection = &c;
  e.streaming = true;
  json::Text head(&gpa_);
  http::appendHead(head,
                   {.status = 200, .content_type = "text/event-stream", .session_id = session_id, .allowed_origin = c.origin});
  send(c, head);
  if (versionAtLeast(s.version, priming_since)) {
    const std::uint64_t priming = s.keep(e.stream, "");
    if (e.stream == 0) e.stream = priming;
    sendEvent(c, priming, {}, "");
  } else if (e.stream == 0) {
    e.stream = ++s.last_event;  // the stream's id, which no event carries
  }
  std::vector<std::string> lines = std::move(e.lines);
  for (const std::string& line : lines) exchangeWrite(&e, line);
}

// GET: the session's standing stream, for what the server sends outside any request's answer,
// one at a time; it ends with the session. With Last-Event-ID, the stream that event belongs to,
// resumed.
void HttpServer::getStream(Connection& c, const http::RequestHead& head) {
  if (!containsWithoutCase(head.header("accept").value_or(""), "text/event-stream")) {
    return refuse(c, 406, -32000, "Not Acceptable: Accept must list text/event-stream");
  }
  std::optional<std::string_view> id = head.header("mcp-session-id");
  if (!id) return refuse(c, 400, -32000, "Bad Request: no valid Mcp-Session-Id header");
  auto it = sessions_.find(*id);
  if (it == sessions_.end() || it->second->older) return refuse(c, 404, -32001, "Session not found");
  HttpSession& s = *it->second;
  used(s);
  if (std::optional<std::string_view> last = head.header("last-event-id")) return resume(c, s, *last);
  if (s.standing && s.standing->connection) return refuse(c, 409, -32000, "Conflict: this session's stream is already open");
  if (!s.standing) {
    auto* e = new Exchange;
    e->session = &s;
    e->kind = StreamKind::Standing;
    e->started = true;
    e->handling = false;
    s.standing = e;
  }
  openStream(c, *s.standing);
}

// The events of a stream after the one `last_event_id` names, then the rest of the stream as it
// comes, if it has not ended. 204 when it has ended and nothing of it is left to send.
void HttpServer::resume(Connection& c, HttpSession& s, std::string_view last_event_id) {
  std::uint64_t after = 0;
  const char* end = last_event_id.data() + last_event_id.size();
  auto [stop, error] = std::from_chars(last_event_id.data(), end, after);
  if (error != std::errc() || stop != end || after == 0 || after > s.last_event) {
    return refuse(c, 400, -32000, "Bad Request: Last-Event-ID names no event of this session");
  }
  auto from = std::lower_bound(s.kept.begin(), s.kept.end(), after,
                               [](const KeptEvent& k, std::uint64_t id) { return k.id < id; });
  if (from == s.kept.end() || from->id != after) {
    return refuse(c, 400, -32000, "Bad Request: the events after this Last-Event-ID are no longer kept");
  }
  const std::uint64_t stream = from->stream;
  auto live = std::find_if(s.streams.begin(), s.streams.end(), [&](const Exchange* e) { return e->stream == stream; });
  Exchange* e = live == s.streams.end() ? nullptr : *live;
  if (e && e->connection) {  // lost on the client's side, and not yet noticed on this one: the client knows best
    e->connection->stream = nullptr;
    e->connection->gone = true;
    touch(*e->connection);
    e->connection = nullptr;
  }
  auto belongs = [&](const KeptEvent& k) { return k.stream == stream && !k.data.empty(); };
  if (!e && std::none_of(std::next(from), s.kept.end(), belongs)) return respond(c, 204, "");
  json::Text head(&gpa_);
  http::appendHead(head, {.status = 200, .content_type = "text/event-stream", .allowed_origin = c.origin});
  send(c, head);
  for (auto k = std::next(from); k != s.kept.end(); ++k) {
    if (belongs(*k)) sendEvent(c, k->id, {}, k->data);
  }
  if (e) {
    c.stream = e;
    e->connection = &c;
    return;
  }
  json::Text last(&gpa_);
  http::appendLastChunk(last);
  send(c, last);
}

// GET /sse: a session of the older transport. Its one stream carries everything the server sends
// it, as `message` events, after a first `endpoint` event with the address its client POSTs to.
// The session ends with the stream.
void HttpServer::openOlderStream(Connection& c) {
  if (sessions_.size() >= max_sessions && !endLeastUsed()) {
    return refuse(c, 503, -32000, "Service Unavailable: too many sessions are busy");
  }
  std::string id = newSessionId();
  if (id.empty()) return refuse(c, 500, -32603, "Internal error: no secure random source");
  std::string endpoint = std::string(message_path) + "?sessionId=" + id;
  auto fresh = std::make_unique<HttpSession>(gpa_, id, log_, true);
  auto* e = new Exchange;
  HttpSession& s = *fresh;
  s.standing = e;  // the session owns it from here
  e->session = &s;
  e->kind = StreamKind::Older;
  e->started = e->streaming = true;
  e->handling = false;
  s.session.wire.out = Sink{e, &exchangeWrite};
  used(s);
  sessions_.emplace(std::move(id), std::move(fresh));
  c.stream = e;
  e->connection = &c;
  json::Text head(&gpa_);
  http::appendHead(head, {.status = 200, .content_type = "text/event-stream", .allowed_origin = c.origin});
  send(c, head);
  sendEvent(c, 0, "endpoint", endpoint);
}

// POST /message?sessionId=...: a message for a session of the older transport. Accepted at once;
// whatever answers it goes on the session's stream.
void HttpServer::postOlder(Connection& c, const http::RequestHead& head, std::string_view body) {
  std::optional<std::string_view> id = queryValue(head.target, "sessionId");
  if (!id) return refuse(c, 400, -32000, "Bad Request: no sessionId in the address");
  auto it = sessions_.find(*id);
  if (it == sessions_.end() || !it->second->older) return refuse(c, 404, -32001, "Session not found");
  std::pmr::monotonic_buffer_resource arena(&gpa_);
  std::optional<json::Value> message = takeMessage(c, head, arena, body);
  if (!message) return;
  HttpSession& s = *it->second;
  used(s);
  respond(c, 202, "");
  // The 202 leaves first: the message's answer, on another connection, must not overtake it.
  writeWhatFits(c.out, false);
  handler_.handle(handler_.ctx, s.session, arena, *message, body);
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
  send(c, text);
}

void HttpServer::refuse(Connection& c, int status, std::int64_t code, std::string_view message) {
  json::Text body(&gpa_);
  http::appendErrorBody(body, code, message);
  respond(c, status, body);
}

void HttpServer::beforeWait(void* self) noexcept {
  auto& h = *static_cast<HttpServer*>(self);
  // Idle sessions are looked for once a minute, while the server has work: those unused for the
  // limit, oldest first.
  if (const Loop::Time now = h.loop_.now(); now >= h.next_sweep_) {
    h.next_sweep_ = now + std::chrono::minutes(1);
    for (UseRing* r = h.by_use_.next; r != &h.by_use_;) {
      auto& s = static_cast<HttpSession&>(*r);
      if (now - s.last_request < session_idle_limit) break;
      r = r->next;
      if (s.idle()) h.sessions_.erase(h.sessions_.find(s.id));
    }
  }
  while (Connection* c = h.dirty_) {
    h.dirty_ = c->next_dirty;
    h.settle(*c);
  }
  // Last: a connection closed above frees a descriptor for the next.
  if (std::uint32_t error = h.loop_.watch(h.accepting_, h.accept_paused_ ? sys::WantNothing : sys::WantRead)) {
    h.loop_.fail(error);  // no more connections could be taken: the run ends with the reason
  }
}

void HttpServer::settle(Connection& c) noexcept {
  // settle decides: a request that cannot be answered for lack of memory closes the connection.
  try {
    serveRequests(c);
  } catch (const std::bad_alloc&) {
    c.gone = true;
  }
  writeWhatFits(c.out, false);
  if (failed(c.out)) c.gone = true;  // the peer has gone: nothing more reaches it
  if (backlog(c.out) > max_unread) {
    if (Exchange* e = c.stream; e && e->kind == StreamKind::Answer) abandonCalls(e->session->session, Sink{e});
    c.gone = true;
  }
  if (c.gone) return close(c);
  if (c.closing && !c.stream && backlog(c.out) == 0 && !c.lingering) {
    c.lingering = true;
    c.input.clear();
    sys::endSending(c.out.stream);
    loop_.disarm(c.time_limit);
    c.time_limit.deadline = loop_.now() + linger_limit;
  }
  held_ = held_ - c.held + c.input.size();
  c.held = c.input.size();
  // A request that has begun to arrive is given its time, however quiet its client then goes; a
  // connection that has nothing arriving and nothing to stream is given its time too.
  const bool arriving = !c.input.empty() && !c.stream && !c.closing;
  const bool quiet = !arriving && !c.stream && !c.lingering;
  if (quiet && (!c.quiet || c.out.settled != c.settled_seen)) c.quiet_since = loop_.now();  // answers leaving are not quiet
  c.quiet = quiet;
  c.settled_seen = c.out.settled;
  if (!arriving && !quiet && !c.lingering) {
    loop_.disarm(c.time_limit);
  } else if (const Loop::Time deadline = c.lingering ? c.time_limit.deadline
                                         : arriving  ? c.begun + request_time_limit
                                                     : c.quiet_since + quiet_limit;
             !c.time_limit.armed() || c.time_limit.deadline != deadline) {
    loop_.disarm(c.time_limit);
    c.time_limit.deadline = deadline;
    // settle decides: a connection whose time cannot be kept is closed.
    try {
      loop_.arm(c.time_limit);
    } catch (const std::bad_alloc&) {
      return close(c);
    }
  }
  // While a stream is sent, only a little of what follows is read ahead: enough to notice that the
  // client has gone.
  const bool reading = c.lingering || (!c.closing && (!c.stream || c.input.size() < read_ahead));
  const std::uint8_t want = (reading ? sys::WantRead : sys::WantNothing) |
                            (backlog(c.out) > 0 ? sys::WantWrite : sys::WantNothing);
  if (loop_.watch(c.watch, want) != 0) return close(c);
  c.dirty = false;
}

void HttpServer::onTimeLimit(void* connection) noexcept {
  auto& c = *static_cast<Connection*>(connection);
  if (c.quiet || c.lingering) {  // nothing to answer: it just closes
    c.gone = true;
  } else {
    c.closing = true;
    // onTimeLimit decides: without memory for the answer, the connection just closes.
    try {
      c.server.refuse(c, 408, -32000, "Request Timeout: the request did not arrive whole in time");
    } catch (const std::bad_alloc&) {
      c.gone = true;
    }
  }
  c.server.touch(c);
}

void HttpServer::used(HttpSession& s) noexcept {
  s.last_request = loop_.now();
  s.moveBefore(by_use_);
}

// Ends the idle session unused the longest, if any.
bool HttpServer::endLeastUsed() noexcept {
  for (UseRing* r = by_use_.next; r != &by_use_; r = r->next) {
    auto& s = static_cast<HttpSession&>(*r);
    if (!s.idle()) continue;
    sessions_.erase(sessions_.find(s.id));
    return true;
  }
  return false;
}

// Closes the connection that has been quiet the longest, if any, to free its descriptor.
bool HttpServer::makeRoom() noexcept {
  Connection* oldest = nullptr;
  for (Connection& c : connections_) {
    if (c.quiet && !c.gone && (!oldest || c.quiet_since < oldest->quiet_since)) oldest = &c;
  }
  if (!oldest) return false;
  oldest->gone = true;
  touch(*oldest);
  return true;
}

// The process ends (a crash, say): what the connections hold is delivered first, as far as their
// clients take it.
void HttpServer::deliverAll(void* self) noexcept {
  std::vector<OutputQueue*> outputs;
  // deliverAll decides: without memory for the list, what is queued is given up.
  try {
    for (Connection& c : static_cast<HttpServer*>(self)->connections_) {
      if (backlog(c.out) > 0) outputs.push_back(&c.out);
    }
  } catch (const std::bad_alloc&) {
    return;
  }
  deliverQueued(outputs);
}

void HttpServer::close(Connection& c) noexcept {
  if (Exchange* e = c.stream) {
    e->connection = nullptr;  // a stream of the transport outlives it, and may be resumed
    if (e->kind == StreamKind::Older) {
      auto it = sessions_.find(e->session->id);
      if (it != sessions_.end()) sessions_.erase(it);  // the older transport's session ends with its stream
    }
  }
  loop_.disarm(c.time_limit);
  loop_.forget(c.watch);
  held_ -= c.held;
  accept_paused_ = false;       // a descriptor is free again
  connections_.erase(c.self);  // the queue closes its stream
}

namespace {

void exchangeWrite(void* ctx, std::string_view line) {
  auto& e = *static_cast<Exchange*>(ctx);
  // exchangeWrite decides for a line it cannot keep: dropped, and its connection, now missing a
  // line of its stream, is closed.
  try {
    if (!e.streaming) {
      e.lines.emplace_back(line);
    } else if (e.kind == StreamKind::Older) {
      if (e.connection) sendEvent(*e.connection, 0, "message", line);
    } else {
      const std::uint64_t id = e.session->keep(e.stream, line);
      if (e.connection) sendEvent(*e.connection, id, {}, line);
    }
  } catch (const std::bad_alloc&) {
    if (Connection* c = e.connection) {
      c->gone = true;
      c->server.touch(*c);
    }
  }
}

void dropLine(void*, std::string_view) {}

void exchangeUsers(void* ctx, int change) noexcept {
  auto& e = *static_cast<Exchange*>(ctx);
  e.users += change;
  if (change > 0) e.started = true;
  if (e.users == 0 && !e.handling && e.kind == StreamKind::Answer) endExchange(e);
}

// The last call of a stream has ended, or its session: the stream ends, and its connection takes
// the next request.
void endExchange(Exchange& e) noexcept {
  if (HttpSession* s = e.session) {
    std::erase(s->streams, &e);
    if (s->standing == &e) s->standing = nullptr;
  }
  if (Connection* c = e.connection) {
    c->stream = nullptr;
    try {
      json::Text end(&c->out.memory);
      http::appendLastChunk(end);
      send(*c, end);
    } catch (const std::bad_alloc&) {  // endExchange decides: a stream that cannot end closes its connection
      c->gone = true;
      c->server.touch(*c);
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
