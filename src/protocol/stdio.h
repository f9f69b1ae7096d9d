#pragma once
// The process side of the server: whole lines out through a locked descriptor, lines in from
// standard input. The line loop runs on the main thread; a StdoutSink may be written from any.

#include <mutex>

#include "protocol/server.h"

// Writes whole lines to one descriptor: standard output for protocol lines, standard error for
// reports. A line that fits 4 KiB with its newline leaves in one write(); a longer one in several,
// all under `mutex`, so lines from different threads never interleave. A failed write (the reader
// has gone) drops the line silently.
struct StdoutSink {
  explicit StdoutSink(int fd) : fd(fd) {}
  const int fd;
  std::mutex mutex;  // held while one line and its newline are written
};

// The Sink that writes through `out`, which must outlive every user of the Sink.
Sink sinkOf(StdoutSink& out);

enum class LoopEnd { EndOfInput, ReadFailed, WriteFailed };

// Reads `fd` through a 64 KiB buffer and hands every line, without its "\n", to handle(); at end
// of input the last line too, terminated or not. Lines have no length limit. Returns how input
// ended: ReadFailed when reading fails, WriteFailed when the line accumulator cannot grow; the
// partial line is then not handled.
LoopEnd runLineLoop(Server& s, int fd);
