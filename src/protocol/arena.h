#pragma once
// The memory every message lives in. Every message gets its own arena over the server's general
// memory resource `gpa`; tests inject a `gpa` that fails.

#include <atomic>
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
  // Gives back every block but the first, and starts over in it: the arena is as new.
  void reset() { resource_.release(); }

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

// Keeps one message arena between messages, so that a message costs no allocation when the one
// before it is done with its arena. Any thread may take and give back.
class ArenaCache {
 public:
  explicit ArenaCache(std::pmr::memory_resource& gpa) : gpa_(gpa) {}
  ArenaCache(const ArenaCache&) = delete;
  ArenaCache& operator=(const ArenaCache&) = delete;
  ~ArenaCache() { ArenaPtr(spare_.load(), ArenaDeleter{&gpa_}); }

  // The kept arena, or a fresh one. Throws std::bad_alloc.
  ArenaPtr take() {
    if (Arena* kept = spare_.exchange(nullptr)) return ArenaPtr(kept, ArenaDeleter{&gpa_});
    return newMessageArena(gpa_);
  }
  // Empties `arena` and keeps it for the next message (when one is kept already, one is released).
  void giveBack(ArenaPtr arena) noexcept {
    arena->reset();
    ArenaPtr(spare_.exchange(arena.release()), ArenaDeleter{&gpa_});
  }

 private:
  std::pmr::memory_resource& gpa_;
  std::atomic<Arena*> spare_{nullptr};
};
