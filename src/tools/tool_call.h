#pragma once
// tools/call from the request to its reply. startToolCall (main thread) checks the tool name and
// hands the message, arena and all, to a worker of the server's task group; runToolCall runs the
// tool there and sends the reply. Also what every tool uses: argument readers and result builders.

#include <cstdint>
#include <memory_resource>
#include <string_view>

#include "protocol/expected.h"
#include "protocol/json.h"
#include "protocol/message.h"
#include "protocol/server.h"

// Answers an unknown tool name at once (-32602 "Unknown tool: <name>"); otherwise moves `arena` into
// a task that runs the call and replies when it ends, and returns with `arena` empty. When no worker
// can take the task, the call runs here, on the main thread, before this returns.
// REQUIRES: main thread; `id` and `params` live in `arena`. Throws std::bad_alloc (nothing sent).
void startToolCall(Server& s, ArenaPtr& arena, const json::Value& id, const json::Value& params);

// Runs the call named in `params`, sends its reply, then releases `arena`, which holds `id` and
// `params`. Out of memory drops the reply with one report.
void runToolCall(Server& s, ArenaPtr arena, const json::Value& id, const json::Value& params) noexcept;

enum class ArgError : std::uint8_t { Missing, WrongType, OutOfRange };

// The string member `name` of `args`; null and other kinds are WrongType.
Expected<std::string_view, ArgError> argString(const json::Value& args, std::string_view name);
// The number member `name` of `args`, an integer taken as the nearest double. Null, number texts
// too large for either kind, and all other kinds are WrongType.
Expected<double, ArgError> argNumber(const json::Value& args, std::string_view name);
// The integer member `name` of `args`, or `fallback` when absent or null; floats (even 2.0) are
// WrongType. The value, a fallback included, must lie in [lo, hi], else OutOfRange.
Expected<std::int64_t, ArgError> argInt(const json::Value& args, std::string_view name, std::int64_t fallback,
                                        std::int64_t lo, std::int64_t hi);

// -32602 "Invalid arguments: <name> is missing / has the wrong type / is out of range", in `a`.
Reply argError(std::pmr::memory_resource& a, ArgError e, std::string_view name);

// {"content":[{"type":"text","text":<text>}],"isError":<is_error>}, in `a`.
Reply textResult(std::pmr::memory_resource& a, std::string_view text, bool is_error);
