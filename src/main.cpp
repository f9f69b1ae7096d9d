// demo_server: an MCP demo server speaking newline-delimited JSON-RPC on standard input and output.
// No options, no environment, no files: everything it does is driven by the lines it reads.

#include <exception>
#include <memory_resource>

#include "runtime/platform.h"
#include "runtime/stdio.h"
#include "server/process.h"

namespace {

sys::Descriptor standard_error{};
std::terminate_handler default_terminate = nullptr;

// With no exception current, the runtime has ended up here because it had no memory left even for
// the std::bad_alloc it should throw: that ends as any lack of memory at start-up does. Anything
// else ends as it would have.
[[noreturn]] void onTerminate() noexcept {
  if (std::current_exception()) default_terminate();
  OutputQueue err(standard_error, *std::pmr::null_memory_resource());
  writeUnqueued(err, "error: OutOfMemory\n");
  sys::exitNow(1);
}

}  // namespace

int main() {
  sys::StandardStreams stdio = sys::standardStreams();
  standard_error = stdio.err;
  default_terminate = std::set_terminate(&onTerminate);
  return serve(*std::pmr::new_delete_resource(), stdio.in, stdio.out, stdio.err, true);
}
