// The loop's system calls on Windows. An anonymous pipe can neither be waited on nor read or
// written without blocking, so each standard stream gets a helper thread that does the blocking
// call: the input's reads a chunk ahead, an output's writes one chunk handed to it. A stream's
// hand-over between its helper and the loop is the only state they share; it is guarded by its
// mutex, and the helper tells the loop through an event, which the loop waits on with the others
// in one call. Bytes are bytes: ReadFile and WriteFile see no text mode and no console code page.

#include "runtime/platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace sys {
namespace {

constexpr std::size_t chunk_size = 65536;

// What one stream's helper thread and the loop share.
struct HandOver {
  explicit HandOver(HANDLE h) : handle(h) {}
  const HANDLE handle;
  const HANDLE ready = CreateEventW(nullptr, FALSE, FALSE, nullptr);  // the helper has news for the loop
  const HANDLE work = CreateEventW(nullptr, FALSE, FALSE, nullptr);   // the loop has work for the helper
  std::mutex mutex;
  std::vector<char> bytes = std::vector<char>(chunk_size);  // guarded by mutex
  std::size_t size = 0;       // guarded by mutex: input read and not taken, or output to write
  std::size_t taken = 0;      // guarded by mutex: input bytes the loop has taken of `size`
  bool busy = false;          // guarded by mutex: the helper is reading or writing
  bool done = false;          // guarded by mutex: an output write has ended; `result` says how
  Transfer result{Io::Done};  // guarded by mutex: how the input ended, or the last write
};

// The input's helper: reads a chunk whenever the loop has taken the last one.
void readAhead(HandOver& in) {
  for (;;) {
    DWORD got = 0;
    BOOL ok = ReadFile(in.handle, in.bytes.data(), static_cast<DWORD>(in.bytes.size()), &got, nullptr);
    {
      std::lock_guard lock(in.mutex);
      in.size = got;
      in.taken = 0;
      in.busy = false;
      if (!ok) {
        // A pipe whose writer has gone ends the input; so does a file at its end.
        DWORD error = GetLastError();
        in.result = {error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF ? Io::End : Io::Failed};
      } else if (got == 0) {
        in.result = {Io::End};
      }
    }
    SetEvent(in.ready);
    {
      std::lock_guard lock(in.mutex);
      if (in.result.status != Io::Done) return;
    }
    WaitForSingleObject(in.work, INFINITE);
  }
}

// An output's helper: writes each chunk the loop hands it, then reports how far it got.
void writeBehind(HandOver& out) {
  for (;;) {
    WaitForSingleObject(out.work, INFINITE);
    std::size_t size = 0;
    {
      std::lock_guard lock(out.mutex);
      size = out.size;
    }
    DWORD written = 0;
    BOOL ok = WriteFile(out.handle, out.bytes.data(), static_cast<DWORD>(size), &written, nullptr);
    {
      std::lock_guard lock(out.mutex);
      // A reader that has gone (ERROR_NO_DATA, ERROR_BROKEN_PIPE) fails the write like any fault.
      out.result = ok ? Transfer{Io::Done, written} : Transfer{Io::Failed};
      out.busy = false;
      out.done = true;
    }
    SetEvent(out.ready);
  }
}

// A stream's hand-over and its helper thread, which live as long as the process. Null when either
// cannot be had: the stream then fails.
HandOver* start(HANDLE h, void (*helper)(HandOver&), bool busy) {
  auto* state = new (std::nothrow) HandOver(h);
  if (!state || !state->ready || !state->work) return nullptr;
  state->busy = busy;
  try {
    std::thread(helper, std::ref(*state)).detach();
  } catch (...) {
    return nullptr;
  }
  return state;
}

}  // namespace

StandardStreams standardStreams() noexcept {
  return {GetStdHandle(STD_INPUT_HANDLE), GetStdHandle(STD_OUTPUT_HANDLE), GetStdHandle(STD_ERROR_HANDLE)};
}

// The input's helper starts reading at once.
Stream openInput(Descriptor fd) noexcept { return Stream{fd, 0, 0, start(fd, &readAhead, true)}; }

Stream openOutput(Descriptor fd) noexcept { return Stream{fd, 0, 0, start(fd, &writeBehind, false)}; }

Transfer readSome(const Stream& in, char* buffer, std::size_t size) noexcept {
  auto* state = static_cast<HandOver*>(in.helper);
  if (!state) return {Io::Failed};
  std::lock_guard lock(state->mutex);
  if (state->busy) return {Io::NotNow};
  if (state->taken < state->size) {
    std::size_t n = std::min(size, state->size - state->taken);
    std::memcpy(buffer, state->bytes.data() + state->taken, n);
    state->taken += n;
    if (state->taken == state->size && state->result.status == Io::Done) {
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

Transfer writeSome(const Stream& out, const char* data, std::size_t size, bool) noexcept {
  auto* state = static_cast<HandOver*>(out.helper);
  if (!state) return {Io::Failed};
  std::lock_guard lock(state->mutex);
  if (state->busy) return {Io::Done, 0};
  if (state->done) {  // the write handed over last time has ended: its bytes lead `data`
    state->done = false;
    return state->result;
  }
  state->size = std::min(size, state->bytes.size());
  std::memcpy(state->bytes.data(), data, state->size);
  state->busy = true;
  SetEvent(state->work);
  return {Io::Done, 0};
}

Readiness waitFor(const Interest& interest, std::chrono::nanoseconds timeout) noexcept {
  HANDLE events[3];
  int which[3];
  DWORD count = 0;
  auto add = [&](const Stream* s, int slot) {
    if (!s || !s->helper) return;
    events[count] = static_cast<HandOver*>(s->helper)->ready;
    which[count++] = slot;
  };
  add(interest.input, 0);
  add(interest.outputs[0], 1);
  add(interest.outputs[1], 2);
  DWORD ms = INFINITE;
  if (timeout.count() >= 0) {
    auto ceil = std::chrono::ceil<std::chrono::milliseconds>(timeout).count();
    ms = static_cast<DWORD>(std::min<decltype(ceil)>(ceil, INFINITE - 1));
  }
  Readiness r;
  DWORD got = count == 0 ? (Sleep(ms), WAIT_TIMEOUT) : WaitForMultipleObjects(count, events, FALSE, ms);
  if (got >= WAIT_OBJECT_0 + count) return r;
  // The event that woke the wait is reset; the others are looked at without waiting.
  for (DWORD i = 0; i < count; ++i) {
    bool ready = i == got - WAIT_OBJECT_0 || WaitForSingleObject(events[i], 0) == WAIT_OBJECT_0;
    if (!ready) continue;
    if (which[i] == 0) r.input = true;
    else r.outputs[which[i] - 1] = true;
  }
  return r;
}

// Everything worth writing has been written by now: the helpers are stopped where they stand.
// (Under wine, ExitProcess with a helper still waiting now and then ends in SIGKILL instead.)
void exitNow(int status) noexcept {
  TerminateProcess(GetCurrentProcess(), static_cast<UINT>(status));
  ExitProcess(static_cast<UINT>(status));
}

}  // namespace sys
