#pragma once
// The one server object and the memory every message lives in. `main` builds the sinks, then the
// Server (which parses the tool catalogue once), and keeps both until the end. Every message gets
// its own arena over the server's general memory resource `gpa`; tests inject a `gpa` that fails.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>

#include "protocol/json.h"
#include "protocol/task_group.h"

struct Waiter;

// Where whole lines go. `write` receives one line without its newline, may be called from any
// thread at any time, adds the newline itself and never reports failure. A sink may hold lines
// back until `flush` (when not null) sends them out: every thread that writes calls it before it
// waits for anything (input, a task, a timer, an answer from the client).
struct Sink {
  void* ctx = nullptr;
  void (*write)(void* ctx, std::string_view line) = nullptr;
  void (*flush)(void* ctx) = nullptr;
};

// Sends out whatever `sink` holds back.
inline void flush(const Sink& sink) {
  if (sink.flush) sink.flush(sink.ctx);
}

// How many tool calls run at once before further calls run on the main thread instead.
inline constexpr std::size_t max_concurrent_calls = 1024;

struct Server {
  Server(std::pmr::memory_resource& gpa, Sink sink, Sink log);

  std::pmr::memory_resource& gpa;  // owns the Server, the arenas and their storage
  Sink sink;                       // standard output: every protocol line
  Sink log;                        // standard error: out-of-memory reports and the crash line
  std::pmr::monotonic_buffer_resource tools_arena;  // owns the parsed tool catalogue
  std::span<const json::Value> tools;               // read-only after start-up
  std::span<const std::string_view> tool_texts;     // each tool written compactly once, for listing

  // Requests to the client, keyed by the decimal text of their id; keys are owned by `gpa`.
  std::mutex mutex;
  std::pmr::unordered_map<std::pmr::string, Waiter*> pending;  // guarded by mutex
  std::int64_t next_id = 1000;                                  // guarded by mutex; the last id used
  // How long a request to the client waits for its answer. Fixed for the program; tests shorten it.
  std::chrono::nanoseconds ask_timeout = std::chrono::seconds(10);

  TaskGroup group;  // declared last: released first, after every running tool call has ended
};

struct ServerDeleter {
  void operator()(Server* s) const noexcept;
};
using ServerPtr = std::unique_ptr<Server, ServerDeleter>;

// Allocates the server from `gpa` and parses the tool catalogue into it. Throws std::bad_alloc when
// memory runs out; nothing is left allocated then.
ServerPtr initServer(std::pmr::memory_resource& gpa, Sink sink, Sink log);

// A message's arena. Its first block lives inside the object, so a small request costs one
// allocation from `gpa`; larger messages grow it block by block from `gpa`.
class Arena {
 public:
  explicit Arena(std::pmr::memory_resource& gpa) : resource_(first_block_, sizeof first_block_, &gpa) {}
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  std::pmr::memory_resource& resource() { return resource_; }

 private:
  alignas(std::max_align_t) std::byte first_block_[3072];
  std::pmr::monotonic_buffer_resource resource_;
};

struct ArenaDeleter {
  std::pmr::memory_resource* gpa = nullptr;
  void operator()(Arena* arena) const noexcept;
};
using ArenaPtr = std::unique_ptr<Arena, ArenaDeleter>;

// A fresh arena for one message, allocated from `s.gpa`. Throws std::bad_alloc.
ArenaPtr newMessageArena(Server& s);

// Writes "out of memory; message dropped" to the server's log. Called instead of sending a message
// that could not be built; the caller then carries on.
void logOom(Server& s) noexcept;
