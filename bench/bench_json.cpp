// Micro-benchmarks of the JSON reader and writers: what one request line costs to parse, how the
// parser scales with a long string and a wide object, and the float and string writers on their own.
// Every parse gets a fresh message arena over the heap, as in `handle`.

#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/json.h"
#include "protocol/arena.h"

namespace {

constexpr std::string_view request_line =
    R"({"jsonrpc":"2.0","id":42,"method":"tools/call","params":{"name":"echo",)"
    R"("arguments":{"text":"hello, world","times":2},"_meta":{"progressToken":"tok-17"}}})";

// Parses `text` into a fresh arena; aborts the run when the text is rejected.
void parseEach(benchmark::State& state, std::string_view text) {
  for (auto _ : state) {
    ArenaPtr arena = newArena(*std::pmr::new_delete_resource(), message_first_block);
    std::optional<json::Value> v = json::parse(arena->resource(), text);
    if (!v) {
      state.SkipWithError("rejected");
      return;
    }
    benchmark::DoNotOptimize(v->data);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}

void BM_ParseRequest(benchmark::State& state) { parseEach(state, request_line); }
BENCHMARK(BM_ParseRequest);

// {"text":"<1 MB>"}: plain ASCII (arg 0), or text with a multi-byte character every 16 bytes (arg 1),
// which leaves the parser's eight-byte ASCII scan more often.
void BM_ParseLongString(benchmark::State& state) {
  std::string text = R"({"jsonrpc":"2.0","id":1,"method":"x","params":{"text":")";
  const std::size_t size = 1 << 20;
  std::string body;
  body.reserve(size);
  while (body.size() < size) body += state.range(0) == 0 ? "abcdefghijklmnop" : "abcdefghijklm\xC3\x97";
  text += body;
  text += R"("}})";
  parseEach(state, text);
}
BENCHMARK(BM_ParseLongString)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

// {"k0":0,"k1":1,...} with 100,000 members: the repeated-name check sorts the names.
void BM_ParseWideObject(benchmark::State& state) {
  std::string text = "{";
  for (int i = 0; i < 100000; ++i) {
    if (i > 0) text += ',';
    text += "\"k" + std::to_string(i) + "\":" + std::to_string(i);
  }
  text += '}';
  parseEach(state, text);
}
BENCHMARK(BM_ParseWideObject)->Unit(benchmark::kMillisecond);

// A mix of the values tools produce (sums, slept seconds) and the hard cases of shortest output.
const std::vector<double> doubles = {
    0, 1, -2.25, 0.5, 3, 0.30000000000000004, 0.1, 1.0 / 3, 123456.789, 6.02214076e23, 1e21,
    -1e-7, 5e-324, 2.2250738585072014e-308, 9007199254740993.0, 1.7976931348623157e308};

void BM_WriteFloat(benchmark::State& state) {
  std::pmr::monotonic_buffer_resource a;
  json::Text out(&a);
  out.reserve(8192);
  for (auto _ : state) {
    out.clear();
    for (double d : doubles) json::writeFloat(out, d);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * doubles.size()));
}
BENCHMARK(BM_WriteFloat);

// Everything that needs an escape, between short runs of ASCII and multi-byte UTF-8.
void BM_WriteStringEscapes(benchmark::State& state) {
  std::string text;
  while (text.size() < 4096) text += "say \"hi\"\\n\ttab\r\n\x01\x1f caf\xC3\xA9 \xE7\xA4\xBA\xE4\xBE\x8B / ";
  std::pmr::monotonic_buffer_resource a;
  json::Text out(&a);
  out.reserve(4 * text.size());
  for (auto _ : state) {
    out.clear();
    json::writeString(out, text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_WriteStringEscapes);

// The same writer on plain text, for comparison: the common case of an echo result.
void BM_WriteStringPlain(benchmark::State& state) {
  std::string text;
  while (text.size() < 4096) text += "the quick brown fox jumps over the lazy dog ";
  std::pmr::monotonic_buffer_resource a;
  json::Text out(&a);
  out.reserve(2 * text.size());
  for (auto _ : state) {
    out.clear();
    json::writeString(out, text);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_WriteStringPlain);

}  // namespace

BENCHMARK_MAIN();
