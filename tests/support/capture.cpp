#include "capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <new>
#include <utility>

#include "protocol/message.h"
#include "server/server.h"

namespace {

std::string oneLine(const std::vector<std::string>& lines) {
  if (lines.size() == 1) return lines[0];
  std::string described = "<" + std::to_string(lines.size()) + " lines>";
  for (const std::string& l : lines) described += "\n" + l;
  return described;
}

// A run that did not go through whole: the lines written before the call failed, or all of them
// but one notification.
bool isPartialRun(const std::vector<std::string>& out, const std::vector<std::string>& expected) {
  if (out.size() < expected.size() && std::equal(out.begin(), out.end(), expected.begin())) return true;
  if (out.size() + 1 != expected.size() || out.empty() || out.back() != expected.back()) return false;
  for (std::size_t skipped = 0; skipped + 1 < expected.size(); ++skipped) {
    std::vector<std::string> without = expected;
    without.erase(without.begin() + static_cast<std::ptrdiff_t>(skipped));
    if (without == out) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> CapturingSink::take() { return std::exchange(lines_, {}); }

void CapturingSink::write(std::string_view line) { lines_.emplace_back(line); }

bool CapturingSink::after(Delivery& d) {
  if (!holding_) return false;
  d.next = &held_;
  d.prev = held_.prev;
  d.prev->next = &d;
  held_.prev = &d;
  return true;
}

void CapturingSink::releaseDeliveries() {
  holding_ = false;
  while (held_.next != &held_) {
    Delivery& d = *held_.next;
    unlink(d);
    d.done(d);
  }
}

void FailingResource::arm(std::size_t n, bool and_later) {
  count_ = 0;
  fail_at_ = n;
  and_later_ = and_later;
}

void* FailingResource::do_allocate(std::size_t bytes, std::size_t align) {
  std::size_t number = ++count_;
  if (fail_at_ != 0 && (number == fail_at_ || (and_later_ && number > fail_at_))) throw std::bad_alloc();
  void* p = ::operator new(bytes, std::align_val_t(align));
  ++outstanding_;
  outstanding_bytes_ += bytes;
  return p;
}

void FailingResource::do_deallocate(void* p, std::size_t bytes, std::size_t align) {
  --outstanding_;
  outstanding_bytes_ -= bytes;
  ::operator delete(p, std::align_val_t(align));
}

bool FailingResource::do_is_equal(const std::pmr::memory_resource& other) const noexcept {
  return this == &other;
}

Sink sinkOf(CapturingSink& c) {
  return Sink{&c, [](void* ctx, std::string_view line) { static_cast<CapturingSink*>(ctx)->write(line); },
              [](void* ctx, Delivery& d) { return static_cast<CapturingSink*>(ctx)->after(d); }};
}

TestServer::TestServer()
    : loop(gpa, clock.source()), server(initServer(gpa, loop)), session(gpa, Wire{sinkOf(out), sinkOf(log)}) {}

void TestServer::handle(std::string_view line) { ::handle(*server, session, line); }

TestServer::~TestServer() { finishCalls(); }

void TestServer::advance(std::chrono::nanoseconds d) {
  Loop::Time until = clock.now + d;
  for (std::optional<Loop::Time> next; (next = loop.nextDeadline()) && *next <= until;) {
    clock.now = std::max(clock.now, *next);
    loop.fireDue();
  }
  clock.now = until;
}

void TestServer::finishCalls() {
  while (loop.tasks > 0) {
    std::optional<Loop::Time> next = loop.nextDeadline();
    if (!next) {
      ADD_FAILURE() << loop.tasks << " calls wait for nothing that could ever come";
      return;
    }
    advance(*next - clock.now);
  }
}

std::vector<std::string> TestServer::run(std::string_view line) {
  handle(line);
  loop.fireDue();  // what the line made due now, such as a call its answer resumes
  return out.take();
}

std::string TestServer::replyTo(std::string_view line) { return oneLine(run(line)); }

std::vector<std::string> TestServer::runCall(std::string_view line) {
  handle(line);
  finishCalls();
  return out.take();
}

std::string TestServer::callReply(std::string_view line) { return oneLine(runCall(line)); }

std::size_t walkToolCallOutOfMemory(TestServer& t, std::string_view line, const std::vector<std::string>& expected) {
  std::size_t baseline = t.gpa.outstanding();
  for (std::size_t n = 1;; ++n) {
    SCOPED_TRACE("failing allocation " + std::to_string(n));
    if (n == 1000) {
      ADD_FAILURE() << "still failing after 1000 allocations";
      return n;
    }
    t.gpa.arm(n);
    std::vector<std::string> out = t.runCall(line);
    std::size_t used = t.gpa.allocations();
    std::vector<std::string> log = t.log.take();
    t.gpa.arm(0);
    EXPECT_EQ(t.gpa.outstanding(), baseline);
    if (out == expected) {
      EXPECT_TRUE(log.empty());
    } else {
      EXPECT_TRUE(isPartialRun(out, expected)) << oneLine(out);
      EXPECT_EQ(log, std::vector<std::string>{"out of memory; message dropped"});
    }
    EXPECT_EQ(t.replyTo(R"({"id":"next","method":"ping"})"), R"({"jsonrpc":"2.0","id":"next","result":{}})");
    if (used < n) return n - 1;  // the failure point lay past the call: it went through whole
  }
}

void walkOutOfMemory(TestServer& t, std::string_view line, std::string_view expected) {
  walkToolCallOutOfMemory(t, line, {std::string(expected)});  // one line: it comes whole or not at all
}
