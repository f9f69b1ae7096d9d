#pragma once
// JSON-RPC messages out: `send`, `sendReply` and `notify` are the only ways out. Each builds its
// line in the allocator it is given, which must belong to the message or the call being answered.
// Reports go to the wire's log.

#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string_view>

#include "protocol/json.h"
#include "protocol/sink.h"

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
  std::string_view text;            // a result: the JSON value, inserted verbatim; an error: the message
  std::optional<ErrorCode> error;   // set for an error, and only then

  static Reply result(std::string_view json) { return {json, std::nullopt}; }
  static Reply failure(ErrorCode code, std::string_view message) { return {message, code}; }
  static Reply invalid(std::string_view message) { return failure(ErrorCode::InvalidParams, message); }
};

// The error reply whose message is <prefix><name><suffix>, built in `a`: the texts that name what
// a client sent ("Method not found: frobnicate"). Throws std::bad_alloc.
Reply failureNaming(std::pmr::memory_resource& a, ErrorCode code, std::string_view prefix, std::string_view name,
                    std::string_view suffix = {});

// Passes one line, without its newline, to the wire's standard output.
void send(const Wire& w, std::string_view line) noexcept;

// {"jsonrpc":"2.0","id":<id>,"result":<result>} or
// {"jsonrpc":"2.0","id":<id>,"error":{"code":<code>,"message":<message>}}, built in `a`.
void sendReply(const Wire& w, std::pmr::memory_resource& a, const json::Value& id, const Reply& r) noexcept;

// {"jsonrpc":"2.0","method":"<method>","params":<params>}, built in `a`. `method` is written
// without escaping: callers pass fixed names only.
void notify(const Wire& w, std::pmr::memory_resource& a, std::string_view method, std::string_view params) noexcept;

// Writes "value nested too deeply; message dropped" to the wire's log: a line could not be built
// because a value from the client (an id, a progress token) nests deeper than the writer accepts.
void logTooDeep(const Wire& w) noexcept;

// Writes "out of memory; message dropped" to the wire's log. Called instead of sending a message
// that could not be built; the caller then carries on.
void logOom(const Wire& w) noexcept;

// Appends the reply envelope for `id` and `r` to `out`. Returns false when `id` nests deeper than the
// value writer accepts. Throws std::bad_alloc.
[[nodiscard]] bool appendReply(json::Text& out, const json::Value& id, const Reply& r);
