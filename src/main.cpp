// demo_server: an MCP demo server speaking newline-delimited JSON-RPC on standard input and output.
// No options, no environment, no files: everything it does is driven by the lines it reads.

#include <csignal>
#include <memory_resource>

#include "server/process.h"

namespace {

// A closed standard output must fail writes (EPIPE), not end the process.
void ignoreBrokenPipe(int) {}

}  // namespace

int main() {
  struct sigaction action {};
  action.sa_handler = ignoreBrokenPipe;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);

  return serve(*std::pmr::new_delete_resource(), 0, 1, 2, true);
}
