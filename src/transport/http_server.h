#pragma once
// MCP over HTTP on the server's one loop: Streamable HTTP at /mcp, and the older HTTP+SSE at /sse.
// Each connection is read into a buffer of its own and answered through an output queue of its
// own; each `initialize` without a session starts one, known by an unguessable id. A request is
// answered with application/json, unless it started a call that may wait: then its answer is an
// event stream that carries the call's notifications and requests to the client, then its reply,
// and ends. Notifications and the client's answers get 202. Who may talk to the server is checked
// first (access.h).
//
// Every event of a session's streams has an id, and a stream opens with a priming event (an id, no
// data): a client that loses a stream resumes it with GET and Last-Event-ID, and gets what it
// missed, then the rest. A session keeps its latest 512 events (256 KiB of data at most) for that.
// GET without it opens the session's standing stream; OPTIONS answers a browser's preflight. A
// session with nothing running or open ends after 30 idle minutes, or when 50,000 live and a new
// one needs its room.
//
// The older transport: GET /sse opens a session and its one stream, whose first event names the
// address its client POSTs to (/message?sessionId=...); every message the server sends it is a
// `message` event on that stream, and the session ends with it.
//
// This is the MCP layer over HTTP: sessions, their streams and kept events, and the routes of both
// transports. The connections under it, their framing, limits and memory are http_connection.h's.

#include <chrono>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>

#include "protocol/json.h"
#include "protocol/sink.h"
#include "runtime/loop.h"
#include "transport/access.h"
#include "transport/http_limits.h"

struct Answering;
struct Session;
class HttpServer;
struct HttpLimits;

// What hands a session's message to the server (`handleMessage`, a layer up): already parsed from
// `line` into `a`, as the transport reads every body before it chooses a status, so that it is
// parsed once; answered as `to` says. All are borrowed for the call.
struct SessionHandler {
  void* ctx = nullptr;
  void (*handle)(void* ctx, const Answering& to, std::pmr::memory_resource& a, const json::Value& message,
                 std::string_view line) noexcept = nullptr;
  // When not null: ends what stays open of `session`'s requests as a closing server ends them (a
  // subscription gets its completion result), on the wires they were opened on.
  void (*end)(void* ctx, Session& session) noexcept = nullptr;
};

// What sessions may cost, beside what connections may (HttpLimits).
struct SessionLimits {
  // A session that has had nothing running or open for this long ends: clients often go without
  // saying so (the SDK sends DELETE only when asked to).
  std::chrono::nanoseconds idle_time = http::session_idle_limit;
  // Sessions at most at once. A new one ends the idle session unused the longest, or else the one
  // whose calls no connection carries; 503 when every one is in use.
  std::size_t max_sessions = http::max_sessions;
  // What a session keeps of its streams' events for clients that resume one: its latest events,
  // at most this many and this many bytes of data. An event larger than that is not kept.
  std::size_t max_kept_events = http::max_kept_events;
  std::size_t max_kept_bytes = http::max_kept_bytes;
};

struct HttpServerDeleter {
  void operator()(HttpServer* h) const noexcept;
};
using HttpServerPtr = std::unique_ptr<HttpServer, HttpServerDeleter>;

// Serves on `listener` (a listening socket, which it takes over) from `loop`, handing every
// session's lines to `handler`, until the process ends. Reports go to `log`. `rules` must outlive
// it. Throws std::bad_alloc.
HttpServerPtr startHttp(std::pmr::memory_resource& gpa, Loop& loop, const SessionHandler& handler, const sys::Stream& listener,
                        const Sink& log, const AccessRules& rules);
HttpServerPtr startHttp(std::pmr::memory_resource& gpa, Loop& loop, const SessionHandler& handler, const sys::Stream& listener,
                        const Sink& log, const AccessRules& rules, const HttpLimits& limits,
                        const SessionLimits& session_limits);

// Ends the server in order: it stops accepting, the requests already read are answered, streams
// end as a closing server ends them, and once every connection has closed (2 s at most) `done`
// is called.
void shutDown(HttpServer& h, void (*done)(void* ctx) noexcept, void* ctx) noexcept;
// The memory the transport holds now: buffers, queues and kept events.
std::size_t heldMemory(const HttpServer& h) noexcept;
// The connections open now, those still lingering after their last answer among them.
std::size_t connectionCount(const HttpServer& h) noexcept;
