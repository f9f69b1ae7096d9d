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
// What a connection costs is bounded: a request must arrive whole in 5 s (its head within 16 KiB);
// its body is held once, where it arrived, chunked bodies decoded in place; while a stream is sent,
// at most 64 KiB of what follows is read ahead; all requests in progress hold 256 MiB at most; a
// connection quiet for 30 s is closed, and the one quiet the longest when descriptors run out; and
// a client that leaves 8 MiB of answers unread is disconnected, the calls of its stream abandoned.

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

struct Session;
class HttpServer;

// What hands a session's message to the server (`handleMessage`, a layer up): already parsed from
// `line` into `a`, as the transport reads every body before it chooses a status, so that it is
// parsed once. All three are borrowed for the call.
struct SessionHandler {
  void* ctx = nullptr;
  void (*handle)(void* ctx, Session& session, std::pmr::memory_resource& a, const json::Value& message,
                 std::string_view line) noexcept = nullptr;
};

struct HttpServerDeleter {
  void operator()(HttpServer* h) const noexcept;
};
using HttpServerPtr = std::unique_ptr<HttpServer, HttpServerDeleter>;

// Serves on `listener` (a listening socket, which it takes over) from `loop`, handing every
// session's lines to `handler`, until the process ends. Reports go to `log`. `rules` must outlive
// it. Throws std::bad_alloc.
HttpServerPtr startHttp(std::pmr::memory_resource& gpa, Loop& loop, SessionHandler handler, const sys::Stream& listener,
                        const Sink& log, const AccessRules& rules);
