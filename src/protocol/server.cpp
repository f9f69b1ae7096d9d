#include "protocol/server.h"

#include <new>

#include "methods/catalogue.h"

namespace {

// Workers send what they wrote before they wait for the next call.
void flushSink(void* server) noexcept { flush(static_cast<Server*>(server)->sink); }

}  // namespace

Server::Server(std::pmr::memory_resource& gpa, Sink sink, Sink log)
    : gpa(gpa), sink(sink), log(log), tools_arena(&gpa), pending(&gpa),
      group(max_concurrent_calls, Task{&flushSink, this}) {}

void ServerDeleter::operator()(Server* s) const noexcept {
  s->group.wait();  // tool calls still use the server; their replies go out first
  std::pmr::polymorphic_allocator<Server>(&s->gpa).delete_object(s);
}

ServerPtr initServer(std::pmr::memory_resource& gpa, Sink sink, Sink log) {
  ServerPtr s(std::pmr::polymorphic_allocator<Server>(&gpa).new_object<Server>(gpa, sink, log));
  std::optional<json::Value> catalogue = json::parse(s->tools_arena, tools_json);
  // The catalogue is a constant of this program; only a broken build could get here.
  if (!catalogue || catalogue->kind != json::Kind::Array) return nullptr;
  s->tools = catalogue->items();
  // Listing pages join these texts: the catalogue is written once, not once per request.
  std::pmr::polymorphic_allocator<std::string_view> alloc(&s->tools_arena);
  std::string_view* texts = alloc.allocate(s->tools.size());
  for (std::size_t i = 0; i < s->tools.size(); ++i) {
    json::Text& text = json::newText(s->tools_arena);
    if (!json::writeValue(text, s->tools[i])) return nullptr;
    texts[i] = text;
  }
  s->tool_texts = {texts, s->tools.size()};
  return s;
}

void ArenaDeleter::operator()(Arena* arena) const noexcept {
  std::pmr::polymorphic_allocator<Arena>(gpa).delete_object(arena);
}

ArenaPtr newMessageArena(Server& s) {
  Arena* arena = std::pmr::polymorphic_allocator<Arena>(&s.gpa).new_object<Arena>(s.gpa);
  return ArenaPtr(arena, ArenaDeleter{&s.gpa});
}

void logOom(Server& s) noexcept {
  s.log.write(s.log.ctx, "out of memory; message dropped");
}
