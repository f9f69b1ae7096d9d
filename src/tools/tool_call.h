#pragma once
// tools/call from the request to its reply. startToolCall (main thread) looks the tool up in the
// table bound from the catalogue; a tool that never waits runs at once, any other is handed, with
// the message's arena, to a worker of the task group, and runToolCall sends the reply there. Also
// what every tool uses: argument readers and result builders.

#include <cstdint>
#include <memory_resource>
#include <span>
#include <string_view>
#include <vector>

#include "methods/catalogue.h"
#include "protocol/arena.h"
#include "protocol/expected.h"
#include "protocol/json.h"
#include "protocol/message.h"
#include "protocol/task_group.h"
#include "tools/client_requests.h"

struct ToolCalls;

// One tool: what it is called in the catalogue, what runs it, and whether it may wait (sleep, wait
// for the client, or end the process). A tool that never waits runs on the thread that read its
// request. `run` returns the reply, built in `a`; `progress_token` is null when the call had none.
// Argument problems are the whole answer: -32602 before anything is sent. Throws std::bad_alloc.
struct Tool {
  std::string_view name;
  Reply (*run)(ToolCalls& t, std::pmr::memory_resource& a, const json::Value& args, const json::Value* progress_token);
  bool waits;
};

// The tool-call subsystem: the tools bound from the catalogue, the requests to the client, and the
// workers that run calls beside the main thread.
struct ToolCalls {
  // Workers come from `start`; tests inject one that fails.
  ToolCalls(std::pmr::memory_resource& gpa, Wire wire, ArenaCache& arenas,
            ThreadStarter start = &startDetachedThread);
  std::pmr::memory_resource& gpa;
  Wire wire;
  ArenaCache& arenas;  // where a task gives back the arena of the message it took over
  ClientRequests requests;
  std::pmr::vector<const Tool*> table;  // in catalogue order; read-only after bindTools
  TaskGroup group;  // declared last: released first, after every running call has ended
};

// Binds each tool of the catalogue to its entry in `tools`. False when a catalogue tool has none.
// Throws std::bad_alloc.
bool bindTools(ToolCalls& t, const Catalogue& c, std::span<const Tool> tools);

// The bound tool called `name`, or null.
const Tool* findTool(const ToolCalls& t, std::string_view name);

// Answers an unknown tool name at once (-32602 "Unknown tool: <name>"). Runs a tool that never waits
// here; hands any other, with `arena`, to a worker and returns with `arena` empty. When no worker can
// be had at all, a waiting tool is answered with a tool error instead of blocking this thread.
// REQUIRES: main thread; `id` and `params` live in `arena`. Throws std::bad_alloc (nothing sent).
void startToolCall(ToolCalls& t, ArenaPtr& arena, const json::Value& id, const json::Value& params);

// Runs `tool` with the arguments in `params` and sends its reply, built in `a`, the arena of the
// message that holds `id` and `params`. Out of memory drops the reply with one report.
void runToolCall(ToolCalls& t, const Tool& tool, std::pmr::memory_resource& a, const json::Value& id,
                 const json::Value& params) noexcept;

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
