#include "protocol/arena.h"

void ArenaDeleter::operator()(Arena* arena) const noexcept {
  std::pmr::polymorphic_allocator<Arena>(gpa).delete_object(arena);
}

ArenaPtr newMessageArena(std::pmr::memory_resource& gpa) {
  Arena* arena = std::pmr::polymorphic_allocator<Arena>(&gpa).new_object<Arena>(gpa);
  return ArenaPtr(arena, ArenaDeleter{&gpa});
}
