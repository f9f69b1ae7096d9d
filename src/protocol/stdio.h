#pragma once
// The process side of the server: whole lines out through a locked descriptor, lines in from
// standard input. The line loop runs on the main thread; a StdoutSink may be written from any.

#include <memory>
#include <mutex>
#include <thread>

#include "protocol/server.h"

// Writes whole lines to one descriptor: standard output for protocol lines, standard error for
// reports. Lines never interleave: each leaves under `mutex`, one write() when it fits 4 KiB. A
// failed write (the reader has gone) drops the line silently.
//
// A sink made with `hold_own_lines` keeps the lines of the thread that made it (the main thread)
// in a 64 KiB buffer until flush(), until the buffer is full, or until another thread writes a
// line, which then follows them. The main thread flushes before it waits for input, so a client
// that pipelines many requests gets its replies in few writes, and one that waits for each reply
// gets it at once. Lines of tool calls are never held.
struct StdoutSink {
  StdoutSink(int fd, bool hold_own_lines);
  const int fd;
  const std::thread::id holder;  // whose lines are held; no one's when the sink holds nothing
  std::mutex mutex;              // held while lines are written
  std::unique_ptr<char[]> held;  // guarded by mutex; null when the sink holds nothing
  std::size_t held_size = 0;     // guarded by mutex
};

// The Sink that writes through `out`, which must outlive every user of the Sink.
Sink sinkOf(StdoutSink& out);

enum class LoopEnd { EndOfInput, ReadFailed, WriteFailed };

// Reads `fd` through a 64 KiB buffer and hands every line, without its "\n", to handle(); at end
// of input the last line too, terminated or not. Flushes the server's sink before every read. Lines have no length limit. Returns how input
// ended: ReadFailed when reading fails, WriteFailed when the line accumulator cannot grow; the
// partial line is then not handled.
LoopEnd runLineLoop(Server& s, int fd);
