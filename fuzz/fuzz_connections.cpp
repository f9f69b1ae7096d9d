// Fuzzes the HTTP transport's connections, in process, on a clock of the fuzzer's own. Each input
// is a sequence of steps for a few loopback clients of one fresh HttpServer with small limits:
// connections opened (8 at once at most), requests (valid and broken, on both transports) sent
// whole or cut at a point chosen by the input, raw bytes, half-closes, resets, the clock moved in
// small and large steps, and clients that stop reading for a while. Every request id names the
// connection whose answer it is ("c3~17": connection 3; for the older transport, the connection
// of the session's stream), and every echo carries its connection's marker ("~c3~"). Raw bytes
// never contain '~', so only the fuzzer's own requests can make those.
//
// After the steps every client half-closes, the clock moves on by hours, and then:
// - the server holds no connection (each one ended, read or unread, through its limits);
// - the bytes each client received are whole HTTP responses one after another (the last may be
//   cut short), each framed by its length, its chunks, or the end of the connection;
// - every request id and every marker a client received names that client;
// - no answer came twice;
// - once the clients have gone, the transport holds what it held when it started, no call runs
//   and no timer is armed.
// Any violation aborts with a message, which libFuzzer reports as a crash; ASan and UBSan watch
// the rest. With FUZZ_CONNECTIONS_TRACE set, what each client received is printed. The loop and the server's catalogue serve the whole run; each input gets its own
// HttpServer on a listener of its own. POSIX only, loopback only.

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory_resource>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "runtime/loop.h"
#include "server/server.h"
#include "transport/access.h"
#include "transport/http_connection.h"
#include "transport/http_server.h"

namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr std::size_t max_open = 8;     // clients connected at once
constexpr std::size_t max_opened = 32;  // clients of one input
constexpr std::size_t max_steps = 256;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "fuzz_connections: %s\n", what.c_str());
  std::abort();
}

// The input, read a byte at a time; zeros once it is used up.
struct Reader {
  std::string_view data;
  bool done() const { return data.empty(); }
  std::uint8_t byte() {
    if (data.empty()) return 0;
    const auto b = static_cast<std::uint8_t>(data.front());
    data.remove_prefix(1);
    return b;
  }
  std::string_view bytes(std::size_t n) {
    std::string_view taken = data.substr(0, n);
    data.remove_prefix(taken.size());
    return taken;
  }
};

struct Client {
  int fd = -1;
  int number = 0;         // names its ids and markers
  bool reading = true;    // drained after every turn; else what comes waits in the system's buffers
  bool sending = true;    // not yet half-closed
  bool sent_head = false; // some answer may be a HEAD's, without the body its length announces
  std::string got;        // all it received
  std::size_t scanned_heads = 0;   // how far `got` was searched for session ids
  std::size_t scanned_events = 0;
  std::string unsent;     // held back by the input, sent by a later step
  std::string pending;    // waiting for room in the socket
  int requests = 0;
};

// The process-wide part: one loop on the fuzzer's clock, and the server it runs.
struct World {
  World() : loop(*std::pmr::new_delete_resource(), clockSource()), server(initServer(*std::pmr::new_delete_resource(), loop)) {
    if (!server) fail("the catalogue does not load");
  }
  LoopClock clockSource() {
    return {[](const void* ctx) { return *static_cast<const Loop::Time*>(ctx); }, &now};
  }
  Loop::Time now{};
  Loop loop;
  ServerPtr server;
};

World& world() {
  static World w;
  return w;
}

void handleWithServer(void* s, const Answering& to, std::pmr::memory_resource& a, const json::Value& message,
                      std::string_view line) noexcept {
  handleMessage(*static_cast<Server*>(s), to, a, message, line);
}

void logNothing(void*, std::string_view) {}

// One input's run.
class Run {
 public:
  Run(World& w, bool tiny) : w_(w) {
    sys::Stream listener;
    if (sys::listenTcp("127.0.0.1", 0, listener) != 0) fail("cannot listen on 127.0.0.1");
    port_ = sys::localPort(listener);
    rules_.port = port_;
    HttpLimits limits{.max_unread = std::size_t{16} << 10,
                      .read_ahead = std::size_t{4} << 10,
                      .max_held = tiny ? std::size_t{96} << 10 : std::size_t{384} << 10,
                      .kept_buffer = std::size_t{4} << 10};
    SessionLimits sessions{.idle_time = std::chrono::minutes(2),
                           .max_sessions = 4,
                           .max_kept_events = 8,
                           .max_kept_bytes = std::size_t{4} << 10};
    http_ = startHttp(*std::pmr::new_delete_resource(), w_.loop, SessionHandler{w_.server.get(), &handleWithServer},
                      listener, Sink{nullptr, &logNothing}, rules_, limits, sessions);
    at_rest_ = heldMemory(*http_);
  }
  ~Run() {
    for (Client& c : clients_) reset(c);
  }

  void step(Reader& in);
  void finish();

 private:
  Client* pick(Reader& in, bool must_send);
  void open(bool small_buffer);
  void request(Client& c, Reader& in);
  std::string build(Client& c, Reader& in);
  void sendSome(Client& c, std::size_t n);
  void flush(Client& c);
  void drain(Client& c);
  void learn(Client& c);
  void halfClose(Client& c);
  void reset(Client& c);
  void pump(int quiet_turns = 3);
  void advance(std::chrono::nanoseconds d);
  void checkClient(const Client& c, std::set<std::string>& answered) const;

  World& w_;
  AccessRules rules_;
  std::uint16_t port_ = 0;
  HttpServerPtr http_;
  std::size_t at_rest_ = 0;
  std::vector<Client> clients_;
  std::vector<std::string> sessions_;                  // learned from Mcp-Session-Id, the latest last
  std::vector<std::pair<std::string, int>> older_;     // older sessions and the client holding their stream
};

Client* Run::pick(Reader& in, bool must_send) {
  std::vector<Client*> open;
  for (Client& c : clients_) {
    if (c.fd >= 0 && (c.sending || !must_send)) open.push_back(&c);
  }
  if (open.empty()) return nullptr;
  return open[in.byte() % open.size()];
}

void Run::open(bool small_buffer) {
  std::size_t connected = 0;
  for (const Client& c : clients_) connected += c.fd >= 0;
  if (connected >= max_open || clients_.size() >= max_opened) return;
  Client& c = clients_.emplace_back();
  c.number = static_cast<int>(clients_.size());
  c.fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (c.fd < 0) fail("no socket for a client");
  if (small_buffer) {
    int size = 2048;
    ::setsockopt(c.fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port_);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int connected_now = ::connect(c.fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  if (connected_now != 0 && errno == EINTR) {
    // Interrupted (the fuzzer's own timer signal): the connection goes on being made; wait for it.
    pollfd p{c.fd, POLLOUT, 0};
    int error = 0;
    socklen_t size = sizeof error;
    if (::poll(&p, 1, 1000) == 1 && ::getsockopt(c.fd, SOL_SOCKET, SO_ERROR, &error, &size) == 0 && error == 0) {
      connected_now = 0;
    } else {
      errno = error != 0 ? error : EAGAIN;
    }
  }
  if (connected_now != 0) {
    // Out of local ports (a long run leaves many connections in TIME_WAIT): not the server's doing.
    if (errno != EADDRNOTAVAIL && errno != EAGAIN) fail(std::string("cannot connect: ") + std::strerror(errno));
    ::close(c.fd);
    clients_.pop_back();
    return;
  }
  ::fcntl(c.fd, F_SETFL, ::fcntl(c.fd, F_GETFL) | O_NONBLOCK);
  pump();
}

void Run::flush(Client& c) {
  while (c.fd >= 0 && c.sending && !c.pending.empty()) {
    const ssize_t n = ::send(c.fd, c.pending.data(), c.pending.size(), MSG_NOSIGNAL);
    if (n <= 0) return;  // no room now (or the server has gone): it waits
    c.pending.erase(0, static_cast<std::size_t>(n));
  }
}

void Run::sendSome(Client& c, std::size_t n) {
  n = std::min(n, c.unsent.size());
  c.pending.append(c.unsent, 0, n);
  c.unsent.erase(0, n);
  flush(c);
  pump();
}

void Run::drain(Client& c) {
  char chunk[65536];
  while (c.fd >= 0) {
    const ssize_t n = ::recv(c.fd, chunk, sizeof chunk, 0);
    if (n <= 0) break;
    c.got.append(chunk, static_cast<std::size_t>(n));
  }
  learn(c);
}

// Session ids, from the heads of initialize's answers and the older transport's first event.
void Run::learn(Client& c) {
  auto scan = [&](std::string_view key, char end_with, std::size_t& from, auto found) {
    const std::string_view got = c.got;
    for (std::size_t at; (at = got.find(key, from)) != std::string_view::npos;) {
      const std::size_t end = got.find(end_with, at);
      if (end == std::string_view::npos) return;  // cut by the end of what came: looked at again later
      found(got.substr(at + key.size(), end - at - key.size()));
      from = end;
    }
    from = std::max(from, got.size() > key.size() ? got.size() - key.size() : 0);
  };
  scan("Mcp-Session-Id: ", '\r', c.scanned_heads, [&](std::string_view id) { sessions_.emplace_back(id); });
  scan("data: /message?sessionId=", '\n', c.scanned_events,
       [&](std::string_view id) { older_.emplace_back(std::string(id), c.number); });
}

void Run::halfClose(Client& c) {
  if (c.fd < 0 || !c.sending) return;
  c.sending = false;
  ::shutdown(c.fd, SHUT_WR);
}

// Gone at once, with a reset: nothing of the client lingers in the system either.
void Run::reset(Client& c) {
  if (c.fd < 0) return;
  linger l{1, 0};
  ::setsockopt(c.fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
  ::close(c.fd);
  c.fd = -1;
}

// Turns the loop without waiting until a few turns in a row brought no client anything.
void Run::pump(int quiet_turns) {
  std::uint32_t error = 0;
  for (int quiet = 0, turns = 0; quiet < quiet_turns && turns < 256; ++turns) {
    w_.loop.turn(std::chrono::nanoseconds(0), error);
    std::size_t before = 0, after = 0;
    for (Client& c : clients_) {
      before += c.got.size() + c.pending.size();
      if (c.reading) drain(c);
      flush(c);
      after += c.got.size() + c.pending.size();
    }
    quiet = before == after ? quiet + 1 : 0;
  }
}

// Moves the clock on by `d`, from deadline to deadline, running the loop at each.
void Run::advance(std::chrono::nanoseconds d) {
  const Loop::Time until = w_.now + d;
  int fired = 0;
  for (std::optional<Loop::Time> next; (next = w_.loop.nextDeadline()) && *next <= until;) {
    if (++fired > 100000) fail("timers keep falling due without end");
    w_.now = std::max(w_.now, *next);
    pump();
  }
  w_.now = until;
  pump();
}

std::string Run::build(Client& c, Reader& in) {
  const std::uint8_t kind = in.byte();
  const std::uint8_t mods = kind & 0x80 ? in.byte() : 0;
  const std::uint8_t arg = in.byte();
  const bool http10 = mods & 0x01, chunked = mods & 0x02, close = mods & 0x04, origin = mods & 0x08,
             expect = mods & 0x10, foreign = mods & 0x20, no_accept = mods & 0x40, bad_session = mods & 0x80;
  const std::string id = "\"c" + std::to_string(c.number) + "~" + std::to_string(++c.requests) + "\"";
  std::string session;
  if (bad_session) {
    session = "0123456789abcdef0123456789abcdef";
  } else if (!sessions_.empty() && arg % 8 != 7) {
    session = sessions_[sessions_.size() - 1 - (arg % 8) % sessions_.size()];
  }
  std::string method = "POST", target = "/mcp", body;
  std::string extra;  // header lines
  auto call = [&](const std::string& request_id, std::string_view tool, const std::string& arguments,
                  const std::string& meta = "") {
    return "{\"jsonrpc\":\"2.0\",\"id\":" + request_id + ",\"method\":\"tools/call\",\"params\":{\"name\":\"" +
           std::string(tool) + "\",\"arguments\":" + arguments + meta + "}}";
  };
  auto marker = [](int number, std::size_t length) {
    const std::string one = "~c" + std::to_string(number) + "~";
    std::string text;
    while (text.size() < length) text += one;
    return text;
  };
  // A message of a session whose answer is for client `owner`.
  auto message = [&](int owner, const std::string& request_id, std::uint8_t which) {
    static constexpr const char* slow[] = {"0", "0.01", "1", "4.5", "6", "31", "60"};
    switch (which % 5) {
      case 0: return "{\"jsonrpc\":\"2.0\",\"id\":" + request_id + ",\"method\":\"ping\"}";
      case 1: return call(request_id, "slow", std::string("{\"seconds\":") + slow[(which / 5) % 7] + "}");
      case 2:
        return call(request_id, "echo",
                    "{\"text\":\"" + marker(owner, std::size_t{64} << ((which / 5) % 8)) +
                        "\",\"times\":" + std::to_string(1 + (which / 40) % 10) + "}");
      case 3:
        return call(request_id, "notify", "{\"steps\":" + std::to_string(1 + (which / 5) % 10) + "}",
                    ",\"_meta\":{\"progressToken\":" + request_id + "}");
      default: return std::string("{\"jsonrpc\":\"2.0\",\"method\":\"notifications/initialized\"}");
    }
  };
  switch ((kind & 0x7f) % 14) {
    case 0: {
      static constexpr const char* versions[] = {"2024-11-05", "2025-03-26", "2025-06-18", "2025-11-25"};
      body = "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"method\":\"initialize\",\"params\":{\"protocolVersion\":\"" +
             versions[arg % 4] + "\",\"capabilities\":{},\"clientInfo\":{\"name\":\"f\",\"version\":\"1\"}}}";
      session.clear();
      break;
    }
    case 1: body = message(c.number, id, in.byte()); break;
    case 2: body = message(c.number, id, 2 + 5 * in.byte()); break;  // an echo
    case 3: method = "GET"; break;                                    // the standing stream
    case 4: method = "GET", target = "/sse", session.clear(); break;
    case 5: {  // a message for a session of the older transport, answered on its stream
      const std::uint8_t which = in.byte();
      if (older_.empty()) {
        target = "/message?sessionId=none";
        body = message(c.number, id, which);
        break;
      }
      const auto& [older_id, owner] = older_[older_.size() - 1 - arg % older_.size()];
      target = "/message?sessionId=" + older_id;
      body = message(owner, "\"c" + std::to_string(owner) + "~" + std::to_string(c.number) + "." +
                                std::to_string(c.requests) + "\"",
                     which);
      session.clear();
      break;
    }
    case 6: method = "DELETE"; break;
    case 7:
      method = "OPTIONS";
      extra += "Access-Control-Request-Method: POST\r\n";
      break;
    case 8:
      method = "HEAD";
      if (arg & 1) target = "/nothing";
      break;
    case 9: {  // a head of the input's bytes: anything but the fuzzer's markers
      std::string raw(in.bytes(arg));
      for (char& ch : raw) ch = ch == '~' ? '_' : ch;
      return raw + "\r\n\r\n";
    }
    case 10: extra += "X-Pad: " + std::string(std::size_t{17} << 10, 'p') + "\r\n"; break;
    case 11: body = arg & 1 ? "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"method\":\"tools/list\"}" : "{\"id\":"; break;
    case 12:  // a body shorter than its length says: it waits for the rest
      body = "{\"jsonrpc\":\"2.0\",\"id\":" + id + ",\"method\":\"ping\"}";
      extra += "Content-Length: " + std::to_string(body.size() + 1 + arg) + "\r\n";
      break;
    default: body = message(c.number, id, arg); break;
  }
  if (method == "HEAD") c.sent_head = true;
  std::string text = method + " " + target + (http10 ? " HTTP/1.0\r\n" : " HTTP/1.1\r\n");
  text += foreign ? "Host: evil.example\r\n" : "Host: 127.0.0.1:" + std::to_string(port_) + "\r\n";
  if (origin) text += "Origin: http://localhost:5173\r\n";
  if (!no_accept) text += "Accept: application/json, text/event-stream\r\n";
  if (!session.empty()) text += "Mcp-Session-Id: " + session + "\r\n";
  if (close) text += "Connection: close\r\n";
  if (expect) text += "Expect: 100-continue\r\n";
  text += extra;
  if (method == "POST") {
    text += "Content-Type: application/json\r\n";
    if (chunked && (kind & 0x7f) % 14 != 12) {
      text += "Transfer-Encoding: chunked\r\n\r\n";
      for (std::size_t at = 0, size = 1 + arg % 23; at < body.size(); at += size) {
        const std::string_view piece = std::string_view(body).substr(at, size);
        char hex[16];
        std::snprintf(hex, sizeof hex, "%zx\r\n", piece.size());
        text += hex;
        text += piece;
        text += "\r\n";
      }
      return text + "0\r\n\r\n";
    }
    if ((kind & 0x7f) % 14 != 12) text += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  }
  return text + "\r\n" + body;
}

// A request, sent whole or up to a point the input chooses: the rest waits for a later step.
void Run::request(Client& c, Reader& in) {
  c.unsent += build(c, in);
  const std::uint8_t cut = in.byte();
  sendSome(c, cut == 0 ? c.unsent.size() : c.unsent.size() * cut / 256);
}

void Run::step(Reader& in) {
  const std::uint8_t op = in.byte();
  switch (op % 10) {
    case 0: return open((op / 10) & 1);
    case 1:
      if (Client* c = pick(in, true)) request(*c, in);
      return;
    case 2:
      if (Client* c = pick(in, true)) {
        const std::uint8_t n = in.byte();
        sendSome(*c, n == 0 ? c->unsent.size() : n * std::size_t{16});
      }
      return;
    case 3:
      if (Client* c = pick(in, true)) {
        std::string raw(in.bytes(in.byte()));
        for (char& ch : raw) ch = ch == '~' ? '_' : ch;
        if (raw.find("HEAD") != std::string::npos) c->sent_head = true;
        c->unsent.insert(0, raw);
        sendSome(*c, raw.size());
      }
      return;
    case 4:
      if (Client* c = pick(in, false)) halfClose(*c);
      pump();
      return;
    case 5:
      if (Client* c = pick(in, false)) reset(*c);
      pump();
      return;
    case 6:
      if (Client* c = pick(in, false)) {
        ::close(c->fd);
        c->fd = -1;
      }
      pump();
      return;
    case 7: {
      static constexpr std::chrono::nanoseconds steps[] = {
          milliseconds(1), milliseconds(40), milliseconds(500), milliseconds(999), milliseconds(1001),
          seconds(2),      milliseconds(2001), seconds(4),      milliseconds(5001), seconds(10),
          milliseconds(30001), seconds(61), std::chrono::minutes(3), std::chrono::minutes(31)};
      return advance(steps[in.byte() % std::size(steps)]);
    }
    case 8:
      if (Client* c = pick(in, false)) c->reading = !c->reading;
      pump();
      return;
    default: pump(8); return;
  }
}

// Whole responses, one after another; the last may be cut short by the end of what came.
void checkFraming(const Client& c) {
  std::string_view rest = c.got;
  auto broken = [&](const char* what) {
    fail("client " + std::to_string(c.number) + ": " + what + " at byte " +
         std::to_string(c.got.size() - rest.size()) + " of " + std::to_string(c.got.size()) + ": " +
         std::string(rest.substr(0, 120)));
  };
  while (!rest.empty()) {
    constexpr std::string_view status_line = "HTTP/1.1 ";
    if (rest.size() < status_line.size()) {
      if (!status_line.starts_with(rest)) broken("not a status line");
      return;
    }
    if (!rest.starts_with(status_line)) broken("not a status line");
    const std::size_t head_end = rest.find("\r\n\r\n");
    if (head_end == std::string_view::npos) return;
    const std::string_view head = rest.substr(0, head_end + 2);
    const int status = std::atoi(std::string(rest.substr(9, 3)).c_str());
    rest.remove_prefix(head_end + 4);
    if (status >= 100 && status < 200) continue;
    std::optional<std::size_t> length;
    if (std::size_t at = head.find("\r\nContent-Length: "); at != std::string_view::npos) {
      length = std::strtoull(std::string(head.substr(at + 18, 20)).c_str(), nullptr, 10);
    }
    const bool chunked = head.find("\r\nTransfer-Encoding: chunked\r\n") != std::string_view::npos;
    if (length && chunked) broken("both a length and chunks");
    if (status == 204 || status == 304) continue;
    if (length) {
      // A HEAD's answer announces the length its body would have and ends at its blank line.
      if (c.sent_head && (rest.starts_with("HTTP/1.1 ") || rest.empty())) continue;
      if (rest.size() <= *length) return;
      rest.remove_prefix(*length);
      continue;
    }
    if (!chunked) return;  // its body ends with the connection
    for (;;) {
      const std::size_t line_end = rest.find("\r\n");
      if (line_end == std::string_view::npos) return;
      char* end = nullptr;
      const std::string size_text(rest.substr(0, line_end));
      const std::size_t size = std::strtoull(size_text.c_str(), &end, 16);
      if (size_text.empty() || *end != '\0') broken("not a chunk size");
      rest.remove_prefix(line_end + 2);
      if (rest.size() < size + 2) return;
      if (rest.substr(size, 2) != "\r\n") broken("a chunk longer than its size");
      rest.remove_prefix(size + 2);
      if (size == 0) break;
    }
  }
}

// The ids and markers `c` received all name it; no answer comes twice.
void Run::checkClient(const Client& c, std::set<std::string>& answered) const {
  const std::string_view got = c.got;
  auto digits = [&](std::size_t at) {
    std::size_t end = at;
    while (end < got.size() && got[end] >= '0' && got[end] <= '9') ++end;
    return end;
  };
  for (std::size_t at = 0; (at = got.find('~', at)) != std::string_view::npos; ++at) {
    std::optional<std::string_view> named;
    if (at >= 2 && got[at - 1] >= '0' && got[at - 1] <= '9') {
      // An id: "c<client>~<n>", the client's digits right before.
      std::size_t from = at - 1;
      while (from > 0 && got[from - 1] >= '0' && got[from - 1] <= '9') --from;
      if (from >= 2 && got[from - 1] == 'c' && got[from - 2] == '"') named = got.substr(from, at - from);
    } else if (at + 1 < got.size() && got[at + 1] == 'c') {
      // A marker: "~c<client>~".
      const std::size_t end = digits(at + 2);
      if (end > at + 2 && end < got.size() && got[end] == '~') named = got.substr(at + 2, end - at - 2);
    }
    if (named && *named != std::to_string(c.number)) {
      fail("client " + std::to_string(c.number) + " received what is client " + std::string(*named) +
           "'s: " + std::string(got.substr(at > 40 ? at - 40 : 0, 100)));
    }
  }
  constexpr std::string_view id_key = "\"id\":\"c";
  for (std::size_t at = 0; (at = got.find(id_key, at)) != std::string_view::npos; ++at) {
    const std::size_t close = got.find('"', at + id_key.size());
    if (close == std::string_view::npos) break;
    const std::string_view after = got.substr(close + 1, 9);
    if (!after.starts_with(",\"result\"") && !after.starts_with(",\"error\"")) continue;
    if (!answered.emplace(got.substr(at, close - at)).second) {
      fail("an answer came twice: " + std::string(got.substr(at, close - at + 1)));
    }
  }
}

void Run::finish() {
  for (Client& c : clients_) halfClose(c);
  pump();
  advance(std::chrono::hours(3));
  if (std::size_t left = connectionCount(*http_); left != 0) {
    fail(std::to_string(left) + " connection(s) still open 3 hours after every client half-closed");
  }
  std::set<std::string> answered;
  static const bool trace = std::getenv("FUZZ_CONNECTIONS_TRACE") != nullptr;
  for (Client& c : clients_) {
    drain(c);
    if (trace) std::fprintf(stderr, "== client %d received %zu bytes:\n%s\n", c.number, c.got.size(), c.got.c_str());
    checkFraming(c);
    checkClient(c, answered);
    reset(c);
  }
  advance(std::chrono::hours(1));
  if (heldMemory(*http_) != at_rest_) {
    fail("the transport holds " + std::to_string(heldMemory(*http_)) + " bytes with every client gone, " +
         std::to_string(at_rest_) + " at rest");
  }
  http_.reset();
  if (w_.loop.tasks != 0) fail(std::to_string(w_.loop.tasks) + " call(s) still run with the server gone");
  if (w_.loop.nextDeadline()) fail("a timer is still armed with the server gone");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Reader in{std::string_view(reinterpret_cast<const char*>(data), size)};
  Run run(world(), in.byte() & 1);
  for (std::size_t steps = 0; !in.done() && steps < max_steps; ++steps) run.step(in);
  run.finish();
  return 0;
}
