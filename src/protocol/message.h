#pragma once
// JSON-RPC messages in and out. `handle` (main thread only) turns one input line into at most one
// reply; `send`, `sendReply` and `notify` are the only ways out and may be called from any thread,
// each building its line in the allocator it is given, which must belong to the calling task.

#include <cstdint>
#include <memory_resource>
#include <string_view>

#include "protocol/json.h"
#include "protocol/server.h"

enum class ErrorCode : std::int32_t {
  ParseError = -32700,
  InvalidRequest = -32600,
  MethodNotFound = -32601,
  InvalidParams = -32602,
  ResourceNotFound = -32002,
};

// The outcome of a request: a ready JSON result text, or an error code with its message. Both
// texts are views into the message's arena (or constants).
struct Reply {
  enum class Kind : std::uint8_t { Result, Error };
  Kind kind = Kind::Result;
  std::string_view text;  // Result: the JSON value, inserted verbatim. Error: the message.
  ErrorCode code = ErrorCode::InvalidParams;

  static Reply result(std::string_view json) { return {Kind::Result, json, ErrorCode::InvalidParams}; }
  static Reply error(ErrorCode code, std::string_view message) { return {Kind::Error, message, code}; }
  static Reply invalid(std::string_view message) { return error(ErrorCode::InvalidParams, message); }
};

// Handles one input line. `line` is borrowed for the call only; nothing keeps a view into it.
// Never fails: what cannot be answered for lack of memory is dropped with one report on the log.
void handle(Server& s, std::string_view line) noexcept;

// Passes one line, without its newline, to the server's sink.
void send(Server& s, std::string_view line) noexcept;

// {"jsonrpc":"2.0","id":<id>,"result":<result>} or
// {"jsonrpc":"2.0","id":<id>,"error":{"code":<code>,"message":<message>}}, built in `a`.
void sendReply(Server& s, std::pmr::memory_resource& a, const json::Value& id, const Reply& r) noexcept;

// {"jsonrpc":"2.0","method":"<method>","params":<params>}, built in `a`. `method` is written
// without escaping: callers pass fixed names only.
void notify(Server& s, std::pmr::memory_resource& a, std::string_view method, std::string_view params) noexcept;

// Writes "value nested too deeply; message dropped" to the server's log: a line could not be built
// because a value from the client (an id, a progress token) nests deeper than the writer accepts.
void logTooDeep(Server& s) noexcept;

// Appends the reply envelope for `id` and `r` to `out`. Returns false when `id` nests deeper than the
// value writer accepts. Throws std::bad_alloc.
[[nodiscard]] bool appendReply(json::Text& out, const json::Value& id, const Reply& r);
