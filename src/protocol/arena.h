#pragma once
// The memory every message lives in. Every message gets its own arena over the server's general
// memory resource `gpa`; tests inject a `gpa` that fails.

#include <cstddef>
#include <memory>
#include <memory_resource>

class Arena;
class ArenaDeleter {
 public:
  explicit ArenaDeleter(std::pmr::memory_resource* gpa = nullptr) : gpa_(gpa) {}
  void operator()(Arena* arena) const noexcept;

 private:
  std::pmr::memory_resource* gpa_;
};
using ArenaPtr = std::unique_ptr<Arena, ArenaDeleter>;

// An arena: its first block lies right behind the object, in the same allocation from `gpa`, so a
// message that fits costs one allocation; larger ones grow block by block from `gpa`.
class alignas(std::max_align_t) Arena {
 public:
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  std::pmr::memory_resource& resource() { return resource_; }
  // Gives back every block but the first, and starts over in it: the arena is as new.
  void reset() { resource_.release(); }

 private:
  friend class ArenaDeleter;
  friend ArenaPtr newArena(std::pmr::memory_resource& gpa, std::size_t first_block);
  Arena(std::pmr::memory_resource& gpa, std::size_t first_block);
  std::size_t first_block_;
  std::pmr::monotonic_buffer_resource resource_;
};

// A fresh arena whose first block holds `first_block` bytes, allocated from `gpa`. Throws
// std::bad_alloc.
ArenaPtr newArena(std::pmr::memory_resource& gpa, std::size_t first_block);

// How large a message's first block is: most requests parse and answer within it.
inline constexpr std::size_t message_first_block = 3072;

// Keeps one message arena between messages, so that a message costs no allocation when the one
// before it is done with its arena.
class ArenaCache {
 public:
  explicit ArenaCache(std::pmr::memory_resource& gpa) : gpa_(gpa) {}
  ArenaCache(const ArenaCache&) = delete;
  ArenaCache& operator=(const ArenaCache&) = delete;

  // The kept arena, or a fresh one. Throws std::bad_alloc.
  ArenaPtr take() {
    if (spare_) return std::move(spare_);
    return newArena(gpa_, message_first_block);
  }
  // Empties `arena` and keeps it for the next message (when one is kept already, one is released).
  void giveBack(ArenaPtr arena) noexcept {
    arena->reset();
    spare_ = std::move(arena);
  }

 private:
  std::pmr::memory_resource& gpa_;
  ArenaPtr spare_;
};
