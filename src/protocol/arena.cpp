#include "protocol/arena.h"

#include <new>

Arena::Arena(std::pmr::memory_resource& gpa, std::size_t first_block)
    : first_block_(first_block), resource_(this + 1, first_block, &gpa) {}

void ArenaDeleter::operator()(Arena* arena) const noexcept {
  std::size_t bytes = sizeof(Arena) + arena->first_block_;
  arena->~Arena();
  gpa_->deallocate(arena, bytes, alignof(Arena));
}

ArenaPtr newArena(std::pmr::memory_resource& gpa, std::size_t first_block) {
  void* memory = gpa.allocate(sizeof(Arena) + first_block, alignof(Arena));
  return ArenaPtr(new (memory) Arena(gpa, first_block), ArenaDeleter(&gpa));
}
