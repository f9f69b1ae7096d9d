#pragma once
// Requests from the server to the client. askClient (on a tool's worker) sends "roots/list" and
// waits for the answer; deliverResponse (main thread) hands the client's answer to the waiter by id.
// They meet in Server::pending under Server::mutex, which is never held while writing a line.

#include <condition_variable>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/json.h"
#include "protocol/server.h"

// One outstanding request; it lives in the askClient call that waits on it.
struct Waiter {
  std::optional<std::pmr::string> reply;  // guarded by Server::mutex; the answer line, in gpa
  bool answered = false;                  // guarded by Server::mutex; set once, by deliverResponse
  bool lost = false;  // guarded by Server::mutex; an answer came but could not be kept (no memory)
  std::condition_variable event;
};

// Sends {"jsonrpc":"2.0","id":<id>,"method":"roots/list","params":{}} with the next id (1001 first)
// and waits up to s.ask_timeout. Returns the whole answering line, copied into `a`, or nullopt when
// nothing came in time. Throws std::bad_alloc, also when an answer came but could not be kept.
// REQUIRES: runs on a tool call's thread; `a` belongs to that call.
std::optional<std::string_view> askClient(Server& s, std::pmr::memory_resource& a);

// Hands the client's answer `line` (trimmed) to the request whose id equals `id` written as JSON:
// 1001 and 1001.0 match request 1001, the string "1001" never does. Unknown ids, late and repeated
// answers are dropped without output. REQUIRES: main thread; `a` is the message's arena.
void deliverResponse(Server& s, std::pmr::memory_resource& a, const json::Value& id, std::string_view line) noexcept;
