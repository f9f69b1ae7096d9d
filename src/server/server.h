#pragma once
// The one server object: it composes each subsystem's state, and `handle` routes every input line
// to the subsystem it is for. `serve` builds the output queues, then the Server, and keeps both until the end.

#include <memory>
#include <memory_resource>
#include <string_view>

#include "methods/catalogue.h"
#include "protocol/arena.h"
#include "protocol/sink.h"
#include "runtime/loop.h"
#include "tools/tool_call.h"

struct Server {
  Server(std::pmr::memory_resource& gpa, Loop& loop, Sink out, Sink log);

  std::pmr::memory_resource& gpa;  // owns the Server, the arenas and their storage
  Wire wire;                       // standard output and standard error
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
// released. Null when the catalogue is broken. Throws std::bad_alloc when memory runs out; nothing
// is left allocated then.
ServerPtr initServer(std::pmr::memory_resource& gpa, Loop& loop, Sink out, Sink log);

// Handles one input line: a request is answered by a method or a tool call, a client's answer goes
// to the request that waits for it, a notification is dropped. `line` is borrowed for the call only;
// nothing keeps a view into it. Never fails: what cannot be answered for lack of memory is dropped
// with one report on the log.
void handle(Server& s, std::string_view line) noexcept;
