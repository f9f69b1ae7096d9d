#include "tools/client_requests.h"

#include <mutex>
#include <new>

#include "protocol/message.h"

std::optional<std::string_view> askClient(Server& s, std::pmr::memory_resource& a) {
  Waiter waiter;
  std::int64_t id = 0;
  json::Text& key = json::newText(a);
  {
    std::lock_guard lock(s.mutex);
    id = ++s.next_id;  // used up even when the request then fails
    json::writeDecimal(key, id);
    // Registration comes before sending, so an answer can never arrive for an id not yet known.
    s.pending.emplace(std::pmr::string(key, &s.gpa), &waiter);
  }
  // Whatever happens from here, the registration goes when this call ends.
  struct Unregister {
    Server& s;
    const json::Text& key;
    ~Unregister() {
      std::lock_guard lock(s.mutex);
      s.pending.erase(key);
    }
  } unregister{s, key};

  // {"jsonrpc":"2.0","id":<id>,"method":"roots/list","params":{}}
  json::Text& line = json::newText(a);
  line += R"({"jsonrpc":"2.0","id":)";
  line += key;
  line += R"(,"method":"roots/list","params":{}})";
  send(s, line);
  flush(s.sink);  // the client must see the request before we wait for its answer

  auto deadline = std::chrono::steady_clock::now() + s.ask_timeout;
  std::unique_lock lock(s.mutex);
  waiter.event.wait_until(lock, deadline, [&] { return waiter.answered; });
  if (waiter.lost) throw std::bad_alloc();
  if (!waiter.reply) return std::nullopt;
  json::Text& answer = json::newText(a);
  answer = *waiter.reply;
  return answer;
}

void deliverResponse(Server& s, std::pmr::memory_resource& a, const json::Value& id, std::string_view line) noexcept {
  // deliverResponse decides for the answer: without memory it is dropped with one report, and the
  // request it answers later times out.
  try {
    json::Text key(&a);
    if (!json::writeValue(key, id)) return;  // too deep to be one of our ids
    std::lock_guard lock(s.mutex);
    auto it = s.pending.find(key);
    if (it == s.pending.end()) return;
    Waiter& waiter = *it->second;
    s.pending.erase(it);
    waiter.answered = true;
    try {
      waiter.reply.emplace(line, &s.gpa);
    } catch (const std::bad_alloc&) {
      waiter.lost = true;  // the asking tool reports it: an answer lost is not an answer missed
    }
    waiter.event.notify_one();
  } catch (const std::bad_alloc&) {
    logOom(s);
  }
}
