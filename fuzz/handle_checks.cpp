#include "handle_checks.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <memory_resource>
#include <optional>
#include <set>

#include "protocol/json.h"

void check(bool ok, const char* what, std::string_view detail) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_handle: %s\n  %.*s\n", what, static_cast<int>(detail.size()), detail.data());
  std::abort();
}

namespace {

using json::Kind;
using json::Value;

// Memory for checking one line. Its first block is kept for the whole run, so a line of common
// size is parsed without allocating.
class Scratch {
 public:
  Scratch() : resource_(block_.get(), block_size, std::pmr::new_delete_resource()) {}
  // Takes back all that was handed out since the last call: nothing from the last line may live on.
  std::pmr::memory_resource& fresh() {
    resource_.release();
    return resource_;
  }

 private:
  static constexpr std::size_t block_size = 64 * 1024;
  std::unique_ptr<std::byte[]> block_ = std::make_unique<std::byte[]>(block_size);
  std::pmr::monotonic_buffer_resource resource_;
};

Scratch scratch;

const Value& argumentsOf(const Value& params) {
  const Value* args = json::member(params, "arguments");
  return args && args->isObject() ? *args : json::empty_object;
}

// True for a tools/call of "crash", which ends the process (see fuzz_handle.cpp).
bool exits(const Value& message) {
  if (json::stringField(message, "method") != "tools/call") return false;
  const Value* params = json::member(message, "params");
  return params && json::stringField(*params, "name") == "crash";
}

// How many steps a tools/call of "notify" takes: 0 for any other line, or when its steps are
// rejected.
std::int64_t notifySteps(const Value& message) {
  if (json::stringField(message, "method") != "tools/call") return 0;
  const Value* params = json::member(message, "params");
  if (!params || !params->isObject() || json::stringField(*params, "name") != "notify") return 0;
  const Value* steps = json::member(argumentsOf(*params), "steps");
  if (!steps || steps->kind == Kind::Null) return 3;
  return steps->kind == Kind::Integer && steps->integer >= 1 && steps->integer <= 10 ? steps->integer : 0;
}

// The progress token of a tools/call, or null.
const Value* progressToken(const Value& message) {
  const Value* params = json::member(message, "params");
  const Value* meta = params ? json::member(*params, "_meta") : nullptr;
  return meta ? json::member(*meta, "progressToken") : nullptr;
}

// The id written as the server writes it, or nullopt when it nests too deeply to be written.
std::optional<std::string> idKey(std::pmr::memory_resource& a, const Value& id) {
  json::Text key(&a);
  if (!json::writeValue(key, id)) return std::nullopt;
  return std::string(key);
}

}  // namespace

bool classify(std::string_view line, Due& e) {
  std::pmr::memory_resource& a = scratch.fresh();
  std::optional<Value> message = json::parse(a, line);
  if (!message || !message->isObject()) {
    // A blank line is neither: handle() ignores it.
    if (line.find_first_not_of(" \t\r\n") != std::string_view::npos) ++e.null_replies;
    return true;
  }
  if (exits(*message)) return false;
  const Value* id = json::member(*message, "id");
  // A response from the client, or a notification: nothing comes back.
  if (!json::stringField(*message, "method") || !id || id->kind == Kind::Null) return true;
  if (std::optional<std::string> key = idKey(a, *id)) {
    ++e.replies[*key];
  } else {
    ++e.too_deep;
  }
  // Each step of notify reports a progress token it cannot write, instead of its progress line.
  const Value* token = progressToken(*message);
  if (token && !idKey(a, *token)) e.too_deep += static_cast<std::size_t>(notifySteps(*message));
  return true;
}

void checkOutput(std::span<const std::string_view> out, const Due& e, std::int64_t asked) {
  std::map<std::string, std::size_t> replies;
  std::size_t null_replies = 0;
  std::set<std::int64_t> request_ids;
  for (std::string_view line : out) {
    check(line.find('\n') == std::string_view::npos, "an output line holds a raw line feed", line);
    std::pmr::memory_resource& a = scratch.fresh();
    std::optional<Value> message = json::parse(a, line);
    check(message && message->isObject(), "an output line is not one JSON object", line);
    const Value* id = json::member(*message, "id");
    if (std::optional<std::string_view> method = json::stringField(*message, "method")) {
      if (*method == "notifications/message" || *method == "notifications/progress") {
        check(!id, "a notification with an id", line);
        continue;
      }
      check(*method == "roots/list", "an unexpected request or notification", line);
      check(id && id->kind == Kind::Integer && id->integer >= 1001, "a request to the client without its id", line);
      check(request_ids.insert(id->integer).second, "two requests to the client with one id", line);
      continue;
    }
    check(id && (json::member(*message, "result") || json::member(*message, "error")),
          "an output line that is neither reply, request nor notification", line);
    if (id->kind == Kind::Null) {
      ++null_replies;
      continue;
    }
    std::optional<std::string> key = idKey(a, *id);
    check(key.has_value(), "a reply's id cannot be written back", line);
    ++replies[*key];
  }
  for (const auto& [key, n] : replies) {
    auto want = e.replies.find(key);
    check(want != e.replies.end() && want->second >= n, "a reply nobody asked for, or a second reply to one request",
          key);
  }
  for (const auto& [key, n] : e.replies) {
    auto got = replies.find(key);
    check(got != replies.end() && got->second == n, "a request was not answered", key);
  }
  check(null_replies == e.null_replies, "wrong number of replies with id null");
  // Every id the server took for a request to the client went out in a request.
  check(static_cast<std::int64_t>(request_ids.size()) == asked &&
            (asked == 0 || (*request_ids.begin() == 1001 && *request_ids.rbegin() == 1000 + asked)),
        "an id was taken for a request to the client that was never written");
}

void checkLog(std::span<const std::string_view> log, const Due& e) {
  for (std::string_view line : log)
    check(line == "value nested too deeply; message dropped", "an unexpected line on the log", line);
  check(log.size() == e.too_deep, "a value that nests too deeply was not reported exactly once");
}

