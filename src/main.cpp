// demo_server: an MCP demo server speaking newline-delimited JSON-RPC on standard input and output.
// No options, no environment, no files: everything it does is driven by the lines it reads.

#include <csignal>
#include <cstdlib>
#include <memory_resource>
#include <new>
#include <string>

#include "protocol/stdio.h"
#include "server/server.h"

namespace {

// A closed standard output must fail writes (EPIPE), not end the process.
void ignoreBrokenPipe(int) {}

int fail(Sink log, std::string_view name) {
  std::string line = "error: ";
  line += name;
  log.write(log.ctx, line);
  return 1;
}

}  // namespace

int main() {
  struct sigaction action {};
  action.sa_handler = ignoreBrokenPipe;
  sigemptyset(&action.sa_mask);
  sigaction(SIGPIPE, &action, nullptr);

  StdoutSink out(1, true);  // lines leave when the thread that wrote them is about to wait
  StdoutSink err(2, false);  // the process-wide standard-error lock
  Sink log = sinkOf(err);
  ServerPtr server;
    // main decides: a server that cannot be built means the process cannot run.
  try {
    server = initServer(*std::pmr::new_delete_resource(), sinkOf(out), log);
  } catch (const std::bad_alloc&) {
    return fail(log, "OutOfMemory");
  }
  if (!server) return fail(log, "InvalidCatalogue");
  log.write(log.ctx, "demo MCP server (Tarn) ready");
  auto handleLine = [](void* s, std::string_view line) noexcept { handle(*static_cast<Server*>(s), line); };
  LoopEnd end = runLineLoop(0, server->gpa, server->wire.out, LineHandler{server.get(), handleLine});
  server->tools.group.wait();  // every running tool call has replied
  flush(sinkOf(out));  // nothing written stays behind
  int status = end == LoopEnd::EndOfInput ? 0
               : end == LoopEnd::ReadFailed ? fail(log, "ReadFailed")
                                            : fail(log, "WriteFailed");
  // All is said: idle workers are not woken one by one to end, the process ends them at once.
  std::_Exit(status);
}
