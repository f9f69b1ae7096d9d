#pragma once
// Where whole lines go. The only interface with an exchangeable implementation: the runtime's
// OutputQueue in the program, capturing sinks in tests.

#include <cstdint>
#include <span>
#include <string_view>

// Told once every line written before it has left (or was dropped because its reader has gone).
// It lives with whoever waits for it; the sink only links it in until then, in a ring of its own.
struct Delivery {
  void (*done)(Delivery& self) noexcept = nullptr;
  Delivery* next = nullptr;  // the sink's: null while not linked in
  Delivery* prev = nullptr;  // the sink's
  std::uint64_t mark = 0;    // the sink's
};

// Takes `d` out of the ring it is linked in, if any; it will not be told.
inline void unlink(Delivery& d) noexcept {
  if (!d.next) return;
  d.prev->next = d.next;
  d.next->prev = d.prev;
  d.next = d.prev = nullptr;
}

// `write` receives one line without its newline, adds the newline itself and never reports
// failure. `after`, when not null, links `d` in to be told once every line written so far has
// left, and returns true; it returns false when they have all left already (`d.done` is then
// never called). A sink without `after` hands lines on as they are written.
//
// `write_pieces`, when not null, takes a long line as its pieces, in order, the same piece perhaps
// many times over (the copies of an echo): a sink that writes it as its reader takes it need not
// hold it whole. The pieces are borrowed for the call. Without it, the writer joins them and calls
// `write` (writePieces).
struct Sink {
  void* ctx = nullptr;
  void (*write)(void* ctx, std::string_view line) = nullptr;
  bool (*after)(void* ctx, Delivery& d) = nullptr;
  void (*write_pieces)(void* ctx, std::span<const std::string_view> pieces) = nullptr;
};

// The two ways out of the server: protocol lines to `out` (standard output), reports to `log`
// (standard error).
struct Wire {
  Sink out;
  Sink log;
};
