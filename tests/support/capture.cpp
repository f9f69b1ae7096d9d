#include "capture.h"

#include <chrono>
#include <new>
#include <utility>

std::vector<std::string> CapturingSink::lines() const {
  std::lock_guard lock(mutex_);
  return lines_;
}

std::vector<std::string> CapturingSink::take() {
  std::lock_guard lock(mutex_);
  return std::exchange(lines_, {});
}

std::vector<std::string> CapturingSink::waitFor(std::size_t n, double seconds) const {
  std::unique_lock lock(mutex_);
  changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return lines_.size() >= n; });
  return lines_;
}

void CapturingSink::write(std::string_view line) {
  {
    std::lock_guard lock(mutex_);
    lines_.emplace_back(line);
  }
  changed_.notify_all();
}

void FailingResource::arm(std::size_t n) {
  count_ = 0;
  fail_at_ = n;
}

void* FailingResource::do_allocate(std::size_t bytes, std::size_t align) {
  std::size_t number = ++count_;
  if (fail_at_ != 0 && number == fail_at_) throw std::bad_alloc();
  void* p = ::operator new(bytes, std::align_val_t(align));
  ++outstanding_;
  return p;
}

void FailingResource::do_deallocate(void* p, std::size_t /*bytes*/, std::size_t align) {
  --outstanding_;
  ::operator delete(p, std::align_val_t(align));
}

bool FailingResource::do_is_equal(const std::pmr::memory_resource& other) const noexcept {
  return this == &other;
}

#include "protocol/message.h"

Sink sinkOf(CapturingSink& c) {
  return Sink{&c, [](void* ctx, std::string_view line) { static_cast<CapturingSink*>(ctx)->write(line); }};
}

TestServer::TestServer() : server(initServer(gpa, sinkOf(out), sinkOf(log))) {}

std::vector<std::string> TestServer::run(std::string_view line) {
  handle(*server, line);
  return out.take();
}

std::string TestServer::replyTo(std::string_view line) {
  std::vector<std::string> lines = run(line);
  if (lines.size() == 1) return lines[0];
  std::string described = "<" + std::to_string(lines.size()) + " lines>";
  for (const std::string& l : lines) described += "\n" + l;
  return described;
}
