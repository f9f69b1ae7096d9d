#include "server/process.h"

#include <cstdint>
#include <new>
#include <span>
#include <string_view>

#include "runtime/loop.h"
#include "runtime/stdio.h"
#include "server/options.h"
#include "server/server.h"
#include "transport/access.h"
#include "transport/http_server.h"

namespace {

// A standard error that nobody reads keeps this much, and drops reports past it.
constexpr std::size_t max_unread_reports = std::size_t{1} << 20;

// Says on standard error that the server takes requests, and over HTTP where (`url`).
void sayReady(const Sink& log, std::string_view url = {}) {
  log.write(log.ctx, "demo MCP server (Tarn) ready");
  if (!url.empty()) log.write(log.ctx, url);
}

// Writes "error: <name>", or "error: <name>: <the system's reason>", and returns the exit status of
// a failure. Built without memory of its own: it may report that memory has run out.
int fail(LineQueue& err, std::string_view name, std::uint32_t system_error = 0) noexcept {
  constexpr std::string_view prefix = "error: ";
  char line[160];
  std::size_t size = prefix.copy(line, prefix.size());
  size += name.copy(line + size, sizeof line - size);
  if (system_error != 0 && size + 2 < sizeof line) {
    size += std::string_view(": ").copy(line + size, 2);
    size += sys::errorText(system_error, std::span(line + size, sizeof line - size));
  }
  writeLast(err, std::string_view(line, size));
  return 1;
}

int failure(LineQueue& err, LoopOutcome how) noexcept {
  switch (how.end) {
    case LoopEnd::EndOfInput: return 0;
    case LoopEnd::ReadFailed: return fail(err, "ReadFailed");
    case LoopEnd::WaitFailed: return fail(err, "WaitFailed", how.error);
    case LoopEnd::NoMemoryForLine: return fail(err, "WriteFailed");
  }
  return 1;
}

struct ReadBuffer {
  std::pmr::memory_resource& gpa;
  char* data = static_cast<char*>(gpa.allocate(read_buffer_size));
  ~ReadBuffer() { gpa.deallocate(data, read_buffer_size); }
};

// The one client of standard input and output.
struct StdioClient {
  Server& server;
  Session& session;
};

void handleLine(void* client, std::string_view line) noexcept {
  auto& c = *static_cast<StdioClient*>(client);
  handle(c.server, c.session, line);
}

void inputEnded(void* client) noexcept {
  auto& c = *static_cast<StdioClient*>(client);
  endSubscriptions(c.server, c.session);
}

}  // namespace

int serve(std::pmr::memory_resource& gpa, sys::Descriptor in, sys::Descriptor out_fd, sys::Descriptor err_fd,
          bool exit_at_end) noexcept {
  LineQueue err(err_fd, gpa, max_unread_reports);
  LineQueue out(out_fd, gpa);
  out.reports = &err;
  // serve decides: a server that cannot be built means the process cannot run.
  try {
    reserveBuffers(err);
    reserveBuffers(out);
    Loop loop(gpa);
    ReadBuffer buffer{gpa};
    ServerPtr server = initServer(gpa, loop);
    if (!server) return fail(err, "InvalidCatalogue");
    Session session(gpa, Wire{sinkOf(out), sinkOf(err)});
    StdioClient client{*server, session};
    Driver driver(loop, err, &out);
    sayReady(sinkOf(err));
    LoopOutcome how = runLineLoop(driver, in, {buffer.data, read_buffer_size}, gpa,
                                  LineHandler{&client, &handleLine, &inputEnded});
    int status = failure(err, how);
    deliverQueued(err);
    if (exit_at_end) sys::exitNow(status);  // all is said: nothing needs releasing
    return status;
  } catch (const std::bad_alloc&) {
    return fail(err, "OutOfMemory");
  }
}

namespace {

// A request to end the process (SIGTERM, SIGINT): the HTTP server ends in order, then the loop
// stops, and serveHttp returns 0.
struct Ending {
  Loop& loop;
  HttpServer& http;
};
void endInOrder(void* ending) noexcept {
  auto& e = *static_cast<Ending*>(ending);
  shutDown(e.http, [](void* loop) noexcept { static_cast<Loop*>(loop)->stop(); }, &e.loop);
}

void handleSessionMessage(void* s, const Answering& to, std::pmr::memory_resource& a, const json::Value& message,
                          std::string_view line) noexcept {
  handleMessage(*static_cast<Server*>(s), to, a, message, line);
}

void endSessionRequests(void* s, Session& session) noexcept { endSubscriptions(*static_cast<Server*>(s), session); }

}  // namespace

int serveHttp(std::pmr::memory_resource& gpa, const HttpOptions& options, sys::Descriptor err_fd) noexcept {
  LineQueue err(err_fd, gpa, max_unread_reports);
  // serveHttp decides: a server that cannot be built means the process cannot run.
  try {
    reserveBuffers(err);
    Loop loop(gpa);
    ServerPtr server = initServer(gpa, loop);
    if (!server) return fail(err, "InvalidCatalogue");
    sys::raiseDescriptorLimit();
    const std::string host = options.host_kind == HttpOptions::HostKind::Localhost ? "127.0.0.1" : options.host;
    const std::string shown = options.host_kind == HttpOptions::HostKind::Ipv6 ? "[" + host + "]" : host;
    sys::Stream listener;
    if (std::uint32_t error = sys::listenTcp(host, options.port, listener)) {
      char reason[96];
      std::string line = "demo_server: cannot listen on " + shown + ":" + std::to_string(options.port) + ": " +
                         std::string(reason, sys::errorText(error, reason)) + "\n" + std::string(usage());
      writeUnqueued(err, line);
      return 2;
    }
    AccessRules rules{sys::localPort(listener), options.allowed_hosts, options.allowed_origins, options.token};
    Sink log = sinkOf(err);
    // Serves from the loop; released, with every session, once the loop has ended.
    const HttpServerPtr http = startHttp(gpa, loop, SessionHandler{server.get(), &handleSessionMessage, &endSessionRequests}, listener, log, rules);
    // After the server's hook, so that what it reports in a turn is written in that turn.
    Driver driver(loop, err);
    Ending ending{loop, *http};
    EndRequests end_requests(loop, &endInOrder, &ending);
    if (std::uint32_t error = end_requests.listen()) {
      char reason[96];
      log.write(log.ctx, "cannot hear termination signals, which end the process at once: " +
                             std::string(reason, sys::errorText(error, reason)));
    }
    sayReady(log, "http://" + shown + ":" + std::to_string(rules.port) + "/mcp");
    if (std::uint32_t error = loop.run()) return fail(err, "WaitFailed", error);
    deliverQueued(err);
    return 0;
  } catch (const std::bad_alloc&) {
    return fail(err, "OutOfMemory");
  }
}
