#include "tools/client_requests.h"

#include <new>

#include "protocol/message.h"
#include "runtime/stdio.h"

namespace {

// co_await AnswerOrDeadline(...): suspended until the answer has come or the time is up; either
// way the loop's timer resumes it. Destroyed while waiting, it disarms.
class [[nodiscard]] AnswerOrDeadline {
 public:
  AnswerOrDeadline(Waiter& w, Loop& loop, Loop::Time deadline) : w_(w), loop_(loop) { w_.wake.deadline = deadline; }
  AnswerOrDeadline(const AnswerOrDeadline&) = delete;
  AnswerOrDeadline& operator=(const AnswerOrDeadline&) = delete;
  ~AnswerOrDeadline() { await_resume(); }
  bool await_ready() const noexcept { return w_.answered; }
  void await_suspend(std::coroutine_handle<> h) {
    w_.wake.waiting = h;
    loop_.arm(w_.wake);
    w_.loop = &loop_;
  }
  void await_resume() noexcept {
    if (w_.loop) w_.loop->disarm(w_.wake);
    w_.loop = nullptr;
  }

 private:
  Waiter& w_;
  Loop& loop_;
};

}  // namespace

DEMO_AWAITED_BEGIN
Awaited<Expected<std::string_view, AskFailure>> askClient(const Wire& w, ClientRequests& r, Loop& loop,
                                                          std::pmr::memory_resource& a) {
  Waiter waiter;
  std::int64_t id = ++r.next_id;  // used up even when the request then fails
  json::Text& key = json::newText(a);
  json::writeDecimal(key, id);
  // Registration comes before sending, so an answer can never arrive for an id not yet known.
  r.pending.emplace(std::pmr::string(key, &r.gpa), &waiter);
  // Whatever happens from here, the registration goes when this call ends.
  struct Unregister {
    ClientRequests& r;
    const json::Text& key;
    ~Unregister() { r.pending.erase(key); }
  } unregister{r, key};

  // {"jsonrpc":"2.0","id":<id>,"method":"roots/list","params":{}}
  json::Text& line = json::newText(a);
  line += R"({"jsonrpc":"2.0","id":)";
  line += key;
  line += R"(,"method":"roots/list","params":{}})";
  send(w, line);
  co_await delivered(w.out);  // the time counts from when the client can read the request
  co_await AnswerOrDeadline(waiter, loop, loop.now() + ClientRequests::ask_timeout);
  if (waiter.lost) co_return unexpected(AskFailure::AnswerLost);
  if (!waiter.reply) co_return unexpected(AskFailure::TimedOut);
  json::Text& answer = json::newText(a);
  answer = *waiter.reply;
  co_return std::string_view(answer);
}
DEMO_AWAITED_END

void deliverResponse(const Wire& w, ClientRequests& r, std::pmr::memory_resource& a, const json::Value& id,
                     std::string_view line) noexcept {
  Waiter* waiter = nullptr;
  // deliverResponse decides for the answer: without memory it is dropped with one report, and the
  // request it answers later times out.
  try {
    json::Text key(&a);
    if (!json::writeValue(key, id)) return;  // too deep to be one of our ids
    auto it = r.pending.find(key);
    if (it == r.pending.end()) return;
    waiter = it->second;
    r.pending.erase(it);
  } catch (const std::bad_alloc&) {
    logOom(w);
    return;
  }
  waiter->answered = true;
  try {
    waiter->reply.emplace(line, &r.gpa);
  } catch (const std::bad_alloc&) {
    waiter->lost = true;  // the asking tool reports it: an answer lost is not an answer missed
  }
  if (!waiter->loop) return;  // not suspended yet: it finds the answer when it looks
  // Resumed from the loop's step, not from inside the reading of this line.
  waiter->loop->rearm(waiter->wake, waiter->loop->now());
}
