#pragma once
// tools/call from the request to its reply. startToolCall looks the tool up in the table bound from
// the catalogue. A tool that never waits is a plain function: it answers at once, in the message's
// arena. A tool that may wait is a coroutine: it becomes a task of its own, holding only what it
// needs in memory of its own, and is suspended whenever it waits; its reply leaves when it ends.
// Also what every tool uses: argument readers and result builders.

#include <coroutine>
#include <cstdint>
#include <memory_resource>
#include <span>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "methods/catalogue.h"
#include "protocol/arena.h"
#include "protocol/era.h"
#include "protocol/expected.h"
#include "protocol/json.h"
#include "protocol/message.h"
#include "runtime/loop.h"
#include "tools/client_requests.h"

struct ToolCalls;
struct Session;
struct CallGroup;
class ToolTask;

void abandonCalls(CallGroup& g) noexcept;

// A call of a tool that may wait: everything it keeps while suspended. `arena` owns the copies of
// the request's id, arguments and progress token, and what the call builds; the message it came in
// is gone by the time the tool runs.
struct ToolCall {
  ToolCalls* t = nullptr;
  Session* session = nullptr;  // whose call it is
  Wire wire;                   // where its lines go: the wire of the request that started it
  CallGroup* group = nullptr;  // the group it joined, if its request gave one
  ArenaPtr arena;
  json::Value id;
  json::Value args;                                // an object
  const json::Value* progress_token = nullptr;     // null when the call has none
  Era era;  // the request's; for a modern one, what it points to is copied into `arena` too
  // A modern call only: what a retry of a multi round-trip request brings, null or empty when absent
  // (MCP 2026-07-28, basic/patterns/mrtr); and the compact text of its id, its key among the
  // session's open requests.
  const json::Value* input_responses = nullptr;
  std::string_view request_state;
  std::string_view id_key;
  std::pmr::memory_resource& a() const { return arena->resource(); }
};

// A tool that never waits: returns the reply, built in `a`; `progress_token` is null when the
// call had none. Throws std::bad_alloc.
using AnsweringTool = Reply (*)(ToolCalls& t, Session& s, std::pmr::memory_resource& a, const json::Value& args,
                                const json::Value* progress_token);
// A tool that may wait: a coroutine that co_returns its reply.
using WaitingTool = ToolTask (*)(ToolCall call);

// One tool: what it is called in the catalogue, and what runs it. What kind of tool it is follows
// from the function it is given. Argument problems are the whole answer: -32602 before anything
// is sent. For a modern request they become a result with isError and the same text (MCP
// 2026-07-28, server/tools), unless the tool marks its -32602 `about_request`.
struct Tool {
  constexpr Tool(std::string_view name, AnsweringTool answer) : name(name), answer(answer) {}
  constexpr Tool(std::string_view name, WaitingTool start) : name(name), start(start) {}
  std::string_view name;
  AnsweringTool answer = nullptr;
  WaitingTool start = nullptr;
};

// The tool-call subsystem, as every session shares it: the tools bound from the catalogue, and the
// loop that resumes calls that wait.
struct ToolCalls {
  ToolCalls(std::pmr::memory_resource& gpa, Loop& loop);
  std::pmr::memory_resource& gpa;  // the frames and arenas of calls that wait
  Loop& loop;
  std::pmr::vector<const Tool*> table;  // in catalogue order; read-only after bindTools
};

// The calls of one session that wait, so that they can be abandoned with it: a ring of their
// promises, each linked in while its call runs.
struct RunningCall {
  RunningCall* next = nullptr;
  RunningCall* prev = nullptr;
  std::coroutine_handle<> frame;
};

// The calls that wait, started for one answer, as whoever carries that answer follows them (an HTTP
// response that becomes a stream while they run, say): told whenever one joins or leaves, and
// abandoned together, at a cost in proportion to their own number.
struct CallGroup {
  CallGroup() noexcept { calls.next = calls.prev = &calls; }
  CallGroup(const CallGroup&) = delete;
  CallGroup& operator=(const CallGroup&) = delete;
  ~CallGroup() { abandonCalls(*this); }
  RunningCall calls;           // the ring, through this one
  std::size_t running = 0;     // calls in the ring
  bool joined = false;         // a call has joined since the group was made
  void (*changed)(CallGroup& g) noexcept = nullptr;
  void* owner = nullptr;
};

// A modern request that may still write: a call that waits, or a subscriptions/listen (no call),
// with the wire its lines go to.
struct OpenRequest {
  RunningCall* call = nullptr;
  Wire wire;
};

// One client's share of the server: where its lines go, its requests to the client and its calls
// that wait. Standard input and output have exactly one; a session knows no transport.
struct Session {
  Session(std::pmr::memory_resource& gpa, Wire wire);
  ~Session();  // abandons the calls still running
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;
  Wire wire;
  ClientRequests requests;
  RunningCall calls;  // the ring, through this one
  // The modern requests that may still write, by the compact text of their id, so that a
  // notifications/cancelled finds its request at once. Keys and entries in the session's gpa.
  struct TextHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
  };
  std::pmr::unordered_map<std::pmr::string, OpenRequest, TextHash, std::equal_to<>> open;
};

// Ends the modern request of `s` whose id is `id`, if it is open: a call that waits stops where it
// stands, a subscription ends; nothing more is written for either. Other ids are ignored (MCP
// 2026-07-28, basic/patterns/cancellation). Allocates nothing from the session.
// REQUIRES: `a` is the arena of the message that names `id`.
void cancelRequest(Session& s, std::pmr::memory_resource& a, const json::Value& id) noexcept;

// Ends every call of `s` that waits, where it stands: no reply, no notification; its timers and its
// requests to the client go with it.
void abandonCalls(Session& s) noexcept;
// abandonCalls(CallGroup& g): ends every call of `g` where it stands, as for a session.

// The coroutine type of a tool that may wait. It starts at once and runs until it first waits; its
// frame comes from the server's `gpa` and counts as one of the loop's tasks until it ends. What it
// co_returns is sent as the reply to the call's id; running out of memory drops the reply with one
// report instead. Either way the call's memory goes with the frame.
class ToolTask {
 public:
  struct promise_type {
    explicit promise_type(ToolCall& call) noexcept;
    ~promise_type();
    ToolTask get_return_object() noexcept { return {}; }
    std::suspend_never initial_suspend() noexcept { return {}; }
    std::suspend_never final_suspend() noexcept { return {}; }
    void return_value(const Reply& reply) noexcept;
    void unhandled_exception() noexcept;
    static void* operator new(std::size_t size, ToolCall& call);
    static void operator delete(void* frame, std::size_t size) noexcept;

    ToolCall& call;
    RunningCall running;   // linked into the session's calls until the call ends
    RunningCall in_group;  // and into its group's, when it has one
    bool open = false;     // a modern call: one of the session's open requests, under call.id_key
  };
};

// Binds each tool of the catalogue to its entry in `tools`. False when a catalogue tool has none.
// Throws std::bad_alloc.
bool bindTools(ToolCalls& t, const Catalogue& c, std::span<const Tool> tools);

// Where one request of a session is answered: the wire its lines go to, the group its calls that
// wait join (null: none), and its era, as read where the request was read.
struct Answering {
  Session& session;
  Wire wire;
  CallGroup* group = nullptr;
  Era era = {};
};

// Answers an unknown tool name at once (-32602 "Unknown tool: <name>", in either era). Runs a tool that never
// waits here, in `a`, the message's arena. Starts a tool that may wait with copies of what it
// needs: the message's arena is free again as soon as this returns. A modern call that waits is
// one of the session's open requests while it runs.
// REQUIRES: `id` and `params` live in `a`. Throws std::bad_alloc before a waiting tool starts
// (nothing sent).
void startToolCall(ToolCalls& t, const Answering& to, std::pmr::memory_resource& a, const json::Value& id,
                   const json::Value& params);

// Runs `tool`, one that never waits, with the arguments in `params`, and sends its reply, built in
// `a`, the arena of the message that holds `id` and `params`. Out of memory drops the reply with
// one report.
void runToolCall(ToolCalls& t, const Answering& to, const Tool& tool, std::pmr::memory_resource& a,
                 const json::Value& id, const json::Value& params) noexcept;

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
