#pragma once
// The memory every message lives in. Every message gets its own arena over the server's general
// memory resource `gpa`; tests inject a `gpa` that fails.

#include <cstddef>
#include <memory>
#include <memory_resource>

// A message's arena. Its first block lives inside the object, so a small request costs one
// allocation from `gpa`; larger messages grow it block by block from `gpa`.
class Arena {
 public:
  explicit Arena(std::pmr::memory_resource& gpa) : resource_(first_block_, sizeof first_block_, &gpa) {}
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  std::pmr::memory_resource& resource() { return resource_; }

 private:
  alignas(std::max_align_t) std::byte first_block_[3072];
  std::pmr::monotonic_buffer_resource resource_;
};

struct ArenaDeleter {
  std::pmr::memory_resource* gpa = nullptr;
  void operator()(Arena* arena) const noexcept;
};
using ArenaPtr = std::unique_ptr<Arena, ArenaDeleter>;

// A fresh arena for one message, allocated from `gpa`. Throws std::bad_alloc.
ArenaPtr newMessageArena(std::pmr::memory_resource& gpa);
