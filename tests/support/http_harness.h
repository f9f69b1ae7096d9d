#pragma once
// The HTTP server in process, on a loop whose clock the test moves, with limits the test chooses,
// and clients on real loopback connections of the test's own. POSIX only.

#include <chrono>
#include <string>
#include <string_view>
#include <vector>

#include "support/capture.h"
#include "transport/http_connection.h"
#include "transport/http_server.h"

struct HttpHarness {
  // `handler`: what answers the sessions' messages; the real server when not given.
  explicit HttpHarness(const HttpLimits& limits = {}, const SessionLimits& sessions = {},
                       SessionHandler handler = {});
  ~HttpHarness();
  HttpHarness(const HttpHarness&) = delete;
  HttpHarness& operator=(const HttpHarness&) = delete;

  // Turns the loop until it has had nothing to do for a few turns (each waits 1 ms at most).
  void run();
  // Moves the clock on by `d`, firing every timer that falls due on the way, and runs.
  void advance(std::chrono::nanoseconds d);
  // A client connection, whose receive buffer is `receive_buffer` bytes when not 0; -1 on failure.
  int connect(int receive_buffer = 0) const;
  void send(int fd, std::string_view bytes);
  // What has come on `fd` so far, after running; `closed` tells whether the server closed it.
  std::string read(int fd, bool* closed = nullptr);
  // Sends `request` on a connection of its own, runs, and returns what came back.
  std::string exchange(std::string_view request);
  // A new session's id, from an initialize POST; empty when none came.
  std::string initializeSession(const std::string& version = "2025-11-25");
  std::size_t held() const { return heldMemory(*http); }

  TestClock clock;
  CapturingSink log;
  std::pmr::memory_resource& gpa;
  Loop loop;
  ServerPtr server;
  AccessRules rules;
  HttpServerPtr http;
  int port = 0;
};

// A POST of `body` to /mcp with `headers` (each ending in \r\n), its connection kept open.
std::string keptPost(const std::string& headers, const std::string& body);
// A tools/call request of `tool` with `arguments` (a JSON object's text).
std::string toolCall(int id, const std::string& tool, const std::string& arguments);
