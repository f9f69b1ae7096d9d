#include "transport/http_connection.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>
#include <vector>

namespace {

HttpConnection& first(const ConnectionLink& list) { return *static_cast<ConnectionLink*>(list.next)->of; }

}  // namespace

bool InputBuffer::append(std::string_view bytes, std::size_t most) {
  const std::size_t needed = size_ + bytes.size();
  if (needed > capacity_) {
    if (needed > most) return false;
    const std::size_t room = std::max(needed, std::min(most, std::max<std::size_t>(capacity_ * 2, 4096)));
    char* grown = static_cast<char*>(memory_.allocate(room, 1));
    if (size_ > 0) std::memcpy(grown, data_ + begin_, size_);
    if (data_) memory_.deallocate(data_, capacity_, 1);
    data_ = grown;
    capacity_ = room;
    begin_ = 0;
  } else if (begin_ + needed > capacity_) {  // room enough once what is left moves to the front
    std::memmove(data_, data_ + begin_, size_);
    begin_ = 0;
  }
  std::memcpy(data_ + begin_ + size_, bytes.data(), bytes.size());
  size_ = needed;
  return true;
}

void InputBuffer::erase(std::size_t at, std::size_t count) noexcept {
  if (at == 0) {
    begin_ += count;
  } else {
    std::memmove(data_ + begin_ + at, data_ + begin_ + at + count, size_ - at - count);
  }
  size_ -= count;
  if (size_ == 0) begin_ = 0;
}

void InputBuffer::release() noexcept {
  if (data_) memory_.deallocate(data_, capacity_, 1);
  data_ = nullptr;
  begin_ = size_ = capacity_ = 0;
}

PiecedBytes::PiecedBytes(std::pmr::memory_resource& memory, std::span<const std::string_view> pieces)
    : distinct_(&memory), order_(&memory) {
  order_.reserve(pieces.size());
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    const std::string_view p = pieces[k];
    size_ += p.size();
    // The same bytes given again are the same view again: copied once, where they first came (a
    // long answer has a few pieces, so looking back over them costs nothing).
    std::size_t first = 0;
    while (pieces[first].data() != p.data() || pieces[first].size() != p.size()) ++first;
    if (first < k) {
      order_.push_back(order_[first]);
    } else {
      order_.push_back(static_cast<std::uint32_t>(distinct_.size()));
      distinct_.emplace_back(p);
    }
  }
}

std::string_view PiecedBytes::take(std::size_t most) noexcept {
  const std::pmr::string& piece = distinct_[order_[next_]];
  const std::string_view bytes = std::string_view(piece).substr(offset_, most);
  offset_ += bytes.size();
  if (offset_ == piece.size()) {
    ++next_;
    offset_ = 0;
  }
  return bytes;
}

void PiecedBytes::append(std::string_view bytes) {
  distinct_.emplace_back(bytes);
  order_.push_back(static_cast<std::uint32_t>(distinct_.size() - 1));
  size_ += bytes.size();
}

HttpConnection::HttpConnection(HttpConnections& server, const sys::Stream& stream, std::pmr::memory_resource& held)
    : server(server), out(stream, held), later(&held), input(held) {
  // Most answers are short, and a server holds many connections: blocks of a few KiB, one kept.
  out.unit = 4096 - sizeof(OutputQueue::Block);
  out.keep = 1;
}

HttpConnections::HttpConnections(HeldMemory& held, Loop& loop, HttpHandler handler, const sys::Stream& listener,
                                 const HttpLimits& limits, const Sink& log)
    : held_(held), loop_(loop), handler_(handler), listener_(listener), limits_(limits), log_(log) {
  accepting_ = Watch{&listener_, &onAccept, this};
  hook_ = TurnHook{&beforeWait, this};
  for (TimeLimit* l : {&arriving_, &quiet_, &lingering_}) {
    l->timer.fired = &onTimeLimit;
    l->timer.owner = l;
  }
  arriving_.duration = limits.request_time;
  quiet_.duration = limits.quiet_time;
  lingering_.duration = limits.linger_time;
  room_timer_.fired = [](void* self) noexcept {
    auto& h = *static_cast<HttpConnections*>(self);
    h.accept_paused_ = false;  // the quietest may make room now
  };
  room_timer_.owner = this;
  loop_.addHook(hook_);
  // The first use of the counting resource is made here, while descriptors are plenty: a checking
  // build looks a new type up in the process's maps once, and cannot when they have run out.
  held_.deallocate(held_.allocate(1), 1);
}

HttpConnections::~HttpConnections() {
  dirty_ = nullptr;
  while (!connections_.empty()) close(connections_.front());
  for (TimeLimit* l : {&arriving_, &quiet_, &lingering_}) loop_.disarm(l->timer);
  loop_.disarm(room_timer_);
  loop_.forget(accepting_);
  loop_.removeHook(hook_);
  if (!accepting_stopped_) sys::closeStream(listener_);
}

void HttpConnections::touch(HttpConnection& c) noexcept {
  if (c.dirty) return;
  c.dirty = true;
  c.next_dirty = dirty_;
  dirty_ = &c;
}

void HttpConnections::onAccept(void* self, bool, bool) noexcept {
  auto& h = *static_cast<HttpConnections*>(self);
  for (int taken = 0; taken < 64; ++taken) {  // a few per turn, so that a flood cannot starve the rest
    sys::Stream s;
    sys::Transfer t = sys::acceptOne(h.listener_, s);
    if (t.status == sys::Io::NotNow) return;
    if (t.status != sys::Io::Done) {
      // Out of descriptors, say: the connection waits in the system's queue, which would wake the
      // loop at once again. The connection quiet the longest makes room, or else the listener rests
      // until one closes, or until the quietest has been quiet long enough.
      if (!h.makeRoom()) h.accept_paused_ = true;
      return;
    }
    try {
      HttpConnection& c = h.connections_.emplace_back(h, s, h.held_);
      c.self = std::prev(h.connections_.end());
      c.watch = Watch{&c.out.stream, &onConnection, &c};
      h.startClock(c, &h.quiet_, h.loop_.now());
      h.touch(c);
    } catch (const std::bad_alloc&) {  // onAccept decides: a connection without memory is closed at once
      sys::closeStream(s);
      return;
    }
  }
}

// Closes the connection quiet the longest, if it has been quiet for `room_after`, to free its
// descriptor; else arms the room timer for when it will have been.
bool HttpConnections::makeRoom() noexcept {
  if (!quiet_.armed.linked()) return false;
  HttpConnection& oldest = first(quiet_.armed);
  const Loop::Time may_go = oldest.since + limits_.room_after;
  if (may_go > loop_.now()) {
    if (!room_timer_.armed()) {
      room_timer_.deadline = may_go;
      // makeRoom decides: without room for the timer, the listener waits for a connection to close.
      try {
        loop_.arm(room_timer_);
      } catch (const std::bad_alloc&) {
      }
    }
    return false;
  }
  oldest.gone = true;
  touch(oldest);
  return true;
}

void HttpConnections::onConnection(void* connection, bool readable, bool writable) noexcept {
  auto& c = *static_cast<HttpConnection*>(connection);
  if (writable) writeWhatFits(c.out, true);
  if (readable) c.server.read(c);
  c.server.touch(c);
}

void HttpConnections::read(HttpConnection& c) noexcept {
  char buffer[16384];
  sys::Transfer got = sys::readSome(c.out.stream, buffer, sizeof buffer);
  if (got.status == sys::Io::NotNow) return;
  if (got.status == sys::Io::End) {  // the client has sent all it will; what it sent is still answered
    if (c.state == ConnectionState::Lingering) c.gone = true;
    c.peer_done = true;
    return;
  }
  if (got.status != sys::Io::Done) {  // reset, or failed
    c.gone = true;
    return;
  }
  if (c.state == ConnectionState::Lingering || c.state == ConnectionState::Closing) return;  // dropped
  if (c.state == ConnectionState::Streaming && c.input.size() + got.count > limits_.read_ahead) {
    c.gone = true;  // more behind a stream than any client waits to have answered
    return;
  }
  if (c.refuse_when_done) return;
  // read decides for the connection: without memory for its requests, it is closed.
  try {
    const bool first = c.input.empty();
    // What this connection's input may grow to: what the others leave of the budget.
    const std::size_t others = held_.held() - c.input.capacity();
    const std::size_t most = limits_.max_held > others ? limits_.max_held - others : 0;
    if (c.input.append(std::string_view(buffer, got.count), most)) {
      if (first && c.state == ConnectionState::Reading) startClock(c, &arriving_, loop_.now());
      return;
    }
    c.input.release();
    c.head_size = 0;
    c.head.reset();
    c.chunked.reset();
    if (c.state == ConnectionState::Streaming) {
      c.refuse_when_done = true;  // its open stream must not be broken into
    } else {
      refuse(c, 413, -32600, "Content Too Large: the requests in progress hold too much memory", true);
    }
  } catch (const std::bad_alloc&) {
    c.gone = true;
  }
}

// Answers every whole request in the input, in order, until one opens a stream or the client has
// left too much unread. A body is read where it lies in the input: a length's bytes as they came,
// a chunked one decoded in place as its bytes arrive, so that each byte is decoded once however
// slowly the body comes; the head is parsed once when whole, and once more when its body is.
bool HttpConnections::serveRequests(HttpConnection& c) {
  while (c.state == ConnectionState::Reading && !c.gone) {
    if (c.input.empty()) return true;
    // Its client is to read first: what it has left unread, or a long answer not yet all sent.
    if (backlog(c.out) >= limits_.max_unread || !c.later.empty()) return false;
    if (c.head_size == 0) {
      http::RequestHead& head = c.head;
      http::HeadResult h = http::parseRequestHead(c.input, head);
      if (h.progress == http::Progress::NeedMore) return true;
      if (h.progress == http::Progress::Refused) {
        refuse(c, h.refusal.status, -32600, h.refusal.reason, true);
        return false;
      }
      c.head_size = h.size;
      c.framing = head.framing;
      c.content_length = head.content_length;
      if (c.framing == http::Framing::Chunked) {
        c.chunked.emplace();
        c.decoded_to = h.size;
      }
      if (head.minor_version == 1 && !c.continued) {
        if (std::optional<std::string_view> expect = head.expect;
            expect && http::sameWithoutCase(*expect, "100-continue")) {
          // Told to go on once, else it would wait a while before sending the body anyway.
          c.continued = true;
          queue(c, "HTTP/1.1 100 Continue\r\n\r\n");
        }
      }
    }
    std::size_t used = c.head_size;
    std::string_view body;
    if (c.framing == http::Framing::Length) {
      if (c.input.size() - c.head_size < c.content_length) return true;
      body = std::string_view(c.input).substr(c.head_size, c.content_length);
      used += c.content_length;
    } else if (c.framing == http::Framing::Chunked) {
      http::BodyResult b = c.chunked->decode(std::span(c.input.data() + c.decoded_to, c.input.size() - c.decoded_to));
      if (b.progress == http::Progress::Refused) {
        refuse(c, b.refusal.status, -32600, b.refusal.reason, true);
        return false;
      }
      c.input.erase(c.decoded_to + b.payload, b.used - b.payload);  // the framing, now decoded
      c.decoded_to += b.payload;
      if (b.progress == http::Progress::NeedMore) return true;
      c.chunked.reset();
      body = std::string_view(c.input).substr(c.head_size, c.decoded_to - c.head_size);
      used = c.decoded_to;
    }
    serveOne(c, used, body);
  }
  return false;
}

void HttpConnections::serveOne(HttpConnection& c, std::size_t used, std::string_view body) {
  http::RequestHead& head = c.head;
  http::parseRequestHead(c.input, head);  // its views again, into the input as it now lies
  c.close_after = !head.keep_alive;
  const HttpRequest request{head, head.path, body, head.origin.value_or(""), head.method == "HEAD"};
  c.head_only = request.head_only;
  c.http10 = head.minor_version == 0;
  c.answered = false;
  handler_.request(handler_.ctx, c, request);
  c.head_only = false;
  c.continued = false;
  c.head_size = 0;
  c.head.reset();
  c.input.erase(0, used);
  if (!c.answered) brokenRule("an HTTP request left unanswered");
  if (c.state == ConnectionState::Reading) enter(c, c.close_after ? ConnectionState::Closing : ConnectionState::Reading);
}

void HttpConnections::queue(HttpConnection& c, std::string_view bytes) {
  if (!c.later.empty()) return c.later.back().append(bytes);  // behind the long answer
  const bool was_empty = backlog(c.out) == 0;
  appendBytes(c.out, bytes);
  if (was_empty && backlog(c.out) > 0 && !c.unread.linked()) {
    c.took = turn_;
    c.unread.linkBefore(unread_);
  }
  touch(c);
}

void HttpConnections::queue(HttpConnection& c, PiecedBytes bytes) {
  c.later.push_back(std::move(bytes));
  refill(c);
  touch(c);
}

// What the client has taken of a long answer is made good from it, a little at a time, so that
// answering one client never holds the others up for long, nor the answer whole.
void HttpConnections::refill(HttpConnection& c) {
  constexpr std::size_t slice = std::size_t{256} << 10;
  const bool was_empty = backlog(c.out) == 0;
  while (!c.later.empty() && backlog(c.out) < slice && !failed(c.out)) {
    PiecedBytes& front = c.later.front();
    while (!front.taken() && backlog(c.out) < slice) appendBytes(c.out, front.take(slice - backlog(c.out)));
    if (front.taken()) c.later.erase(c.later.begin());
  }
  if (was_empty && backlog(c.out) > 0 && !c.unread.linked()) {
    c.took = turn_;
    c.unread.linkBefore(unread_);
  }
}

void HttpConnections::respond(HttpConnection& c, http::ResponseHead head, PiecedBytes body) {
  head.content_length = body.size();
  respond(c, head, {});
  if (!c.head_only) queue(c, std::move(body));
}

void HttpConnections::respond(HttpConnection& c, http::ResponseHead head, std::string_view body) {
  c.answered = true;
  head.close = head.close || c.close_after;
  if (head.close) c.close_after = true;
  if (!head.content_length && head.status != 204 && head.status != 304) head.content_length = body.size();
  json::Text text(&held_);
  http::appendHead(text, head);
  queue(c, text);
  if (!c.head_only && !body.empty()) queue(c, body);
}

void HttpConnections::refuse(HttpConnection& c, int status, std::int64_t code, std::string_view message, bool ends) {
  json::Text body(&held_);
  http::appendErrorBody(body, code, message);
  if (ends) c.close_after = true;
  respond(c, {.status = status, .content_type = "application/json"}, body);
  if (ends && c.state == ConnectionState::Reading) enter(c, ConnectionState::Closing);
}

void HttpConnections::openStream(HttpConnection& c, http::ResponseHead head, StreamEnd& end) {
  c.answered = true;
  c.close_delimited = c.http10;
  head.content_length = std::nullopt;
  head.until_close = c.close_delimited;
  head.close = c.close_delimited || c.close_after;
  json::Text text(&held_);
  http::appendHead(text, head);
  queue(c, text);
  c.stream = &end;
  enter(c, ConnectionState::Streaming);
}

// Whether `c`'s open stream takes another event. A client that has left `max_unread` unread behind
// it is disconnected instead: nobody waits for what it would carry.
bool HttpConnections::streamTakes(HttpConnection& c) noexcept {
  if (c.gone || c.state != ConnectionState::Streaming) return false;
  if (backlog(c.out) <= limits_.max_unread) return true;
  c.gone = c.unread_too_long = true;
  touch(c);
  return false;
}

// An event of `size` bytes begins: a chunk's head, unless the stream ends with its connection.
void HttpConnections::beginEvent(HttpConnection& c, std::size_t size) {
  if (c.close_delimited) return;
  char head[24];
  auto [end, error] = std::to_chars(head, head + sizeof head - 2, size, 16);
  *end++ = '\r';
  *end++ = '\n';
  queue(c, std::string_view(head, static_cast<std::size_t>(end - head)));
}

void HttpConnections::sendOnStream(HttpConnection& c, std::string_view event) {
  if (!streamTakes(c)) return;
  beginEvent(c, event.size());
  queue(c, event);
  if (!c.close_delimited) queue(c, "\r\n");
}

void HttpConnections::sendOnStream(HttpConnection& c, std::string_view before, PiecedBytes body,
                                   std::string_view after) {
  if (!streamTakes(c)) return;
  beginEvent(c, before.size() + body.size() + after.size());
  queue(c, before);
  queue(c, std::move(body));
  queue(c, after);
  if (!c.close_delimited) queue(c, "\r\n");
}

void HttpConnections::endStream(HttpConnection& c) {
  if (c.state != ConnectionState::Streaming) return;
  c.stream = nullptr;
  if (!c.close_delimited && !c.gone) queue(c, "0\r\n\r\n");
  enter(c, c.close_delimited || c.close_after ? ConnectionState::Closing : ConnectionState::Reading);
  c.close_delimited = false;
  if (c.refuse_when_done) {
    c.refuse_when_done = false;
    c.answered = false;
    refuse(c, 413, -32600, "Content Too Large: the requests in progress hold too much memory", true);
  }
  touch(c);
}

void HttpConnections::sendNow(HttpConnection& c) noexcept { writeWhatFits(c.out, false); }

void HttpConnections::drop(HttpConnection& c, bool forget_stream) noexcept {
  if (forget_stream) c.stream = nullptr;
  c.gone = true;
  touch(c);
}

void HttpConnections::startClock(HttpConnection& c, TimeLimit* limit, Loop::Time since) noexcept {
  TimeLimit* was = c.limit;
  const bool was_first = was && was->armed.next == &c.timing;
  c.timing.unlink();
  c.limit = limit;
  c.since = since;
  if (limit) c.timing.linkBefore(limit->armed);
  if (was && was_first && was != limit) armLimit(*was);
  if (limit && limit->armed.next == &c.timing) armLimit(*limit);
}

void HttpConnections::armLimit(TimeLimit& l) noexcept {
  if (!l.armed.linked()) return loop_.disarm(l.timer);
  const Loop::Time deadline = first(l.armed).since + l.duration;
  if (l.timer.armed()) {
    if (l.timer.deadline != deadline) loop_.rearm(l.timer, deadline);
    return;
  }
  l.timer.deadline = deadline;
  // armLimit decides: the heap holds room for the few timers of the transport from the start, so
  // this fails only when even that could not be had; the limit then waits for its next arming.
  try {
    loop_.arm(l.timer);
  } catch (const std::bad_alloc&) {
  }
}

void HttpConnections::onTimeLimit(void* limit) noexcept {
  auto& l = *static_cast<TimeLimit*>(limit);
  HttpConnections* server = nullptr;
  while (l.armed.linked()) {
    HttpConnection& c = first(l.armed);
    server = &c.server;
    if (c.since + l.duration > server->loop_.now()) break;
    c.timing.unlink();
    c.limit = nullptr;
    if (&l == &server->arriving_ && c.state == ConnectionState::Reading) {
      // onTimeLimit decides: without memory for the answer, the connection just closes.
      try {
        c.answered = false;
        server->refuse(c, 408, -32000, "Request Timeout: the request did not arrive whole in time", true);
      } catch (const std::bad_alloc&) {
        c.gone = true;
      }
    } else {
      c.gone = true;  // quiet, or lingering: nothing to answer, it just closes
    }
    server->touch(c);
  }
  if (server) server->armLimit(l);
}

// Every change of a connection's state passes here, with what comes with it: its clock, and what
// it may give back.
void HttpConnections::enter(HttpConnection& c, ConnectionState to) noexcept {
  c.state = to;
  const Loop::Time now = loop_.now();
  switch (to) {
    case ConnectionState::Reading:  // the request behind, if one has begun, has its time from here
      return startClock(c, c.input.empty() ? &quiet_ : &arriving_, now);
    case ConnectionState::Streaming:  // a stream has no time limit of its own
      return startClock(c, nullptr, now);
    case ConnectionState::Closing:  // closes once what is queued has left, or once quiet
      c.input.release();
      return startClock(c, &quiet_, now);
    case ConnectionState::Lingering:
      c.input.release();
      sys::endSending(c.out.stream);
      return startClock(c, &lingering_, now);
  }
}

void HttpConnections::settle(HttpConnection& c) noexcept {
  // settle decides: a request that cannot be answered for lack of memory closes the connection.
  try {
    // Once the client has sent all it will, what is left of the input will never be a request.
    if (serveRequests(c) && c.peer_done) enter(c, ConnectionState::Closing);
  } catch (const std::bad_alloc&) {
    c.gone = true;
  }
  const std::uint64_t before = c.out.settled;
  writeWhatFits(c.out, false);
  if (c.out.settled != before) c.took = turn_;
  if (failed(c.out)) c.gone = true;  // its client has gone: what was queued for it is dropped
  // settle decides: what cannot be made of a long answer for lack of memory closes the connection.
  try {
    if (!c.gone && !c.later.empty()) refill(c);
  } catch (const std::bad_alloc&) {
    c.gone = true;
  }
  if (c.peer_done && c.state == ConnectionState::Streaming && c.stream && !c.stream->ends_by_itself) {
    c.gone = true;  // a stream that never ends, to a client that has gone
  }
  if (c.gone) return close(c);
  const bool waiting = backlog(c.out) > 0 || !c.later.empty();
  if (!waiting) {
    c.unread.unlink();
  } else if (c.out.settled != c.settled_seen) {  // it took bytes: to the back of the line
    c.unread.unlink();
    c.unread.linkBefore(unread_);
  }
  if (c.state == ConnectionState::Closing && !waiting) {
    if (c.peer_done) return close(c);  // all read, all sent: nothing can be reset under it
    enter(c, ConnectionState::Lingering);
  }
  // A quiet connection whose answers are leaving is not quiet: its time counts from their last byte.
  if (c.limit == &quiet_ && c.out.settled != c.settled_seen) startClock(c, &quiet_, loop_.now());
  c.settled_seen = c.out.settled;
  // Nothing to read: what it holds beyond a little goes back (a long request's room, while its
  // answer leaves); nothing to write either: a stream that waits for its next event holds no
  // spare block.
  if (c.state == ConnectionState::Reading && c.input.empty() && c.input.capacity() > limits_.kept_buffer) {
    c.input.release();
  }
  if (!waiting && (c.state == ConnectionState::Streaming || c.input.empty())) giveBackSpares(c.out);
  // A stream is read on even when what comes behind it is refused (read drops it): that is how its
  // client's end, or reset, is seen, and a stream that never ends by itself ends with it.
  const bool reading = c.state == ConnectionState::Lingering ||
                       (!c.peer_done && (c.state == ConnectionState::Streaming ||
                                         (c.state == ConnectionState::Reading && backlog(c.out) < limits_.max_unread &&
                                          c.later.empty())));
  const std::uint8_t want = (reading ? sys::WantRead : sys::WantNothing) | (waiting ? sys::WantWrite : sys::WantNothing);
  if (loop_.watch(c.watch, want) != 0) return close(c);
}

// Over the budget: the connections that have left answers unread the longest go first, until what
// is held fits again. One that took a byte in this very turn is not among them.
void HttpConnections::evictUnread() noexcept {
  while (held_.held() > limits_.max_held && unread_.linked()) {
    HttpConnection& c = first(unread_);
    if (c.took >= turn_) break;
    close(c);
  }
}

void HttpConnections::beforeWait(void* self) noexcept {
  auto& h = *static_cast<HttpConnections*>(self);
  ++h.turn_;
  while (HttpConnection* c = h.dirty_) {
    h.dirty_ = c->next_dirty;
    c->dirty = false;  // what settling it changes settles it once more
    h.settle(*c);
  }
  h.evictUnread();
  if (h.accepting_stopped_) return;
  // Last: a connection closed above frees a descriptor for the next.
  // A listener that cannot be waited on ends the run: the process reports it and exits.
  if (std::uint32_t error = h.loop_.watch(h.accepting_, h.accept_paused_ ? sys::WantNothing : sys::WantRead)) {
    h.loop_.fail(error);
  }
}

void HttpConnections::close(HttpConnection& c) noexcept {
  if (StreamEnd* e = c.stream) {
    c.stream = nullptr;
    e->lost(*e, c.unread_too_long);  // a stream of the transport may outlive its connection
  }
  c.timing.unlink();
  if (c.limit) {
    TimeLimit* l = c.limit;
    c.limit = nullptr;
    armLimit(*l);
  }
  c.unread.unlink();
  loop_.forget(c.watch);
  if (c.dirty) {  // out of the list of those to settle
    for (HttpConnection** p = &dirty_; *p; p = &(*p)->next_dirty) {
      if (*p == &c) {
        *p = c.next_dirty;
        break;
      }
    }
  }
  accept_paused_ = false;        // a descriptor is free again
  connections_.erase(c.self);    // the queue closes its stream
}

void HttpConnections::stopAccepting() noexcept {
  if (accepting_stopped_) return;
  accepting_stopped_ = true;
  loop_.forget(accepting_);
  sys::closeStream(listener_);
  for (HttpConnection& c : connections_) {
    if (c.state == ConnectionState::Reading && c.input.empty()) enter(c, ConnectionState::Closing);
    c.close_after = true;
    touch(c);
  }
}

void HttpConnections::closeAll() noexcept {
  dirty_ = nullptr;
  while (!connections_.empty()) close(connections_.front());
}

void HttpConnections::deliverAll() noexcept {
  std::vector<OutputQueue*> outputs;
  // deliverAll decides: without memory for the list, what is queued is given up.
  try {
    for (HttpConnection& c : connections_) {
      // A long answer is made whole now: the process ends, and what is left of it is all it does.
      for (PiecedBytes& p : c.later) {
        while (!p.taken()) appendBytes(c.out, p.take(std::string_view::npos));
      }
      c.later.clear();
      if (backlog(c.out) > 0) outputs.push_back(&c.out);
    }
  } catch (const std::bad_alloc&) {
    return;
  }
  deliverQueued(outputs);
}
