#pragma once
// The real server started with --http 0, and raw HTTP/1.1 on connections of the test's own: what a
// client meets, byte for byte. POSIX only.

#include <string>

#include "support/process.h"

// A server on --http 0, and its port, read from the URL on its standard error. Killed at the end.
struct HttpServerProcess {
  // `descriptor_limit`: the server's RLIMIT_NOFILE; -1 leaves it as it is.
  explicit HttpServerProcess(long long descriptor_limit = -1);
  ~HttpServerProcess();
  HttpServerProcess(const HttpServerProcess&) = delete;
  HttpServerProcess& operator=(const HttpServerProcess&) = delete;
  // A connection of its own on which `request` has been sent; -1 when that failed.
  int send(const std::string& request) const;
  // Everything the server sends on `fd` until it closes it; closes `fd`.
  static std::string readAll(int fd);
  // What the server sends on `fd` until the first blank line (the head), or until it closes it.
  static std::string readHead(int fd);
  // Sends `request` on a connection of its own and returns all the server sent back until it closed.
  std::string exchange(const std::string& request) const { return readAll(send(request)); }
  // A new session's id, from an initialize POST asking for `version`; empty when none came.
  std::string initializeSession(const std::string& version = "2025-11-25") const;
  ServerPipes pipes;
  int port = 0;
};

// A POST to /mcp of `body` with `headers` (each ending in \r\n), on a connection that closes after it.
std::string postRequest(const std::string& headers, const std::string& body);
// The headers of a POST the transport takes.
extern const std::string json_headers;
