// The loop's system calls on Windows. An anonymous pipe can neither be waited on nor read or
// written without blocking, so each standard stream gets a helper thread that does the blocking
// call: the input's reads a chunk ahead, an output's writes one chunk handed to it. A stream's
// hand-over between its helper and the loop is the only state they share; it is guarded by its
// mutex, and the helper tells the loop through an event, which the loop waits on with the others
// in one call. Bytes are bytes: ReadFile and WriteFile see no text mode and no console code page.
// Sockets need no helper: they are read and written without blocking by the loop itself, and the
// poller waits on them with WSAPoll, or, beside the helpers' events, on one event that every socket
// sets (see the poller).
//
// What a read of zero bytes means depends on what the input is. A Windows pipe delivers a client's
// write of zero bytes as one, and ends with ERROR_BROKEN_PIPE; a file, a console, a socket, and a
// host's pipe under wine (which Windows cannot describe as a named pipe) end with it.

#include "runtime/platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <malloc.h>
#include <windows.h>
#include <bcrypt.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <climits>
#include <iterator>
#include <cstring>
#include <mutex>
#include <new>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace sys {
namespace {

// How the loop reaches a stream: through its helper thread (the standard streams), or itself (a
// socket).
enum Kind : std::uint8_t { Helped, Socket };

// A socket's own state, the loop's alone. Whether a socket can be read or written is taken to be
// so until a call says "not now", and only then asked of the system: see the poller.
struct SocketState {
  bool can_read = true;          // no read or accept said "not now" since input (or a hang-up) was seen
  bool can_write = true;         // no send said "not now" since room (or a hang-up) was seen
  bool hung_up = false;          // a hang-up was seen: it made the socket writable once
  SocketState* spare = nullptr;  // a listener's: the next connection's, made before it is taken
};

// Every event a socket can report, selected once for good onto `socket_news`.
constexpr long socket_events = FD_READ | FD_ACCEPT | FD_WRITE | FD_CLOSE;

// The event every socket sets when the system has news of it. Made with Winsock, before any socket.
WSAEVENT socket_news = WSA_INVALID_EVENT;

SOCKET socketOf(const Stream& s) { return reinterpret_cast<SOCKET>(s.fd); }
SocketState& socketState(const Stream& s) { return *static_cast<SocketState*>(s.helper); }

// A failed Winsock call's code.
std::uint32_t socketError() { return static_cast<std::uint32_t>(WSAGetLastError()); }

// Winsock and `socket_news`, started on first use and left until the process ends. 0, or why they
// cannot start.
std::uint32_t startWinsock() {
  static const int error = [] {
    WSADATA data;
    if (int error = WSAStartup(MAKEWORD(2, 2), &data)) return error;
    socket_news = WSACreateEvent();
    return socket_news == WSA_INVALID_EVENT ? WSAGetLastError() : 0;
  }();
  return static_cast<std::uint32_t>(error);
}

// A socket's state, or null and why not in `error`.
SocketState* newSocketState(std::uint32_t& error) {
  auto* state = new (std::nothrow) SocketState;
  if (!state) error = ERROR_NOT_ENOUGH_MEMORY;
  return state;
}

void freeSocketState(SocketState* state) {
  if (!state) return;
  freeSocketState(state->spare);
  delete state;
}

Transfer receive(const Stream& in, char* buffer, std::size_t size) {
  const int got = recv(socketOf(in), buffer, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
  if (got > 0) return {Io::Done, static_cast<std::size_t>(got)};
  if (got == 0) return {Io::End};
  const std::uint32_t error = socketError();
  if (error != WSAEWOULDBLOCK) return {Io::Failed, 0, error};
  socketState(in).can_read = false;
  return {Io::NotNow};
}

Transfer sendSome(const Stream& out, const char* data, std::size_t size) {
  const int sent = send(socketOf(out), data, static_cast<int>(std::min<std::size_t>(size, INT_MAX)), 0);
  if (sent >= 0) return {Io::Done, static_cast<std::size_t>(sent)};
  const std::uint32_t error = socketError();
  if (error != WSAEWOULDBLOCK) return {Io::Failed, 0, error};
  socketState(out).can_write = false;
  return {Io::Done, 0};
}

// What one stream's helper thread and the loop share. Until the helper starts, and when it
// never does, the loop alone has it.
struct HandOver {
  HANDLE handle = nullptr;
  bool zero_is_end = true;  // an input where a zero-byte read is the end
  DWORD fault = 0;          // not 0: the helper could not start, and this is why
  HANDLE ready = nullptr;   // the helper has news for the loop
  HANDLE work = nullptr;    // the loop has work for the helper, or has let go
  // The loop and the helper, while each holds it: the last to let go frees all. Counted apart from
  // the mutex, since the mutex goes with it.
  std::atomic<int> holders{1};
  std::mutex mutex;
  std::size_t size = 0;       // guarded by mutex: input read and not taken, or output to write
  std::size_t taken = 0;      // guarded by mutex: input bytes the loop has taken of `size`
  bool busy = false;          // guarded by mutex: the helper is reading or writing
  bool done = false;          // guarded by mutex: an output write has ended; `result` says how
  bool closing = false;       // guarded by mutex: the loop has let go
  Transfer result{Io::Done};  // guarded by mutex: how the input ended, or the last write
  // Owned by whoever `busy` says: the helper while busy, the loop otherwise. One read of the
  // input, or one write of an output.
  char bytes[read_chunk];
};

// A failed call's code; never 0, so that a failure never reads as success.
DWORD lastError() {
  DWORD error = GetLastError();
  return error != 0 ? error : ERROR_GEN_FAILURE;
}

void letGo(HandOver* s) {
  if (s->holders.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  if (s->ready) CloseHandle(s->ready);
  if (s->work) CloseHandle(s->work);
  delete s;
}

// Waits for the loop's next request. False once the loop has let go; the helper has then let go too.
bool nextRequest(HandOver& s) {
  WaitForSingleObject(s.work, INFINITE);
  bool closing = false;
  {
    std::lock_guard lock(s.mutex);
    closing = s.closing;
  }
  if (closing) letGo(&s);
  return !closing;
}

// How a failed read leaves the input. A pipe whose writer has gone is its end, as is a file's end.
Transfer readFailure(DWORD error) {
  if (error == ERROR_BROKEN_PIPE || error == ERROR_PIPE_NOT_CONNECTED || error == ERROR_HANDLE_EOF) return {Io::End};
  return {Io::Failed, 0, error};
}

// The input's helper: reads a chunk whenever the loop has taken the last one. Once the input has
// ended it reads no more, and only waits to be let go.
DWORD WINAPI readAhead(void* state) {
  HandOver& in = *static_cast<HandOver*>(state);
  do {
    DWORD got = 0;
    BOOL ok = ReadFile(in.handle, in.bytes, static_cast<DWORD>(read_chunk), &got, nullptr);
    DWORD error = ok ? 0 : lastError();
    {
      std::lock_guard lock(in.mutex);
      in.size = got;
      in.taken = 0;
      in.busy = false;
      if (!ok) in.result = readFailure(error);
      else if (got == 0 && in.zero_is_end) in.result = {Io::End};
    }
    SetEvent(in.ready);
  } while (nextRequest(in));
  return 0;
}

// An output's helper: writes each chunk the loop hands it, then reports how far it got.
DWORD WINAPI writeBehind(void* state) {
  HandOver& out = *static_cast<HandOver*>(state);
  while (nextRequest(out)) {
    std::size_t size = 0;
    {
      std::lock_guard lock(out.mutex);
      size = out.size;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(out.handle, out.bytes, static_cast<DWORD>(size), &written, nullptr);
    // A reader that has gone (ERROR_NO_DATA, ERROR_BROKEN_PIPE) fails the write like any fault.
    Transfer result = ok ? Transfer{Io::Done, written} : Transfer{Io::Failed, 0, lastError()};
    {
      std::lock_guard lock(out.mutex);
      out.result = result;
      out.busy = false;
      out.done = true;
    }
    SetEvent(out.ready);
  }
  return 0;
}

// A stream's hand-over and its helper thread. Null when there is no memory for it; with `fault`
// set when the helper cannot start. Either way the stream then fails, and counts as ready.
HandOver* start(HANDLE h, LPTHREAD_START_ROUTINE helper, bool busy, bool zero_is_end) {
  auto* s = new (std::nothrow) HandOver;
  if (!s) return nullptr;
  s->handle = h;
  s->zero_is_end = zero_is_end;
  s->ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  s->work = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (!s->ready || !s->work) {
    s->fault = lastError();
    return s;
  }
  s->busy = busy;
  s->holders.store(2, std::memory_order_relaxed);
  // The helper's calls need little stack; the default reservation is 1 MiB a thread.
  HANDLE thread = CreateThread(nullptr, 64 * 1024, helper, s, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (!thread) {
    s->fault = lastError();
    s->busy = false;
    s->holders.store(1, std::memory_order_relaxed);
    return s;
  }
  CloseHandle(thread);
  return s;
}

// Why a stream without a working helper fails.
DWORD faultOf(const HandOver* s) { return s ? s->fault : ERROR_NOT_ENOUGH_MEMORY; }

// A Windows pipe is one that can describe itself as a named pipe; a socket also says it is a pipe,
// and a host's pipe under wine does, but neither can.
bool isWindowsPipe(HANDLE h) {
  DWORD flags = 0;
  return GetFileType(h) == FILE_TYPE_PIPE && GetNamedPipeInfo(h, &flags, nullptr, nullptr, nullptr);
}

void markReady(Readiness& r, int slot) {
  if (slot == 0) r.input = true;
  else r.outputs[slot - 1] = true;
}

DWORD millisecondsOf(std::chrono::nanoseconds timeout) {
  if (timeout.count() < 0) return INFINITE;
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();  // never wake early
  return static_cast<DWORD>(std::min<decltype(ms)>(ms, INFINITE - 1));
}

}  // namespace

StandardStreams standardStreams() noexcept {
  return {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)};
}

// The input's helper starts reading at once.
Stream openInput(Descriptor fd) noexcept {
  return Stream{.fd = fd, .helper = start(fd, &readAhead, true, !isWindowsPipe(fd))};
}

Stream openOutput(Descriptor fd) noexcept { return Stream{.fd = fd, .helper = start(fd, &writeBehind, false, true)}; }

// A helper blocked in its call keeps the hand-over until the call returns (for standard input, it
// may be never); what a read then brings is dropped.
void closeStream(Stream& s) noexcept {
  void* helper = std::exchange(s.helper, nullptr);
  if (!helper) return;
  if (s.kind == Socket) {
    closesocket(socketOf(s));
    freeSocketState(static_cast<SocketState*>(helper));
    return;
  }
  auto* state = static_cast<HandOver*>(helper);
  if (!state->fault) {
    std::lock_guard lock(state->mutex);
    state->closing = true;
    SetEvent(state->work);
  }
  letGo(state);
}

Transfer readSome(const Stream& in, char* buffer, std::size_t size) noexcept {
  if (in.kind == Socket) return receive(in, buffer, size);
  auto* state = static_cast<HandOver*>(in.helper);
  if (!state || state->fault) return {Io::Failed, 0, faultOf(state)};
  std::lock_guard lock(state->mutex);
  if (state->busy) return {Io::NotNow};
  if (state->taken < state->size) {
    std::size_t n = std::min(size, state->size - state->taken);
    std::memcpy(buffer, state->bytes + state->taken, n);
    state->taken += n;
    if (state->taken < state->size || state->result.status != Io::Done) {
      SetEvent(state->ready);  // what is left is ready now, and no read of the helper will say so
    } else {
      state->busy = true;
      SetEvent(state->work);
    }
    return {Io::Done, n};
  }
  if (state->result.status != Io::Done) return state->result;
  state->busy = true;  // an empty read: ask again
  SetEvent(state->work);
  return {Io::NotNow};
}

// `ready` tells nothing here: the helper, not the loop, waits for room; a socket says itself.
Transfer writeSome(const Stream& out, const char* data, std::size_t size, bool) noexcept {
  if (out.kind == Socket) return sendSome(out, data, size);
  auto* state = static_cast<HandOver*>(out.helper);
  if (!state || state->fault) return {Io::Failed, 0, faultOf(state)};
  std::lock_guard lock(state->mutex);
  if (state->busy) return {Io::Done, 0};
  if (state->done) {  // the write handed over last time has ended: its bytes lead `data`
    state->done = false;
    return state->result;
  }
  state->size = std::min(size, read_chunk);
  std::memcpy(state->bytes, data, state->size);
  state->busy = true;
  SetEvent(state->work);
  return {Io::Done, 0};
}

std::size_t roomLeft(const Stream&) noexcept { return SIZE_MAX; }

Readiness waitFor(const Interest& interest, std::chrono::nanoseconds timeout) noexcept {
  Readiness r;
  const Stream* streams[3] = {interest.input, interest.outputs[0], interest.outputs[1]};
  HANDLE events[3];
  int slots[3];
  DWORD count = 0;
  bool now = false;  // a stream without a working helper is ready at once: its next call fails
  for (int slot = 0; slot < 3; ++slot) {
    if (!streams[slot]) continue;
    auto* state = static_cast<HandOver*>(streams[slot]->helper);
    if (state && !state->fault) {
      events[count] = state->ready;
      slots[count++] = slot;
    } else {
      markReady(r, slot);
      now = true;
    }
  }
  DWORD ms = now ? 0 : millisecondsOf(timeout);
  if (count == 0) {
    if (!now) Sleep(ms);
    return r;
  }
  DWORD got = WaitForMultipleObjects(count, events, FALSE, ms);
  if (got == WAIT_FAILED) {
    r.error = lastError();
    return r;
  }
  if (got >= WAIT_OBJECT_0 + count) return r;
  // The event that woke the wait is reset; the others are looked at without waiting, and reset
  // when set. An output's event is left set when the other output is reported: it wakes the next.
  const DWORD woke = got - WAIT_OBJECT_0;
  markReady(r, slots[woke]);
  for (DWORD i = 0; i < count; ++i) {
    if (i == woke || (slots[i] != 0 && (r.outputs[0] || r.outputs[1]))) continue;
    if (WaitForSingleObject(events[i], 0) == WAIT_OBJECT_0) markReady(r, slots[i]);
  }
  return r;
}

namespace {

// The poller waits on helpers' events and on sockets in one call. A helper's stream (a standard
// stream) is waited on through its event, and one wait takes at most MAXIMUM_WAIT_OBJECTS (64)
// handles; sockets, any number of them, are asked of the system with WSAPoll. A socket counts as
// ready for what it wants until a call says "not now", and only then is asked: the next read or
// write tells. With no helper to wait on, WSAPoll itself waits. Beside helpers, the wait takes
// `socket_news` as well, which every socket sets when the system has news of it: the event is
// reset and the sockets asked without waiting first, so that no news from before is lost, then
// the wait; if `socket_news` is set by then, the sockets are asked again.
//
// The system sets the event for news of one kind (input, room, a hang-up) once, and again only
// after a call that said "not now" for it (recv, accept, send): so a socket that is asked has news
// to come of what it waits for. WSAPoll reports a hang-up for as long as it lasts, and under Windows
// a client that has only stopped sending has hung up: it makes the socket writable once, since a
// socket that its client does not read would otherwise end every wait at once. Such a socket is
// asked for room only beside `socket_news`, whose FD_WRITE tells when there is some.
struct Watched {
  const Stream* stream;
  std::uint8_t want;
  void* tag;
};
struct PollerState {
  std::vector<Watched> watched;
  std::unordered_map<const Stream*, std::size_t> slots;  // where each stream is in `watched`
  std::size_t helped = 0;                                // streams in `watched` with a helper
  // The sockets one wait asks, and their states: room for every stream watched, made by
  // watchStream so that a wait never makes any.
  std::vector<WSAPOLLFD> asked;
  std::vector<SocketState*> asked_for;
  std::size_t next = 0;  // where the sockets' report starts, so that each gets its turn to be told
};

// Asks the system which sockets in `state.asked` are ready, waiting up to `ms`, and keeps what it
// says in their states; `ready`: one of them is ready now as asked. 0, or the system's error.
std::uint32_t askSockets(PollerState& state, DWORD ms, bool& ready) {
  const INT timeout = ms == INFINITE ? -1 : static_cast<INT>(std::min<DWORD>(ms, INT_MAX));
  if (WSAPoll(state.asked.data(), static_cast<ULONG>(state.asked.size()), timeout) == SOCKET_ERROR) {
    return socketError();
  }
  ready = false;
  for (std::size_t i = 0; i < state.asked.size(); ++i) {
    const WSAPOLLFD& asked = state.asked[i];
    SocketState& s = *state.asked_for[i];
    const bool hang_up = (asked.revents & POLLHUP) != 0 && !s.hung_up;
    s.hung_up = s.hung_up || hang_up;
    if (asked.revents & (POLLRDNORM | POLLHUP | POLLERR | POLLNVAL)) s.can_read = true;
    if ((asked.revents & (POLLWRNORM | POLLERR | POLLNVAL)) || hang_up) s.can_write = true;
    ready = ready || ((asked.events & POLLRDNORM) && s.can_read) || ((asked.events & POLLWRNORM) && s.can_write);
  }
  return 0;
}

}  // namespace

Poller openPoller() noexcept {
  auto* state = new (std::nothrow) PollerState;
  return state ? Poller{state, 0} : Poller{nullptr, ERROR_NOT_ENOUGH_MEMORY};
}

void closePoller(Poller& p) noexcept {
  delete static_cast<PollerState*>(std::exchange(p.state, nullptr));
}

std::uint32_t watchStream(Poller& p, const Stream& s, std::uint8_t want, void* tag) noexcept {
  auto* state = static_cast<PollerState*>(p.state);
  if (!state) return p.error;
  if (auto found = state->slots.find(&s); found != state->slots.end()) {
    state->watched[found->second] = {&s, want, tag};
    return 0;
  }
  const bool helped = s.kind != Socket;
  if (helped && state->helped + 1 == MAXIMUM_WAIT_OBJECTS) return WSAEMFILE;  // one wait takes no more
  // watchStream decides: a stream there is no memory to watch for is not watched, and the caller told.
  try {
    const std::size_t size = state->watched.size() + 1;
    if (state->watched.capacity() < size) state->watched.reserve(2 * size);
    if (state->asked.capacity() < size) state->asked.reserve(2 * size);
    if (state->asked_for.capacity() < size) state->asked_for.reserve(2 * size);
    state->slots.emplace(&s, state->watched.size());
  } catch (const std::bad_alloc&) {
    return ERROR_NOT_ENOUGH_MEMORY;
  }
  state->watched.push_back({&s, want, tag});
  state->helped += helped;
  return 0;
}

void forgetStream(Poller& p, const Stream& s) noexcept {
  auto* state = static_cast<PollerState*>(p.state);
  if (!state) return;
  auto found = state->slots.find(&s);
  if (found == state->slots.end()) return;
  const std::size_t slot = found->second;
  state->slots.erase(found);
  state->helped -= s.kind != Socket;
  if (slot + 1 != state->watched.size()) {
    state->watched[slot] = state->watched.back();
    state->slots[state->watched[slot].stream] = slot;  // there already: nothing is made
  }
  state->watched.pop_back();
}

Waited waitEvents(Poller& p, std::chrono::nanoseconds timeout, std::span<Event> events) noexcept {
  auto* state = static_cast<PollerState*>(p.state);
  if (!state) return {0, p.error};
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  const Watched* helped[MAXIMUM_WAIT_OBJECTS];
  DWORD count = 0;
  bool now = false;       // something is ready already: the wait only looks
  bool by_news = false;   // a socket can be waited on only through `socket_news`
  Waited waited;
  auto report = [&](const Event& e) {
    if (waited.count < events.size()) events[waited.count++] = e;
  };
  state->asked.clear();
  state->asked_for.clear();
  for (const Watched& w : state->watched) {
    if (w.want == WantNothing) continue;
    if (w.stream->kind == Socket) {
      SocketState& s = socketState(*w.stream);
      const bool read = (w.want & WantRead) != 0, write = (w.want & WantWrite) != 0;
      now = now || (read && s.can_read) || (write && s.can_write);
      const auto ask = static_cast<short>((read && !s.can_read ? POLLRDNORM : 0) | (write && !s.can_write ? POLLWRNORM : 0));
      if (ask == 0) continue;
      by_news = by_news || ((ask & POLLWRNORM) && s.hung_up);
      state->asked.push_back({socketOf(*w.stream), ask, 0});  // never grows: watchStream made room
      state->asked_for.push_back(&s);
      continue;
    }
    auto* hand_over = static_cast<HandOver*>(w.stream->helper);
    if (hand_over && !hand_over->fault) {
      handles[count] = hand_over->ready;
      helped[count++] = &w;
    } else {
      // Without a working helper it is ready at once: its next call fails.
      report({w.tag, (w.want & WantRead) != 0, (w.want & WantWrite) != 0});
      now = true;
    }
  }
  DWORD ms = now ? 0 : millisecondsOf(timeout);
  const bool sockets = !state->asked.empty();
  bool ready = false;
  DWORD got = WAIT_TIMEOUT;
  if (count == 0 && !by_news) {
    if (sockets) {
      if (std::uint32_t error = askSockets(*state, ms, ready)) return {0, error};
    } else if (ms != 0) {
      Sleep(ms);
    }
  } else {
    if (sockets) {
      WSAResetEvent(socket_news);
      if (std::uint32_t error = askSockets(*state, 0, ready)) return {0, error};
      if (ready) ms = 0;
      handles[count] = socket_news;
    }
    got = WaitForMultipleObjects(count + sockets, handles, FALSE, ms);
    if (got == WAIT_FAILED) return {0, lastError()};
    if (sockets && WaitForSingleObject(socket_news, 0) == WAIT_OBJECT_0) {
      if (std::uint32_t error = askSockets(*state, 0, ready)) return {0, error};
    }
  }
  // The helper's event that woke the wait is reset; the others are looked at without waiting. They
  // are told first: a set event that is looked at is reset, and must not be lost for want of room.
  const bool woke = got < WAIT_OBJECT_0 + count + sockets;
  for (DWORD i = 0; i < count; ++i) {
    if (woke && (i == got - WAIT_OBJECT_0 || WaitForSingleObject(handles[i], 0) == WAIT_OBJECT_0)) {
      report({helped[i]->tag, (helped[i]->want & WantRead) != 0, (helped[i]->want & WantWrite) != 0});
    }
  }
  const std::size_t size = state->watched.size(), start = state->next;
  for (std::size_t k = 0; k < size && waited.count < events.size(); ++k) {
    const std::size_t i = (start + k) % size;
    const Watched& w = state->watched[i];
    if (w.want == WantNothing || w.stream->kind != Socket) continue;
    const SocketState& s = socketState(*w.stream);
    const Event e{w.tag, (w.want & WantRead) != 0 && s.can_read, (w.want & WantWrite) != 0 && s.can_write};
    if (!e.readable && !e.writable) continue;
    report(e);
    state->next = i + 1;
  }
  return waited;
}

// Each output has a helper of its own, whatever it writes to.
bool shareRoom(const Stream&, const Stream&) noexcept { return false; }

std::uint32_t listenTcp(std::string_view host, std::uint16_t port, Stream& listener) noexcept {
  if (std::uint32_t error = startWinsock()) return error;
  char text[INET6_ADDRSTRLEN + 1] = {};
  if (host.size() >= sizeof text) return WSAEINVAL;
  host.copy(text, host.size());
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  const sockaddr* address = nullptr;
  int size = 0;
  if (inet_pton(AF_INET, text, &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    address = reinterpret_cast<const sockaddr*>(&v4);
    size = sizeof v4;
  } else if (inet_pton(AF_INET6, text, &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    address = reinterpret_cast<const sockaddr*>(&v6);
    size = sizeof v6;
  } else {
    return WSAEINVAL;
  }
  std::uint32_t error = 0;
  SocketState* state = newSocketState(error);
  if (!state) return error;
  state->can_read = false;  // no client yet: the poller asks
  // Not inherited by processes we might start, as descriptors are closed on exec on POSIX.
  const SOCKET fd = WSASocketW(address->sa_family, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                               WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
  if (fd == INVALID_SOCKET) {
    error = socketError();
    freeSocketState(state);
    return error;
  }
  // SO_REUSEADDR on Windows would let another socket bind the same port and take its clients;
  // exclusive use forbids that. Events are selected before listening, so that no client is missed.
  u_long non_blocking = 1;
  const BOOL exclusive = TRUE;
  const auto* option = reinterpret_cast<const char*>(&exclusive);
  if (ioctlsocket(fd, FIONBIO, &non_blocking) != 0 ||
      setsockopt(fd, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, option, sizeof exclusive) != 0 ||
      WSAEventSelect(fd, socket_news, socket_events) != 0 || bind(fd, address, size) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    error = socketError();
    closesocket(fd);
    freeSocketState(state);
    return error;
  }
  listener = Stream{.fd = reinterpret_cast<Descriptor>(fd), .kind = Socket, .own_fd = true, .helper = state};
  return 0;
}

std::size_t parseAddress(std::string_view text, std::span<std::uint8_t, 16> out) noexcept {
  char terminated[INET6_ADDRSTRLEN + 1] = {};
  if (text.size() >= sizeof terminated || text.find('\0') != std::string_view::npos) return 0;
  text.copy(terminated, text.size());
  if (inet_pton(AF_INET, terminated, out.data()) == 1) return 4;
  if (inet_pton(AF_INET6, terminated, out.data()) == 1) return 16;
  return 0;
}

std::uint16_t localPort(const Stream& listener) noexcept {
  sockaddr_storage address{};
  int size = sizeof address;
  if (getsockname(socketOf(listener), reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  if (address.ss_family == AF_INET) return ntohs(reinterpret_cast<const sockaddr_in*>(&address)->sin_port);
  return ntohs(reinterpret_cast<const sockaddr_in6*>(&address)->sin6_port);
}

// The connection's state is made before it is taken, so that a failure to make it leaves the
// connection waiting.
Transfer acceptOne(const Stream& listener, Stream& connection) noexcept {
  SocketState& l = socketState(listener);
  std::uint32_t error = 0;
  if (!l.spare && !(l.spare = newSocketState(error))) return {Io::Failed, 0, error};
  const SOCKET fd = accept(socketOf(listener), nullptr, nullptr);
  if (fd == INVALID_SOCKET) {
    error = socketError();
    if (error == WSAEWOULDBLOCK) l.can_read = false;
    // A connection its client gave up before it was taken is no failure of the listener.
    if (error == WSAEWOULDBLOCK || error == WSAECONNRESET) return {Io::NotNow};
    return {Io::Failed, 0, error};
  }
  // The connection comes non-blocking and with the listener's events selected; they are selected
  // again all the same, so as not to rest on how faithfully a system copies them.
  if (WSAEventSelect(fd, socket_news, socket_events) != 0) {
    error = socketError();
    closesocket(fd);
    return {Io::Failed, 0, error};
  }
  const BOOL on = TRUE;  // replies are whole messages: no waiting for more to fill a packet
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
  connection = Stream{.fd = reinterpret_cast<Descriptor>(fd), .kind = Socket, .own_fd = true,
                      .helper = std::exchange(l.spare, nullptr)};
  return {Io::Done, 1};
}

void endSending(const Stream& connection) noexcept { shutdown(socketOf(connection), SD_SEND); }

bool secureRandom(std::span<std::byte> out) noexcept {
  for (std::size_t done = 0; done < out.size();) {
    const auto n = static_cast<ULONG>(std::min<std::size_t>(out.size() - done, ULONG_MAX));
    auto* at = reinterpret_cast<PUCHAR>(out.data() + done);
    if (!BCRYPT_SUCCESS(BCryptGenRandom(nullptr, at, n, BCRYPT_USE_SYSTEM_PREFERRED_RNG))) return false;
    done += n;
  }
  return true;
}

// Windows has no such limit to raise: sockets and handles are bounded by memory alone (_setmaxstdio
// bounds only the C runtime's own files, which the loop does not use).
void raiseDescriptorLimit() noexcept {}

namespace {

// The names of the failures a listener or a connection can meet, as the system's headers spell
// them: for where the system has no words for them (wine has none for most).
std::string_view socketErrorName(std::uint32_t code) {
  struct Name {
    std::uint32_t code;
    std::string_view name;
  };
  static constexpr Name names[] = {
      {WSAEADDRINUSE, "WSAEADDRINUSE"}, {WSAEADDRNOTAVAIL, "WSAEADDRNOTAVAIL"},
      {WSAEAFNOSUPPORT, "WSAEAFNOSUPPORT"}, {WSAECONNABORTED, "WSAECONNABORTED"},
      {WSAECONNRESET, "WSAECONNRESET"}, {WSAENETDOWN, "WSAENETDOWN"}, {WSAENETRESET, "WSAENETRESET"},
      {WSAENOBUFS, "WSAENOBUFS"}, {WSAENOTCONN, "WSAENOTCONN"}, {WSAENOTSOCK, "WSAENOTSOCK"},
      {WSAESHUTDOWN, "WSAESHUTDOWN"}, {WSAETIMEDOUT, "WSAETIMEDOUT"}, {WSAEMFILE, "WSAEMFILE"},
      {WSANOTINITIALISED, "WSANOTINITIALISED"},
  };
  for (const Name& n : names) {
    if (n.code == code) return n.name;
  }
  return {};
}

}  // namespace

namespace {

// Requests to end reach the process on a thread the system starts for the console's control
// handler. What it shares with the loop is the count and the event it sets: the event is a
// helper's `ready` (a hand-over without a helper thread), so the poller waits on it as on any
// standard stream's. Made once and kept until the process ends, so that a handler still running
// never meets it freed.
std::atomic<std::size_t> end_requests{0};
std::atomic<HandOver*> end_request_news{nullptr};
std::atomic<bool> end_requests_heard{false};  // the handler takes requests, rather than the system

BOOL WINAPI onEndRequest(DWORD type) {
  if (!end_requests_heard.load()) return FALSE;
  end_requests.fetch_add(1);
  if (HandOver* news = end_request_news.load()) SetEvent(news->ready);
  // Closing the console, logging off and shutting down end the process once the handler returns:
  // the loop is given a while to end in order first.
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) Sleep(2000);
  return TRUE;
}

}  // namespace

std::uint32_t openEndRequests(Stream& requests) noexcept {
  HandOver* news = end_request_news.load();
  if (!news) {
    news = new (std::nothrow) HandOver;
    if (!news) return ERROR_NOT_ENOUGH_MEMORY;
    news->ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (!news->ready) {
      const DWORD error = lastError();
      delete news;
      return error;
    }
    end_request_news.store(news);
  }
  if (!SetConsoleCtrlHandler(&onEndRequest, TRUE)) return lastError();
  end_requests.store(0);
  end_requests_heard.store(true);
  requests = Stream{.kind = Helped, .helper = news};
  return 0;
}

std::size_t takeEndRequests(const Stream&) noexcept { return end_requests.exchange(0); }

void closeEndRequests(Stream& requests) noexcept {
  end_requests_heard.store(false);
  SetConsoleCtrlHandler(&onEndRequest, FALSE);
  requests.helper = nullptr;
}

std::size_t errorText(std::uint32_t code, std::span<char> out) noexcept {
  // The system's text is UTF-16 with a line break (and a full stop) at its end; the report is one
  // line of UTF-8, cut only between characters.
  wchar_t wide[512];
  char text[3 * std::size(wide)];
  int size = 0;
  DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                nullptr, code, 0, wide, static_cast<DWORD>(std::size(wide)), nullptr);
  if (length != 0) {
    size = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), text, sizeof text, nullptr, nullptr);
  }
  std::replace_if(text, text + size, [](char c) { return c == '\r' || c == '\n'; }, ' ');
  while (size > 0 && (text[size - 1] == ' ' || text[size - 1] == '.')) --size;
  if (size == 0) size = static_cast<int>(socketErrorName(code).copy(text, sizeof text));
  if (size == 0) {
    constexpr std::string_view prefix = "error ";
    prefix.copy(text, prefix.size());
    size = static_cast<int>(std::to_chars(text + prefix.size(), text + sizeof text, code).ptr - text);
  }
  std::size_t n = std::min(out.size(), static_cast<std::size_t>(size));
  while (n > 0 && n < static_cast<std::size_t>(size) && (text[n] & 0xC0) == 0x80) --n;
  std::memcpy(out.data(), text, n);
  return n;
}

// The C runtime's heap and the process heap both keep freed blocks; each gives back what it can.
void giveBackMemory() noexcept {
  _heapmin();
  HeapCompact(GetProcessHeap(), 0);
}

// Everything worth writing has been written by now: the helpers are stopped where they stand.
// (Under wine, ExitProcess with a helper still waiting now and then ends in SIGKILL instead.)
void exitNow(int status) noexcept {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  ExitProcess(static_cast<UINT>(status));
}

}  // namespace sys
