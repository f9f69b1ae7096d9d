// The loop's system calls on Windows. An anonymous pipe can neither be waited on nor read or
// written without blocking, so each standard stream gets a helper thread that does the blocking
// call: the input's reads a chunk ahead, an output's writes one chunk handed to it. A stream's
// hand-over between its helper and the loop is the only state they share; it is guarded by its
// mutex, and the helper tells the loop through an event, which the loop waits on with the others
// in one call. Bytes are bytes: ReadFile and WriteFile see no text mode and no console code page.
// Sockets need no helper: they are read and written without blocking by the loop itself, and each
// has an event of its own that the system sets, waited on in the same call.
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
#include <utility>

namespace sys {
namespace {

// How the loop reaches a stream: through its helper thread (the standard streams), or itself (a
// socket).
enum Kind : std::uint8_t { Helped, Socket };

// A socket's own state, the loop's alone. The system reports input, room and a hang-up by setting
// `event`, but each only once: input again only after a read, room again only after a send was
// refused for want of it. So what was reported is kept here until a call says "not now", and the
// poller counts the socket ready for it as long as it is kept.
struct SocketState {
  WSAEVENT event = WSA_INVALID_EVENT;
  bool can_read = true;          // no read or accept said "not now" since input (or a hang-up) was reported
  bool can_write = true;         // no send said "not now" since room (or a hang-up) was reported
  SocketState* spare = nullptr;  // a listener's: the next connection's, made before it is taken
};

// Every event a socket can report, selected once for good: what the loop wants of the socket
// decides only what is waited on and reported, so nothing is lost while it wants something else.
constexpr long socket_events = FD_READ | FD_ACCEPT | FD_WRITE | FD_CLOSE;

SOCKET socketOf(const Stream& s) { return reinterpret_cast<SOCKET>(s.fd); }
SocketState& socketState(const Stream& s) { return *static_cast<SocketState*>(s.helper); }

// A failed Winsock call's code.
std::uint32_t socketError() { return static_cast<std::uint32_t>(WSAGetLastError()); }

// Winsock, started on first use and left running until the process ends. 0, or why it cannot start.
std::uint32_t startWinsock() {
  static const int error = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data);
  }();
  return static_cast<std::uint32_t>(error);
}

// A socket's state with its event, or null and why not in `error`.
SocketState* newSocketState(std::uint32_t& error) {
  auto* state = new (std::nothrow) SocketState;
  if (!state) {
    error = ERROR_NOT_ENOUGH_MEMORY;
    return nullptr;
  }
  state->event = WSACreateEvent();
  if (state->event == WSA_INVALID_EVENT) {
    error = socketError();
    delete state;
    return nullptr;
  }
  return state;
}

void freeSocketState(SocketState* state) {
  if (!state) return;
  freeSocketState(state->spare);
  WSACloseEvent(state->event);
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

// The poller waits on one event per watched stream, a helper's or a socket's, in one call. That call
// takes at most MAXIMUM_WAIT_OBJECTS (64) handles, so 64 streams can be watched at once, the
// standard streams and a listener among them: for now this bounds the connections on Windows.
struct Watched {
  const Stream* stream;
  std::uint8_t want;
  void* tag;
};
struct PollerState {
  Watched watched[MAXIMUM_WAIT_OBJECTS];
  std::size_t count = 0;
};

// Takes what the system has reported for socket `s` since the last look, and resets its event. A
// socket it cannot look at counts as ready: its next call tells.
void takeNetworkEvents(const Stream& s) {
  SocketState& state = socketState(s);
  WSANETWORKEVENTS got{};
  if (WSAEnumNetworkEvents(socketOf(s), state.event, &got) != 0) got.lNetworkEvents = socket_events;
  if (got.lNetworkEvents & (FD_READ | FD_ACCEPT | FD_CLOSE)) state.can_read = true;
  if (got.lNetworkEvents & (FD_WRITE | FD_CLOSE)) state.can_write = true;
}

// What the socket of `w` is ready for, of what is wanted.
Event socketEvent(const Watched& w) {
  const SocketState& state = socketState(*w.stream);
  return {w.tag, (w.want & WantRead) != 0 && state.can_read, (w.want & WantWrite) != 0 && state.can_write};
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
  for (std::size_t i = 0; i < state->count; ++i) {
    if (state->watched[i].stream == &s) {
      state->watched[i] = {&s, want, tag};
      return 0;
    }
  }
  if (state->count == std::size(state->watched)) return WSAEMFILE;  // one wait takes no more
  state->watched[state->count++] = {&s, want, tag};
  return 0;
}

void forgetStream(Poller& p, const Stream& s) noexcept {
  auto* state = static_cast<PollerState*>(p.state);
  if (!state) return;
  Watched* end = std::remove_if(state->watched, state->watched + state->count, [&](const Watched& w) { return w.stream == &s; });
  state->count = static_cast<std::size_t>(end - state->watched);
}

Waited waitEvents(Poller& p, std::chrono::nanoseconds timeout, std::span<Event> events) noexcept {
  auto* state = static_cast<PollerState*>(p.state);
  if (!state) return {0, p.error};
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  const Watched* waiting[MAXIMUM_WAIT_OBJECTS];
  DWORD count = 0;
  bool now = false;  // something is ready already: the wait only looks
  Waited waited;
  auto report = [&](const Event& e) {
    if (waited.count < events.size()) events[waited.count++] = e;
  };
  auto reportWanted = [&](const Watched& w) { report({w.tag, (w.want & WantRead) != 0, (w.want & WantWrite) != 0}); };
  for (std::size_t i = 0; i < state->count; ++i) {
    const Watched& w = state->watched[i];
    if (w.want == WantNothing) continue;
    if (w.stream->kind == Socket) {
      const Event e = socketEvent(w);
      now = now || e.readable || e.writable;
      handles[count] = socketState(*w.stream).event;
      waiting[count++] = &w;
      continue;
    }
    auto* hand_over = static_cast<HandOver*>(w.stream->helper);
    if (hand_over && !hand_over->fault) {
      handles[count] = hand_over->ready;
      waiting[count++] = &w;
    } else {
      reportWanted(w);  // without a working helper it is ready at once: its next call fails
      now = true;
    }
  }
  const DWORD ms = now ? 0 : millisecondsOf(timeout);
  if (count == 0) {
    if (ms != 0) Sleep(ms);
    return waited;
  }
  const DWORD got = WaitForMultipleObjects(count, handles, FALSE, ms);
  if (got == WAIT_FAILED) return {0, lastError()};
  // The helper's event that woke the wait is reset; the others are looked at without waiting. A
  // socket's event stays set until its news is taken.
  const bool woke = got < WAIT_OBJECT_0 + count;
  for (DWORD i = 0; i < count; ++i) {
    const Watched& w = *waiting[i];
    if (w.stream->kind == Socket) {
      if (woke) takeNetworkEvents(*w.stream);
      if (const Event e = socketEvent(w); e.readable || e.writable) report(e);
    } else if (woke && (i == got - WAIT_OBJECT_0 || WaitForSingleObject(handles[i], 0) == WAIT_OBJECT_0)) {
      reportWanted(w);
    }
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
  state->can_read = false;  // no client yet: the event tells when one comes
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
      WSAEventSelect(fd, state->event, socket_events) != 0 || bind(fd, address, size) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    error = socketError();
    closesocket(fd);
    freeSocketState(state);
    return error;
  }
  listener = Stream{.fd = reinterpret_cast<Descriptor>(fd), .kind = Socket, .own_fd = true, .helper = state};
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
  // The connection comes non-blocking and with the listener's event selected: it gets its own.
  if (WSAEventSelect(fd, l.spare->event, socket_events) != 0) {
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
// bounds only the C runtime's own files, which the loop does not use). What bounds the connections
// here is the poller's one wait.
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
