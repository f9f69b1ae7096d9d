#pragma once
// Where whole lines go. The only interface with an exchangeable implementation: the stdio layer's
// StdoutSink in the program, capturing sinks in tests.

#include <string_view>

// `write` receives one line without its newline, may be called from any thread at any time, adds
// the newline itself and never reports failure. A sink may hold lines back until `flush` (when not
// null) sends them out; the waiting helpers flush the calling thread's sink before it blocks.
struct Sink {
  void* ctx = nullptr;
  void (*write)(void* ctx, std::string_view line) = nullptr;
  void (*flush)(void* ctx) = nullptr;
};

// Sends out whatever `sink` holds back.
inline void flush(const Sink& sink) {
  if (sink.flush) sink.flush(sink.ctx);
}

// The two ways out of the server: protocol lines to `out` (standard output), reports to `log`
// (standard error).
struct Wire {
  Sink out;
  Sink log;
};
