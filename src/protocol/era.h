#pragma once
// The era of one request (MCP 2026-07-28, basic/versioning). A legacy request is served as the
// revision its client's `initialize` negotiated, and as this server always has; a modern one names
// its revision, the client's capabilities and the log level it wants in its own `_meta`, and holds
// no state between requests. The era is read once, where the request is read, into an Era that is
// handed down: dispatch, the tools and the reply writer ask it, and nothing below parses `_meta`.

#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string_view>

#include "protocol/expected.h"
#include "protocol/json.h"
#include "protocol/message.h"

// The levels of a log line, least severe first (MCP 2026-07-28, server/utilities/logging).
enum class LogLevel : std::uint8_t { Debug, Info, Notice, Warning, Error, Critical, Alert, Emergency };

// What one request's era says. Its views live in the arena of the message it was read from.
struct Era {
  bool modern = false;
  std::string_view version;                          // modern: the revision it named
  const json::Value* client_capabilities = nullptr;  // modern: an object
  std::optional<LogLevel> log_level;                 // modern: the least level it wants log lines at;
                                                     // none: it wants none
  // Whether a modern request's client declared `capability` ("roots", say).
  bool clientHas(std::string_view capability) const {
    return client_capabilities && json::member(*client_capabilities, capability);
  }
  // Whether a modern request wants a log line at `level`. Legacy requests get every line, as always.
  bool wantsLog(LogLevel level) const { return !modern || (log_level && level >= *log_level); }
};

inline constexpr Era legacy_era{};

// Whether `params._meta` names "io.modelcontextprotocol/protocolVersion", whatever its kind: on
// standard input and output, what makes a request modern.
bool namesProtocolVersion(const json::Value& params);

// The modern revisions as a JSON array, ["2026-07-28"], appended to `out`. Throws std::bad_alloc.
void appendModernVersions(json::Text& out);
// An unsupported revision's error data, {"supported":[...],"requested":<requested>}, in `a`.
// Throws std::bad_alloc.
std::string_view unsupportedVersionData(std::pmr::memory_resource& a, std::string_view requested);

// The era of a request taken as modern, read from `params._meta`. The answer instead, built in `a`:
//   -32602 when "io.modelcontextprotocol/protocolVersion" is not a string, when
//          "io.modelcontextprotocol/clientCapabilities" is not an object, or when
//          "io.modelcontextprotocol/logLevel" is present and no log level;
//   -32022 "Unsupported protocol version", data {"supported":[...],"requested":<as sent>}, for a
//          revision not in modern_versions (checked right after the version is found a string).
// Throws std::bad_alloc.
Expected<Era, Reply> readModernEra(std::pmr::memory_resource& a, const json::Value& params);

// The era of a request read on standard input from `meta`, its `params._meta`, in one pass:
// legacy_era when it names no "io.modelcontextprotocol/protocolVersion" (namesProtocolVersion), else
// as readModernEra reads it, with the same answers instead. Throws std::bad_alloc.
Expected<Era, Reply> readEra(std::pmr::memory_resource& a, const json::Value& meta);
