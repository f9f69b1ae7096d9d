#pragma once
// The one server object: it composes what every session shares (the catalogue, the tool table, the
// arenas, the loop), and `handle` routes each line a session's client sent to the subsystem it is
// for. `serve` builds the output queues, then the Server and the one session of standard input and
// output, and keeps them until the end.

#include <memory>
#include <memory_resource>
#include <string_view>

#include "methods/catalogue.h"
#include "protocol/arena.h"
#include "protocol/sink.h"
#include "runtime/loop.h"
#include "tools/tool_call.h"

struct Server {
  Server(std::pmr::memory_resource& gpa, Loop& loop);

  std::pmr::memory_resource& gpa;  // owns the Server, the arenas and their storage
  Catalogue catalogue;
  ArenaCache arenas;  // every message's arena, kept from one message to the next
  ToolCalls tools;
};

struct ServerDeleter {
  void operator()(Server* s) const noexcept;
};
using ServerPtr = std::unique_ptr<Server, ServerDeleter>;

// Allocates the server from `gpa`, parses the tool catalogue into it and binds the demo tools to
// it; tool calls that wait are resumed by `loop`, which must have no task left when the server is
// released (its sessions are released first). Null when the catalogue is broken. Throws
// std::bad_alloc when memory runs out; nothing is left allocated then.
ServerPtr initServer(std::pmr::memory_resource& gpa, Loop& loop);

// Handles one line from the client of `session`: a request is answered by a method or a tool call
// on the session's wire, a client's answer goes to the session's request that waits for it, a
// notifications/cancelled ends the modern request it names, other notifications are dropped. A
// request whose params._meta names "io.modelcontextprotocol/protocolVersion" is modern, any other
// legacy; both eras may come in turn, and neither sees the other's lines. `line` is borrowed for the call only; nothing keeps a view into it.
// Never fails: what cannot be answered for lack of memory is dropped with one report on the log.
void handle(Server& s, Session& session, std::string_view line) noexcept;
// The same for a message a transport has already parsed from `line` into `a` (an HTTP body, whose
// status depends on it), answered as `to` says: its lines to `to.wire`, its calls that wait in
// `to.group`. `message` is an object. What answers it is made in `a`. With `to.era` modern, the
// transport has read and checked the era itself (readModernEra) and it is taken as it is; otherwise
// the request's own `_meta` decides, as on standard input.
void handleMessage(Server& s, const Answering& to, std::pmr::memory_resource& a, const json::Value& message,
                   std::string_view line) noexcept;

// Ends every subscriptions/listen of `session` that is open, as the server does when it ends (at
// end of input on standard input): for each, its completion result carrying its id, then
// notifications/cancelled naming it, on the wire it was opened on. Its calls that wait are left to run.
void endSubscriptions(Server& s, Session& session) noexcept;
