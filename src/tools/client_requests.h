#pragma once
// Requests from the server to the client. askClient sends "roots/list" and is suspended until the
// answer comes or its time is up; deliverResponse (on reading the client's answer) hands the answer
// to the request that waits for it, by id, and has the loop resume it on its next step. They meet
// in ClientRequests::pending.

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "protocol/expected.h"
#include "protocol/json.h"
#include "protocol/sink.h"
#include "runtime/coroutine.h"
#include "runtime/loop.h"

struct Waiter;

// The requests to the client that wait for their answers.
struct ClientRequests {
  explicit ClientRequests(std::pmr::memory_resource& gpa) : gpa(gpa), pending(&gpa) {}
  std::pmr::memory_resource& gpa;  // owns the keys of `pending` and the answers handed over
  // Keyed by the decimal text of their id.
  std::pmr::unordered_map<std::pmr::string, Waiter*> pending;
  std::int64_t next_id = 1000;  // the last id used
  // How long a request waits for its answer once it has left. Fixed for the program.
  static constexpr std::chrono::seconds ask_timeout{10};
};

// One outstanding request; it lives in the askClient call that waits on it.
struct Waiter {
  std::optional<std::pmr::string> reply;  // the answer line, in gpa
  bool answered = false;                  // set once, by deliverResponse
  bool lost = false;                      // an answer came but could not be kept (no memory)
  Loop* loop = nullptr;                   // while the call is suspended for the answer:
  Timer wake;                             //   armed on `loop` for the time-out, or now once answered
};

enum class AskFailure : std::uint8_t {
  TimedOut,    // nothing came within ClientRequests::ask_timeout
  AnswerLost,  // an answer came but could not be kept for lack of memory
};

// Sends {"jsonrpc":"2.0","id":<id>,"method":"roots/list","params":{}} with the next id (1001 first)
// and waits for the answer, up to ask_timeout from the moment the request has left. Yields the
// whole answering line, copied into `a`, or why there is none. Throws std::bad_alloc.
// REQUIRES: `a` belongs to the calling tool call.
Awaited<Expected<std::string_view, AskFailure>> askClient(const Wire& w, ClientRequests& r, Loop& loop,
                                                          std::pmr::memory_resource& a);

// Hands the client's answer `line` (trimmed) to the request whose id equals `id` written as JSON;
// the loop resumes it on its next step: 1001 and 1001.0 match request 1001, the string "1001" never does. Unknown ids,
// late and repeated answers are dropped without output. REQUIRES: `a` is the message's arena.
void deliverResponse(const Wire& w, ClientRequests& r, std::pmr::memory_resource& a, const json::Value& id,
                     std::string_view line) noexcept;
