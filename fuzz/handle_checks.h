#pragma once
// What fuzz_handle checks, as a client would: classify reads each input line as handle() does and
// counts what it is due; checkOutput and checkLog hold the lines that came out to that. They run once
// every tool call of the input has ended.
//
// This file is built without coverage instrumentation, over a JSON reader of its own: the same
// source as the server's, in another namespace (see fuzz/CMakeLists.txt). Reading every line a
// second time through the instrumented reader cost more than handling it, and its coverage told
// libFuzzer nothing about the server.

#include <cstddef>
#include <map>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

// Aborts with `what` and `detail` on standard error unless `ok`; libFuzzer reports it as a crash.
void check(bool ok, const char* what, std::string_view detail = {});

// What the client expects back, counted from the lines that were handled.
struct Due {
  std::map<std::string, std::size_t> replies;  // by id text
  std::size_t null_replies = 0;                // not JSON, or not an object
  std::size_t too_deep = 0;                    // requests whose id, progress lines whose token cannot be written
};

// Counts into `e` what `line` is due. False when the line must not be handled: a call to "crash"
// (see fuzz_handle.cpp).
bool classify(std::string_view line, Due& e);

// Every line is one JSON object without a raw line feed; every request due got one reply with its
// id, every line due a reply with id null got one, and nothing else was answered; requests to the
// client are "roots/list" with the ids 1001 to 1000 + `asked`, each written once.
void checkOutput(std::span<const std::string_view> out, const Due& e, std::int64_t asked);

// The log holds one report for each request whose id, and each progress line whose token, nests too
// deeply, and nothing else.
void checkLog(std::span<const std::string_view> log, const Due& e);
