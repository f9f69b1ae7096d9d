#include "server/process.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <span>
#include <string_view>

#include "protocol/stdio.h"
#include "server/server.h"

namespace {

int fail(const Sink& log, std::string_view name) noexcept {
  char line[64] = "error: ";
  name.copy(line + 7, sizeof line - 8);
  log.write(log.ctx, std::string_view(line, 7 + std::min(name.size(), sizeof line - 8)));
  return 1;
}

struct ReadBuffer {
  std::pmr::memory_resource& gpa;
  char* data = static_cast<char*>(gpa.allocate(read_buffer_size));
  ~ReadBuffer() { gpa.deallocate(data, read_buffer_size); }
};

void handleLine(void* s, std::string_view line) noexcept { handle(*static_cast<Server*>(s), line); }

}  // namespace

int serve(std::pmr::memory_resource& gpa, int in, int out_fd, int err_fd, bool exit_at_end) noexcept {
  StdoutSink out(out_fd, true, gpa);  // lines leave when the thread that wrote them is about to wait
  StdoutSink err(err_fd, false, gpa);  // the process-wide standard-error lock
  Sink log = sinkOf(err);
  // serve decides: a server that cannot be built means the process cannot run.
  try {
    reserveBuffers(err);
    reserveBuffers(out);
    ReadBuffer buffer{gpa};
    ServerPtr server = initServer(gpa, sinkOf(out), log);
    if (!server) return fail(log, "InvalidCatalogue");
    log.write(log.ctx, "demo MCP server (Tarn) ready");
    LoopEnd end = runLineLoop(in, {buffer.data, read_buffer_size}, gpa, server->wire.out,
                              LineHandler{server.get(), &handleLine});
    server->tools.group.wait();  // every running tool call has replied
    flush(sinkOf(out));          // nothing written stays behind
    int status = end == LoopEnd::EndOfInput ? 0
                 : end == LoopEnd::ReadFailed ? fail(log, "ReadFailed")
                                              : fail(log, "WriteFailed");
    // All is said: idle workers are not woken one by one to end, the process ends them at once.
    if (exit_at_end) std::_Exit(status);
    return status;
  } catch (const std::bad_alloc&) {
    return fail(log, "OutOfMemory");
  }
}
