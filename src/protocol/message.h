#pragma once
// JSON-RPC messages out: `send`, `sendReply` and `notify` are the only ways out. Each builds its
// line in the allocator it is given, which must belong to the message or the call being answered.
// Reports go to the wire's log.

#include <cstdint>
#include <memory_resource>
#include <optional>
#include <span>
#include <string_view>

#include "protocol/json.h"
#include "protocol/sink.h"

enum class ErrorCode : std::int32_t {
  ParseError = -32700,
  InvalidRequest = -32600,
  MethodNotFound = -32601,
  InvalidParams = -32602,
  InternalError = -32603,
  ResourceNotFound = -32002,
  // The modern era's own (MCP 2026-07-28, basic/index)
  MissingRequiredClientCapability = -32021,
  UnsupportedProtocolVersion = -32022,
};

struct Era;

// What kind of result a modern request gets ("resultType", and whether caching hints go with it).
// Legacy results carry none of it.
enum class ResultType : std::uint8_t {
  Complete,
  Cacheable,      // complete, with the caching hints (MCP 2026-07-28, server/utilities/caching)
  InputRequired,  // MCP 2026-07-28, basic/patterns/mrtr
};

// How long a modern client may keep a cacheable result: nothing this server lists or reads changes
// while it runs, and an hour bounds how long a client keeps the lists of a build since replaced.
inline constexpr std::int64_t cache_ttl_ms = 3600000;

// The server's identity, as `initialize` gives it and every modern result's _meta carries it:
// {"name":...,"title":...,"version":...}.
extern const std::string_view server_info;

// The outcome of a request: a ready JSON result text, or an error code with its message. Both
// texts are views into the message's arena (or constants).
struct Reply {
  std::string_view text;            // a result: the JSON value, inserted verbatim; an error: the message
  std::optional<ErrorCode> error;   // set for an error, and only then
  std::string_view data = {};       // an error's "data", JSON text; empty for none
  std::string_view meta = {};       // a modern result's own members of its "_meta", JSON text (no braces)
  ResultType type = ResultType::Complete;  // a result's kind, for a modern request
  // A tool's -32602 that is about the request, not the tool's arguments: it stays an error in the
  // modern era, where argument problems become results with isError.
  bool about_request = false;
  // A long result given as pieces instead of `text`: an object's text once they are joined in
  // order, the same piece perhaps many times over, with members of its own. It goes to a sink as
  // pieces when the sink takes them (Sink::write_pieces), so that it is never built whole; its
  // bytes are the same either way.
  std::span<const std::string_view> pieces = {};

  static Reply result(std::string_view json) { return {json, std::nullopt}; }
  static Reply cacheable(std::string_view json) {
    Reply r{json, std::nullopt};
    r.type = ResultType::Cacheable;
    return r;
  }
  static Reply failure(ErrorCode code, std::string_view message) { return {message, code}; }
  static Reply invalid(std::string_view message) { return failure(ErrorCode::InvalidParams, message); }
};

// The error reply whose message is <prefix><name><suffix>, built in `a`: the texts that name what
// a client sent ("Method not found: frobnicate"). Throws std::bad_alloc.
Reply failureNaming(std::pmr::memory_resource& a, ErrorCode code, std::string_view prefix, std::string_view name,
                    std::string_view suffix = {});

// Passes one line, without its newline, to the wire's standard output.
void send(const Wire& w, std::string_view line) noexcept;

// Passes one line given as pieces to `out`: as they are when it takes pieces, else joined in `a`.
// Throws std::bad_alloc.
void writePieces(const Sink& out, std::pmr::memory_resource& a, std::span<const std::string_view> pieces);

// {"jsonrpc":"2.0","id":<id>,"result":<result>} or
// {"jsonrpc":"2.0","id":<id>,"error":{"code":<code>,"message":<message>[,"data":<data>]}}, built in `a`.
// For a modern `era` a result, an object, is written with what that era adds around its members:
// {"resultType":"<type>",<members>[,"ttlMs":<ttl>,"cacheScope":"public"],"_meta":{[<meta>,]
// "io.modelcontextprotocol/serverInfo":<server_info>}}. Errors are the same in both eras.
void sendReply(const Wire& w, std::pmr::memory_resource& a, const json::Value& id, const Reply& r) noexcept;
void sendReply(const Wire& w, std::pmr::memory_resource& a, const json::Value& id, const Reply& r,
               const Era& era) noexcept;

// {"jsonrpc":"2.0","method":"<method>","params":<params>}, built in `a`. `method` is written
// without escaping: callers pass fixed names only.
void notify(const Wire& w, std::pmr::memory_resource& a, std::string_view method, std::string_view params) noexcept;

// Writes "value nested too deeply; message dropped" to the wire's log: a line could not be built
// because a value from the client (an id, a progress token) nests deeper than the writer accepts.
void logTooDeep(const Wire& w) noexcept;

// Writes "out of memory; message dropped" to the wire's log. Called instead of sending a message
// that could not be built; the caller then carries on.
void logOom(const Wire& w) noexcept;

// Appends the reply envelope for `id` and `r` to `out`, as sendReply writes it for a legacy request,
// or for a modern one when `modern`. Returns false when `id` nests deeper than the value writer
// accepts. Throws std::bad_alloc.
[[nodiscard]] bool appendReply(json::Text& out, const json::Value& id, const Reply& r, bool modern = false);
