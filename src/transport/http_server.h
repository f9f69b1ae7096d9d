#pragma once
// MCP over HTTP on the server's one loop: Streamable HTTP at /mcp. Each connection is read into a
// buffer of its own and answered through an output queue of its own; each `initialize` without a
// session starts one, known by an unguessable id. A request is answered with application/json,
// unless it started a call that may wait: then its answer is an event stream that carries the
// call's notifications and requests to the client, then its reply, and ends. Notifications and
// the client's answers get 202. Who may talk to the server is checked first (access.h).
//
// GET opens the session's standing stream; OPTIONS answers a browser's preflight. A request must
// arrive whole in 5 s, and a client that leaves too much unread is disconnected. Not yet: resuming
// a stream, the older HTTP+SSE transport, and limits on what one request may hold.

#include <cstdint>
#include <memory>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>

#include "protocol/sink.h"
#include "runtime/loop.h"
#include "transport/access.h"

struct Session;
class HttpServer;

// What hands a session's line to the server (`handle`, a layer up). `line` is borrowed for the call.
struct SessionHandler {
  void* ctx = nullptr;
  void (*handle)(void* ctx, Session& session, std::string_view line) noexcept = nullptr;
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
