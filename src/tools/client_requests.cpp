#include "tools/client_requests.h"

#include <mutex>
#include <new>

#include "protocol/message.h"
#include "protocol/waiting.h"

Expected<std::string_view, AskFailure> askClient(const Wire& w, ClientRequests& r, std::pmr::memory_resource& a) {
  Waiter waiter;
  std::int64_t id = 0;
  json::Text& key = json::newText(a);
  {
    std::lock_guard lock(r.mutex);
    id = ++r.next_id;  // used up even when the request then fails
    json::writeDecimal(key, id);
    // Registration comes before sending, so an answer can never arrive for an id not yet known.
    r.pending.emplace(std::pmr::string(key, &r.gpa), &waiter);
  }
  // Whatever happens from here, the registration goes when this call ends.
  struct Unregister {
    ClientRequests& r;
    const json::Text& key;
    ~Unregister() {
      std::lock_guard lock(r.mutex);
      r.pending.erase(key);
    }
  } unregister{r, key};

  // {"jsonrpc":"2.0","id":<id>,"method":"roots/list","params":{}}
  json::Text& line = json::newText(a);
  line += R"({"jsonrpc":"2.0","id":)";
  line += key;
  line += R"(,"method":"roots/list","params":{}})";
  send(w, line);  // the wait below sends it out first

  auto deadline = std::chrono::steady_clock::now() + r.ask_timeout;
  std::unique_lock lock(r.mutex);
  waitUntil(waiter.event, lock, deadline, [&] { return waiter.answered; });
  if (waiter.lost) return unexpected(AskFailure::AnswerLost);
  if (!waiter.reply) return unexpected(AskFailure::TimedOut);
  json::Text& answer = json::newText(a);
  answer = *waiter.reply;
  return std::string_view(answer);
}

void deliverResponse(const Wire& w, ClientRequests& r, std::pmr::memory_resource& a, const json::Value& id,
                     std::string_view line) noexcept {
  // deliverResponse decides for the answer: without memory it is dropped with one report, and the
  // request it answers later times out.
  try {
    json::Text key(&a);
    if (!json::writeValue(key, id)) return;  // too deep to be one of our ids
    std::lock_guard lock(r.mutex);
    auto it = r.pending.find(key);
    if (it == r.pending.end()) return;
    Waiter& waiter = *it->second;
    r.pending.erase(it);
    waiter.answered = true;
    try {
      waiter.reply.emplace(line, &r.gpa);
    } catch (const std::bad_alloc&) {
      waiter.lost = true;  // the asking tool reports it: an answer lost is not an answer missed
    }
    waiter.event.notify_one();
  } catch (const std::bad_alloc&) {
    logOom(w);
  }
}
