// Micro-benchmarks of `handle`: one input line to its reply line, without the process around it.
// Methods answered on the main thread reply before `handle` returns; tool calls hand their arena to
// a worker, so those benchmarks wait for the reply to reach the sink, which makes the hand-off part
// of the measured time.

#include <benchmark/benchmark.h>

#include <condition_variable>
#include <cstdint>
#include <memory_resource>
#include <mutex>
#include <string>
#include <string_view>

#include "server/server.h"

namespace {

// Counts the lines of the main thread. Not locked: only `handle` on the benchmark thread writes.
struct CountingSink {
  std::uint64_t lines = 0;
  std::uint64_t bytes = 0;
  std::string* capture = nullptr;  // when set, receives a copy of the next line

  static void write(void* ctx, std::string_view line) {
    auto& sink = *static_cast<CountingSink*>(ctx);
    ++sink.lines;
    sink.bytes += line.size();
    if (sink.capture) sink.capture->assign(line);
  }
};

// Counts lines from any thread and lets the benchmark wait for the n-th one.
struct WaitingSink {
  std::mutex mutex;
  std::condition_variable arrived;
  std::uint64_t lines = 0;  // guarded by mutex
  std::uint64_t bytes = 0;  // guarded by mutex
  std::string last;         // guarded by mutex; kept only while `keep_last` is set
  bool keep_last = false;   // guarded by mutex

  static void write(void* ctx, std::string_view line) {
    auto& sink = *static_cast<WaitingSink*>(ctx);
    {
      std::lock_guard lock(sink.mutex);
      ++sink.lines;
      sink.bytes += line.size();
      if (sink.keep_last) sink.last.assign(line);
    }
    sink.arrived.notify_one();
  }

  void waitFor(std::uint64_t n) {
    std::unique_lock lock(mutex);
    arrived.wait(lock, [&] { return lines >= n; });
  }
};

// Log lines (out of memory, values nested too deeply) must not happen in a benchmark.
struct LogSink {
  std::uint64_t lines = 0;
  static void write(void* ctx, std::string_view) { ++static_cast<LogSink*>(ctx)->lines; }
};

bool isResultFor(std::string_view reply, std::string_view id) {
  std::string head = R"({"jsonrpc":"2.0","id":)";
  head += id;
  head += R"(,"result":)";
  return reply.starts_with(head);
}

// A method answered on the main thread, its reply checked once before the timed loop.
void answeredAtOnce(benchmark::State& state, std::string_view line) {
  CountingSink out;
  LogSink log;
  ServerPtr server = initServer(*std::pmr::new_delete_resource(), Sink{&out, &CountingSink::write},
                                Sink{&log, &LogSink::write});
  std::string reply;
  out.capture = &reply;
  handle(*server, line);
  out.capture = nullptr;
  if (!isResultFor(reply, "7")) return state.SkipWithError(("unexpected reply: " + reply).c_str());

  const std::uint64_t lines_before = out.lines;
  const std::uint64_t bytes_before = out.bytes;
  for (auto _ : state) handle(*server, line);
  if (out.lines - lines_before != static_cast<std::uint64_t>(state.iterations()) || log.lines != 0) state.SkipWithError("replies missing");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  state.counters["reply_bytes"] = static_cast<double>(out.bytes - bytes_before) / static_cast<double>(state.iterations());
}

// A tool call: `burst` lines are handled, then the benchmark waits until all their replies are out.
void toolCall(benchmark::State& state, std::string_view line) {
  const auto burst = static_cast<std::uint64_t>(state.range(0));
  WaitingSink out;
  LogSink log;
  ServerPtr server = initServer(*std::pmr::new_delete_resource(), Sink{&out, &WaitingSink::write},
                                Sink{&log, &LogSink::write});
  {
    std::lock_guard lock(out.mutex);
    out.keep_last = true;
  }
  handle(*server, line);
  out.waitFor(1);
  std::string reply;
  {
    std::lock_guard lock(out.mutex);
    out.keep_last = false;
    reply = out.last;
  }
  if (!isResultFor(reply, "7")) return state.SkipWithError(("unexpected reply: " + reply).c_str());

  std::uint64_t expected = 1;
  for (auto _ : state) {
    for (std::uint64_t i = 0; i < burst; ++i) handle(*server, line);
    expected += burst;
    out.waitFor(expected);
  }
  server->tools.group.wait();
  if (log.lines != 0) state.SkipWithError("log lines written");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * burst));
}

constexpr std::string_view ping = R"({"jsonrpc":"2.0","id":7,"method":"ping"})";
constexpr std::string_view initialize =
    R"({"jsonrpc":"2.0","id":7,"method":"initialize","params":{"protocolVersion":"2025-06-18",)"
    R"("capabilities":{"roots":{"listChanged":true}},"clientInfo":{"name":"bench","version":"1.0"}}})";
constexpr std::string_view tools_list = R"({"jsonrpc":"2.0","id":7,"method":"tools/list"})";
constexpr std::string_view read_readme =
    R"({"jsonrpc":"2.0","id":7,"method":"resources/read","params":{"uri":"demo://readme"}})";
constexpr std::string_view read_note =
    R"({"jsonrpc":"2.0","id":7,"method":"resources/read","params":{"uri":"demo://notes/shopping list"}})";
constexpr std::string_view echo =
    R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"echo","arguments":{"text":"hello"}}})";
constexpr std::string_view image =
    R"({"jsonrpc":"2.0","id":7,"method":"tools/call","params":{"name":"image","arguments":{"color":"green"}}})";

BENCHMARK_CAPTURE(answeredAtOnce, ping, ping);
BENCHMARK_CAPTURE(answeredAtOnce, initialize, initialize);
BENCHMARK_CAPTURE(answeredAtOnce, tools_list_page1, tools_list);
BENCHMARK_CAPTURE(answeredAtOnce, resources_read_readme, read_readme);
BENCHMARK_CAPTURE(answeredAtOnce, resources_read_note, read_note);
// burst 1: the round trip of one call; burst 64: the main thread hands off while workers reply.
BENCHMARK_CAPTURE(toolCall, echo, echo)->Arg(1)->Arg(64)->UseRealTime();
BENCHMARK_CAPTURE(toolCall, image, image)->Arg(1)->Arg(64)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
