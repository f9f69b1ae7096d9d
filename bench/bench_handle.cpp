// Micro-benchmarks of `handle`: one input line to its reply line, without the process around it.
// Every request measured here, tool calls of tools that never wait included, is answered before
// `handle` returns.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>

#include "runtime/loop.h"
#include "server/server.h"

namespace {

// Counts the lines written.
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

// A request answered at once, its reply checked once before the timed loop.
void answeredAtOnce(benchmark::State& state, std::string_view line) {
  CountingSink out;
  LogSink log;
  Loop loop(*std::pmr::new_delete_resource());
  ServerPtr server = initServer(*std::pmr::new_delete_resource(), loop);
  Session session(*std::pmr::new_delete_resource(), Wire{Sink{&out, &CountingSink::write}, Sink{&log, &LogSink::write}});
  std::string reply;
  out.capture = &reply;
  handle(*server, session, line);
  out.capture = nullptr;
  if (!isResultFor(reply, "7")) return state.SkipWithError(("unexpected reply: " + reply).c_str());

  const std::uint64_t lines_before = out.lines;
  const std::uint64_t bytes_before = out.bytes;
  for (auto _ : state) handle(*server, session, line);
  if (out.lines - lines_before != static_cast<std::uint64_t>(state.iterations()) || log.lines != 0) state.SkipWithError("replies missing");
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()));
  state.counters["reply_bytes"] = static_cast<double>(out.bytes - bytes_before) / static_cast<double>(state.iterations());
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
BENCHMARK_CAPTURE(answeredAtOnce, tools_call_echo, echo);
BENCHMARK_CAPTURE(answeredAtOnce, tools_call_image, image);

}  // namespace

BENCHMARK_MAIN();
