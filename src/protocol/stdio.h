#pragma once
// The process side of the server: whole lines out through a locked descriptor, lines in from
// standard input. The line loop runs on the main thread; a StdoutSink may be written from any.

#include <condition_variable>
#include <cstddef>
#include <memory_resource>
#include <mutex>
#include <span>
#include <string>
#include <string_view>

#include "protocol/sink.h"

// Writes whole lines to one descriptor: standard output for protocol lines, standard error for
// reports. Lines never interleave: they gather in a buffer, and one thread at a time, the writer,
// sends what has gathered, in the order it was written. A thread that writes while another is the
// writer leaves its line to that writer and goes on. A failed write (the reader has gone) drops its
// lines silently.
//
// A sink made with `hold_lines` sends nothing until flush() or a full buffer (64 KiB): every
// thread that writes through it flushes before it waits for anything (input, a task, a timer, an
// answer). So a client that pipelines many requests gets its replies in few writes, and one that
// waits for each reply gets it as soon as the server has nothing else to do.
//
// The thread that reads input never waits for a full pipe while the buffer holds less than
// `max_backlog`: it writes what the descriptor takes at once and leaves the rest, so a client that
// stops reading can still send requests (a crash, say) until that much is waiting. Buffers come
// from `memory`; without memory a line is written at once, waiting for the pipe if it must.
struct StdoutSink {
  static constexpr std::size_t buffer_capacity = 65536;
  static constexpr std::size_t max_backlog = 8 << 20;

  StdoutSink(int fd, bool hold_lines, std::pmr::memory_resource& memory = *std::pmr::new_delete_resource());
  const int fd;
  const bool hold_lines;
  std::mutex mutex;
  std::condition_variable writer_done;
  bool writing = false;        // guarded by mutex: some thread is the writer
  std::pmr::string pending;    // guarded by mutex: lines not yet handed to write()
  std::pmr::string sending;    // the writer's: the lines it is writing now
  bool mid_line = false;       // the writer's: what reached the descriptor ends inside a line
};

// Takes the buffers of `out` now rather than at its first line. Throws std::bad_alloc.
void reserveBuffers(StdoutSink& out);

// The Sink that writes through `out`, which must outlive every user of the Sink.
Sink sinkOf(StdoutSink& out);

enum class LoopEnd { EndOfInput, ReadFailed, WriteFailed };

// What the line loop hands each line to. `line` is borrowed for the call only.
struct LineHandler {
  void* ctx = nullptr;
  void (*handle)(void* ctx, std::string_view line) noexcept = nullptr;
};

// How large a read buffer the line loop is given.
inline constexpr std::size_t read_buffer_size = 65536;

// Reads `fd` through `buffer` and hands every line, without its "\n", to `handler`; at end
// of input the last line too, terminated or not. Lines have no length limit; a line that spans
// reads is gathered in `gpa`. What `out` holds back leaves before every read. Returns how input
// ended: ReadFailed when reading fails, WriteFailed when the line accumulator cannot grow; the
// partial line is then not handled.
LoopEnd runLineLoop(int fd, std::span<char> buffer, std::pmr::memory_resource& gpa, const Sink& out,
                    LineHandler handler);
