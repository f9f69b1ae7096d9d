#pragma once
// Requests from the server to the client. askClient (on a tool's worker) sends "roots/list" and
// waits for the answer; deliverResponse (main thread) hands the client's answer to the waiter by id.
// They meet in ClientRequests::pending under its mutex, which is never held while writing a line.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory_resource>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "protocol/expected.h"
#include "protocol/json.h"
#include "protocol/sink.h"

struct Waiter;

// The requests to the client that wait for their answers.
struct ClientRequests {
  explicit ClientRequests(std::pmr::memory_resource& gpa) : gpa(gpa), pending(&gpa) {}
  std::pmr::memory_resource& gpa;  // owns the keys of `pending` and the answers handed over
  std::mutex mutex;
  // Keyed by the decimal text of their id.
  std::pmr::unordered_map<std::pmr::string, Waiter*> pending;  // guarded by mutex
  std::int64_t next_id = 1000;                                  // guarded by mutex; the last id used
  // How long a request waits for its answer. Fixed for the program; tests shorten it.
  std::chrono::nanoseconds ask_timeout = std::chrono::seconds(10);
};

// One outstanding request; it lives in the askClient call that waits on it.
struct Waiter {
  std::optional<std::pmr::string> reply;  // guarded by ClientRequests::mutex; the answer line, in gpa
  bool answered = false;                  // guarded by ClientRequests::mutex; set once, by deliverResponse
  bool lost = false;  // guarded by ClientRequests::mutex; an answer came but could not be kept (no memory)
  std::condition_variable event;
};

enum class AskFailure : std::uint8_t {
  TimedOut,    // nothing came within r.ask_timeout
  AnswerLost,  // an answer came but could not be kept for lack of memory
};

// Sends {"jsonrpc":"2.0","id":<id>,"method":"roots/list","params":{}} with the next id (1001 first)
// and waits up to r.ask_timeout. Returns the whole answering line, copied into `a`, or why there is
// none. Throws std::bad_alloc. REQUIRES: runs on a tool call's worker, never on the thread that
// reads input; `a` belongs to the call.
Expected<std::string_view, AskFailure> askClient(const Wire& w, ClientRequests& r, std::pmr::memory_resource& a);

// Hands the client's answer `line` (trimmed) to the request whose id equals `id` written as JSON:
// 1001 and 1001.0 match request 1001, the string "1001" never does. Unknown ids, late and repeated
// answers are dropped without output. REQUIRES: main thread; `a` is the message's arena.
void deliverResponse(const Wire& w, ClientRequests& r, std::pmr::memory_resource& a, const json::Value& id,
                     std::string_view line) noexcept;
