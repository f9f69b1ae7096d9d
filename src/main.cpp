// demo_server: an MCP demo server speaking newline-delimited JSON-RPC on standard input and output.
// The command line only chooses what to do (server/options.h); everything the server does is
// driven by the lines it reads.

#include <cstdlib>
#include <exception>
#include <memory_resource>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/platform.h"
#include "runtime/stdio.h"
#include "server/options.h"
#include "server/process.h"

namespace {

sys::Descriptor standard_error{};
std::terminate_handler default_terminate = nullptr;

// With no exception current, the runtime has ended up here because it had no memory left even for
// the std::bad_alloc it should throw: that ends as any lack of memory at start-up does. Anything
// else ends as it would have.
[[noreturn]] void onTerminate() noexcept {
  if (std::current_exception()) default_terminate();
  LineQueue err(standard_error, *std::pmr::null_memory_resource());
  writeUnqueued(err, "error: OutOfMemory\n");
  sys::exitNow(1);
}

// Writes `text` to `fd` and returns `status`: for what the command line asks to be said.
int say(sys::Descriptor fd, std::string_view text, int status) noexcept {
  LineQueue out(fd, *std::pmr::null_memory_resource());
  writeUnqueued(out, text);
  return status;
}

// What the command line asks for. Throws std::bad_alloc.
Options choose(const sys::StandardStreams& stdio, int argc, char** argv, int& status) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  // Read once, before anything else runs.
  const char* token = std::getenv(token_variable);  // NOLINT(concurrency-mt-unsafe)
  Expected<Options, std::string> options = parseOptions(args, token);
  if (!options) {
    status = say(stdio.err, "demo_server: " + options.error() + "\n" + std::string(usage()), 2);
    return Options{};
  }
  return std::move(*options);
}

}  // namespace

// Beside std::bad_alloc, reading the command line could throw only for lengths no system passes.
int main(int argc, char** argv) {  // NOLINT(bugprone-exception-escape)
  sys::StandardStreams stdio = sys::standardStreams();
  standard_error = stdio.err;
  default_terminate = std::set_terminate(&onTerminate);
  int status = -1;
  Options options;
  // main decides: a command line that cannot be read for lack of memory ends the process.
  try {
    options = choose(stdio, argc, argv, status);
  } catch (const std::bad_alloc&) {
    return say(stdio.err, "error: OutOfMemory\n", 1);
  }
  if (status >= 0) return status;
  switch (options.mode) {
    case Options::Mode::Help: return say(stdio.out, helpText(), 0);
    case Options::Mode::Version: return say(stdio.out, versionText(), 0);
    case Options::Mode::Http: return serveHttp(*std::pmr::new_delete_resource(), options.http, stdio.err);
    case Options::Mode::Stdio: break;
  }
  return serve(*std::pmr::new_delete_resource(), stdio.in, stdio.out, stdio.err, true);
}
