// demo_server: an MCP demo server speaking newline-delimited JSON-RPC on standard input and output.
// No options, no environment, no files: everything it does is driven by the lines it reads.

#include <memory_resource>

#include "runtime/platform.h"
#include "server/process.h"

int main() {
  sys::StandardStreams stdio = sys::standardStreams();
  return serve(*std::pmr::new_delete_resource(), stdio.in, stdio.out, stdio.err, true);
}
