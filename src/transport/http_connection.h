#pragma once
// HTTP/1.1 connections on the server's loop, and nothing of MCP: bytes in and out, each request
// framed by the parser and handed up whole, the limits and their timers, and the memory all of it
// holds. The layer above (http_server.h) answers each request with one response, whole, or with a
// stream that it feeds and ends; the requests that follow on the same connection wait for it.
//
// Each connection is in one state at a time (`ConnectionState`), and its changes all pass through
// `settle`, once per turn of the loop. What belongs to one request (its origin, whether the
// connection closes after it) is handed up with that request and gone with its answer.
//
// Memory is counted as held: every buffer of a connection (what has arrived, what waits to leave)
// and whatever the layer above keeps for them (events kept for resuming) comes from one counting
// resource, and all of it together stays within a budget. Past it, the connection that has left
// answers unread the longest is disconnected; a connection whose next bytes would go beyond gets
// 413, once what it has open has ended.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "runtime/loop.h"
#include "runtime/platform.h"
#include "runtime/output_queue.h"
#include "transport/http_limits.h"
#include "transport/http_request.h"
#include "transport/http_response.h"

// What a connection, and the server over it, may cost. The defaults are the server's; tests make
// them smaller.
struct HttpLimits {
  // A request must arrive whole in this long (a client that sends a byte at a time gets 408).
  std::chrono::nanoseconds request_time = http::request_time_limit;
  // A connection with no request arriving and nothing open is closed after this long.
  std::chrono::nanoseconds quiet_time = http::quiet_limit;
  // A connection done with reads and drops what still comes for this long before it closes, so
  // that closing does not reset the connection under the last answer before its client read it.
  std::chrono::nanoseconds linger_time = http::linger_limit;
  // When descriptors run out, a connection quiet at least this long is closed to make room: one
  // just accepted gets the time to send its request.
  std::chrono::nanoseconds room_after = std::chrono::seconds(1);
  // A connection is not given new work while this much of its answers waits unread, and one that
  // leaves this much unread behind a stream is disconnected.
  std::size_t max_unread = http::max_unread;
  // What is read of the requests that follow while a stream is open on their connection. A client
  // that sends more behind a stream is disconnected: it cannot be waiting for their answers.
  std::size_t read_ahead = http::read_ahead;
  // Everything the transport holds, together: buffers, queues, kept events.
  std::size_t max_held = http::max_held;
  // A connection's buffers beyond this are given back once it has nothing to read or write.
  std::size_t kept_buffer = std::size_t{64} << 10;
};

// The memory the transport holds, counted: capacity, not length. Thread-compatible (one loop).
class HeldMemory final : public std::pmr::memory_resource {
 public:
  explicit HeldMemory(std::pmr::memory_resource& upstream) : upstream_(upstream) {}
  std::size_t held() const { return held_; }

 private:
  void* do_allocate(std::size_t bytes, std::size_t align) override {
    void* p = upstream_.allocate(bytes, align);
    held_ += bytes;
    return p;
  }
  void do_deallocate(void* p, std::size_t bytes, std::size_t align) override {
    held_ -= bytes;
    upstream_.deallocate(p, bytes, align);
  }
  bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

  std::pmr::memory_resource& upstream_;
  std::size_t held_ = 0;
};

class HttpConnections;
struct HttpConnection;

// The bytes a connection has received and not yet answered. It grows as a string does, but never
// beyond what it is told it may hold, so that one request may use a budget to its end.
class InputBuffer {
 public:
  explicit InputBuffer(std::pmr::memory_resource& memory) : memory_(memory) {}
  ~InputBuffer() { release(); }
  InputBuffer(const InputBuffer&) = delete;
  InputBuffer& operator=(const InputBuffer&) = delete;
  char* data() { return data_ + begin_; }
  std::size_t size() const { return size_; }
  std::size_t capacity() const { return capacity_; }
  bool empty() const { return size_ == 0; }
  operator std::string_view() const { return {data_ + begin_, size_}; }
  // Appends `bytes`, growing to at most `most` bytes of room. False, with nothing appended, when
  // that is not enough. Throws std::bad_alloc.
  bool append(std::string_view bytes, std::size_t most);
  // Takes out `count` bytes from `at` on; from the front, that costs nothing.
  void erase(std::size_t at, std::size_t count) noexcept;
  void release() noexcept;  // its memory given back

 private:
  std::pmr::memory_resource& memory_;
  char* data_ = nullptr;
  std::size_t begin_ = 0;  // where the bytes not yet taken out start
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Bytes given as pieces, the same piece perhaps many times over, each distinct piece copied once:
// a long answer, which its connection makes into bytes as its client takes them instead of
// holding it whole (an echo of many copies holds one).
class PiecedBytes {
 public:
  // Throws std::bad_alloc.
  PiecedBytes(std::pmr::memory_resource& memory, std::span<const std::string_view> pieces);
  std::size_t size() const { return size_; }
  bool taken() const { return next_ == order_.size(); }
  // The next bytes, at most `most` of them, which count as taken. REQUIRES: !taken().
  std::string_view take(std::size_t most) noexcept;
  // Adds `bytes` at the end, as a piece of their own. Throws std::bad_alloc.
  void append(std::string_view bytes);

 private:
  std::pmr::vector<std::pmr::string> distinct_;
  std::pmr::vector<std::uint32_t> order_;  // of distinct_
  std::size_t size_ = 0;
  std::size_t next_ = 0;    // in order_: the piece to take from
  std::size_t offset_ = 0;  // in it
};

// The layer above's end of a stream: told once when the connection that carries it is gone (its
// client went, failed to read, or the server ends), after which it must not be fed.
struct StreamEnd {
  // `unread`: its client left `max_unread` unread; nobody waits for what the stream would carry.
  void (*lost)(StreamEnd& self, bool unread) noexcept = nullptr;
  // A stream that ends by itself (a call's answer) is still sent to a client that has stopped
  // sending; one that never does (a standing stream) ends with it.
  bool ends_by_itself = true;
};

// One request, whole, as the layer above gets it. Everything in it is borrowed for the call.
struct HttpRequest {
  const http::RequestHead& head;
  std::string_view path;    // of the target, without its query
  std::string_view body;    // decoded
  std::string_view origin;  // a browser's Origin, as sent; empty when none
  bool head_only = false;   // HEAD: the answer's head goes, without its body
};

// What the layer above answers requests with.
struct HttpHandler {
  void* ctx = nullptr;
  // Answers `r`, which arrived on `c`, through respond() or openStream() before returning.
  void (*request)(void* ctx, HttpConnection& c, const HttpRequest& r) = nullptr;
};

enum class ConnectionState : std::uint8_t {
  Reading,    // a request is awaited, or arriving (a head, then a body)
  Streaming,  // a response stream is open: what follows waits for its end
  Closing,    // no more requests: closes once what is queued has left
  Lingering,  // all sent and the end told: what comes is dropped until the client closes
};

// A place in a ring whose head is a link of its own, oldest first: linked in at the end and out
// again in O(1), without allocating. What it is the place of embeds it.
struct RingLink {
  RingLink() = default;
  RingLink(const RingLink&) = delete;
  RingLink& operator=(const RingLink&) = delete;
  RingLink* prev = this;
  RingLink* next = this;
  bool linked() const { return next != this; }
  void unlink() noexcept {
    prev->next = next;
    next->prev = prev;
    prev = next = this;
  }
  void linkBefore(RingLink& head) noexcept {  // at the end of the ring whose head `head` is
    prev = head.prev;
    next = &head;
    prev->next = this;
    head.prev = this;
  }
};

// A connection's place in one of the server's lists of connections, oldest first.
struct ConnectionLink : RingLink {
  explicit ConnectionLink(HttpConnection* of = nullptr) : of(of) {}
  HttpConnection* of;
};

// A fixed time limit: the connections under it, in the order armed, which is deadline order.
struct TimeLimit {
  std::chrono::nanoseconds duration{};
  ConnectionLink armed;
  Timer timer;
};

struct HttpConnection {
  HttpConnection(HttpConnections& server, const sys::Stream& stream, std::pmr::memory_resource& held);
  HttpConnections& server;
  std::list<HttpConnection>::iterator self;
  OutputQueue out;
  // What waits behind a long answer, made into bytes for `out` as its client takes them: the
  // answer, and whatever was queued after it.
  std::pmr::vector<PiecedBytes> later;
  Watch watch;
  ConnectionState state = ConnectionState::Reading;
  // What has come and is not yet answered. While a chunked body arrives, its payload decoded so
  // far lies right after the head, and only what follows `decoded_to` is still encoded.
  InputBuffer input;
  http::RequestHead head;     // of the request arriving, read on from where the last read stopped
  std::size_t head_size = 0;  // of the request arriving, once its head is whole
  http::Framing framing = http::Framing::None;
  std::uint64_t content_length = 0;
  std::optional<http::ChunkedDecoder> chunked;
  std::size_t decoded_to = 0;
  StreamEnd* stream = nullptr;  // while Streaming
  bool close_delimited = false;  // the open stream's body ends with the connection (HTTP/1.0)
  // The request being answered: the last one, HEAD (no body goes), HTTP/1.0, answered yet.
  bool close_after = false;
  bool head_only = false;
  bool http10 = false;
  bool answered = false;
  bool continued = false;        // the request arriving was told to go on (100 Continue)
  bool peer_done = false;        // the client has sent all it will: what has come is answered, then it closes
  bool refuse_when_done = false; // over the budget while a stream was open: 413 once it ends
  bool gone = false;             // closes when next settled
  bool unread_too_long = false;  // ... because its client left too much unread behind its stream
  bool dirty = false;
  HttpConnection* next_dirty = nullptr;
  // Its clock: in one time limit's list at most, and the time it went in.
  ConnectionLink timing{this};
  TimeLimit* limit = nullptr;
  Loop::Time since{};
  // While answers wait unread: in the server's list of them, by the turn it last took a byte in.
  ConnectionLink unread{this};
  std::uint64_t took = 0;
  std::uint64_t settled_seen = 0;
};

// The connections of one listener.
class HttpConnections {
 public:
  // Serves `listener` (taken over) from `loop`, handing requests to `handler`. `held` counts what
  // the transport holds, the layer above's kept events too. Throws std::bad_alloc.
  HttpConnections(HeldMemory& held, Loop& loop, HttpHandler handler, const sys::Stream& listener,
                  const HttpLimits& limits, const Sink& log);
  ~HttpConnections();
  HttpConnections(const HttpConnections&) = delete;
  HttpConnections& operator=(const HttpConnections&) = delete;

  // Answers the request being handled on `c` with a whole response: `head` (its length, origin and
  // Connection: close filled in here) and `body`. For HEAD only the head goes.
  void respond(HttpConnection& c, http::ResponseHead head, std::string_view body);
  // As respond, with a long body that goes out as its client takes it.
  void respond(HttpConnection& c, http::ResponseHead head, PiecedBytes body);
  // A refusal with a JSON-RPC error body. `ends`: the connection closes after it (the
  // connection's own refusals: where the next request would start is in doubt).
  void refuse(HttpConnection& c, int status, std::int64_t code, std::string_view message, bool ends = false);
  // Answers the request being handled on `c` with a stream: `head` is sent now, and `end` is the
  // stream until endStream() or until the connection is lost.
  void openStream(HttpConnection& c, http::ResponseHead head, StreamEnd& end);
  // Sends one event of `c`'s open stream. A client that has left `max_unread` unread behind it is
  // disconnected instead (its stream is told it is lost, after this returns).
  void sendOnStream(HttpConnection& c, std::string_view event);
  // As sendOnStream, for a long event: `before`, `body` as its client takes it, then `after`.
  void sendOnStream(HttpConnection& c, std::string_view before, PiecedBytes body, std::string_view after);
  // Ends `c`'s open stream; the connection takes the next request.
  void endStream(HttpConnection& c);
  // Closes `c` once settled, its open stream forgotten without being told (the layer above has
  // moved it elsewhere), or not (it is told it is lost then).
  void drop(HttpConnection& c, bool forget_stream) noexcept;
  // Writes what `c` has queued now, before anything else is queued: a 202 that must reach its
  // client before the answer it announces goes out on another connection.
  void sendNow(HttpConnection& c) noexcept;

  // Stops accepting: the listener closes, and every connection closes once the request it is
  // answering, or its stream, has been answered and what it holds has left.
  void stopAccepting() noexcept;
  std::size_t count() const { return connections_.size(); }
  // Delivers what every connection holds before the process ends, each given its patience.
  void deliverAll() noexcept;
  // Closes every connection now; their streams are told they are lost.
  void closeAll() noexcept;

  const HttpLimits& limits() const { return limits_; }
  HeldMemory& held() { return held_; }

  // The loop's callbacks.
  static void onAccept(void* self, bool, bool) noexcept;
  static void onConnection(void* c, bool readable, bool writable) noexcept;
  static void onTimeLimit(void* limit) noexcept;
  static void beforeWait(void* self) noexcept;

 private:
  void touch(HttpConnection& c) noexcept;
  void enter(HttpConnection& c, ConnectionState to) noexcept;
  void settle(HttpConnection& c) noexcept;
  void read(HttpConnection& c) noexcept;
  bool serveRequests(HttpConnection& c);
  void serveOne(HttpConnection& c, std::size_t used, std::string_view body);
  void queue(HttpConnection& c, std::string_view bytes);
  void queue(HttpConnection& c, PiecedBytes bytes);
  void refill(HttpConnection& c);
  bool streamTakes(HttpConnection& c) noexcept;
  void beginEvent(HttpConnection& c, std::size_t size);
  void startClock(HttpConnection& c, TimeLimit* limit, Loop::Time since) noexcept;
  void armLimit(TimeLimit& l) noexcept;
  bool makeRoom() noexcept;
  void evictUnread() noexcept;
  void close(HttpConnection& c) noexcept;
  void lose(HttpConnection& c) noexcept;

  HeldMemory& held_;
  Loop& loop_;
  HttpHandler handler_;
  sys::Stream listener_;
  HttpLimits limits_;
  Sink log_;
  Watch accepting_;
  TurnHook hook_;
  std::list<HttpConnection> connections_;
  HttpConnection* dirty_ = nullptr;
  TimeLimit arriving_, quiet_, lingering_;
  ConnectionLink unread_;  // connections with answers waiting, the one that took a byte longest ago first
  Timer room_timer_;       // while out of descriptors: when the quietest may make room
  bool accept_paused_ = false;
  bool accepting_stopped_ = false;
  std::uint64_t turn_ = 0;  // the loop's turns, counted
};
