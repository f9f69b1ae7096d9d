#include "server/process.h"

#include <new>
#include <span>
#include <string_view>

#include "runtime/loop.h"
#include "runtime/stdio.h"
#include "server/server.h"

namespace {

// A standard error that nobody reads keeps this much, and drops reports past it.
constexpr std::size_t max_unread_reports = std::size_t{1} << 20;

// Writes "error: <name>" and returns the exit status of a failure. Built without memory of its
// own: it may report that memory has run out.
int fail(const Sink& log, std::string_view name) noexcept {
  constexpr std::string_view prefix = "error: ";
  char line[64];
  std::size_t size = prefix.copy(line, prefix.size());
  size += name.copy(line + size, sizeof line - size);
  log.write(log.ctx, std::string_view(line, size));
  return 1;
}

struct ReadBuffer {
  std::pmr::memory_resource& gpa;
  char* data = static_cast<char*>(gpa.allocate(read_buffer_size));
  ~ReadBuffer() { gpa.deallocate(data, read_buffer_size); }
};

void handleLine(void* s, std::string_view line) noexcept { handle(*static_cast<Server*>(s), line); }

}  // namespace

int serve(std::pmr::memory_resource& gpa, sys::Descriptor in, sys::Descriptor out_fd, sys::Descriptor err_fd,
          bool exit_at_end) noexcept {
  StdoutSink err(err_fd, gpa, max_unread_reports);
  StdoutSink out(out_fd, gpa);
  out.reports = &err;
  Sink log = sinkOf(err);
  // serve decides: a server that cannot be built means the process cannot run.
  try {
    reserveBuffers(err);
    reserveBuffers(out);
    Loop loop(gpa);
    ReadBuffer buffer{gpa};
    ServerPtr server = initServer(gpa, loop, sinkOf(out), log);
    if (!server) return fail(log, "InvalidCatalogue");
    log.write(log.ctx, "demo MCP server (Tarn) ready");
    LoopEnd end = runLineLoop(loop, in, {buffer.data, read_buffer_size}, gpa, out, err,
                              LineHandler{server.get(), &handleLine});
    int status = end == LoopEnd::EndOfInput ? 0
                 : end == LoopEnd::ReadFailed ? fail(log, "ReadFailed")
                                              : fail(log, "WriteFailed");
    deliverQueued(err);
    if (exit_at_end) sys::exitNow(status);  // all is said: nothing needs releasing
    return status;
  } catch (const std::bad_alloc&) {
    int status = fail(log, "OutOfMemory");
    deliverQueued(err);
    return status;
  }
}
