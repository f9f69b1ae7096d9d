#pragma once
// The process around the server: the sinks on the standard streams, the start-up line, the loop,
// and the exit status. `main` is this and the signal set-up; tests run it on pipes of their own,
// with a memory resource that fails.

#include <memory_resource>

#include "runtime/platform.h"

// Runs the server on `in`, `out` and `err` until input ends and every call has replied. Everything
// it takes before the start-up line (the loop, the sinks' buffers, the read buffer, the server and
// its catalogue) comes from `gpa`; when that fails it writes "error: OutOfMemory" and returns 1
// without the start-up line. Returns 0 at end of input, or 1 after "error: <name>" when input
// cannot be read. With `exit_at_end` the process ends as soon as all is written, without
// releasing anything.
int serve(std::pmr::memory_resource& gpa, sys::Descriptor in, sys::Descriptor out, sys::Descriptor err,
          bool exit_at_end = false) noexcept;

struct HttpOptions;

// Serves MCP over HTTP as `options` say until the process is ended, reports on `err`: once
// listening, the start-up line and then the URL, "http://HOST:PORT/mcp". Returns 0 once asked to
// end (SIGTERM, SIGINT; Ctrl+C or closing the console on Windows); 2 after "demo_server: cannot
// listen on HOST:PORT: <reason>" and the usage when the address cannot be had; 1 after
// "error: <name>" on a fatal error.
int serveHttp(std::pmr::memory_resource& gpa, const HttpOptions& options, sys::Descriptor err) noexcept;
