#pragma once
// The loop over the standard streams: input lines in, whole lines out, timers between. One thread
// runs it all and never blocks on a stream: it waits, in one call, for input, for room in an output
// that has lines queued, and for the next timer.

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <span>
#include <string>
#include <string_view>

#include "protocol/sink.h"
#include "runtime/loop.h"
#include "runtime/platform.h"

// Whole lines to one standard stream, queued and written as fast as the stream takes them, never
// waited for: standard output for protocol lines, standard error for reports. A line is never lost
// while its reader lives; one whose write fails (the reader has gone) is dropped, and only that one.
//
// Standard output's lines leave when the loop is about to wait, or as soon as 64 KiB have gathered,
// so a pipelined burst leaves in few writes and a lone reply at once. While more than `max_backlog`
// bytes wait, the loop reads no input: a client that stops reading stops the server from taking
// more work, but can still send anything (a crash, say) until then. Standard error's lines leave at
// once; a standard error that nobody reads keeps `drop_beyond` bytes, and drops reports past that.
class StdoutSink {
 public:
  static constexpr std::size_t buffer_capacity = 65536;
  static constexpr std::size_t max_backlog = 8 << 20;

  // Lines for `fd`, queued in `memory`. `drop_beyond` 0: nothing is dropped, lines leave from the
  // loop. Otherwise lines leave at once, and a line that would queue more than that is dropped.
  StdoutSink(sys::Descriptor fd, std::pmr::memory_resource& memory, std::size_t drop_beyond = 0);
  StdoutSink(const StdoutSink&) = delete;
  StdoutSink& operator=(const StdoutSink&) = delete;

  sys::Stream stream;
  const std::size_t drop_beyond;
  std::pmr::string queue;      // lines not yet written, from `head` on
  std::size_t head = 0;        // bytes of `queue` already written or dropped
  bool mid_line = false;       // what reached the stream ends inside a line
  bool retried = false;        // the line in progress has failed once already
  std::uint64_t left = 0;      // bytes written or dropped since the start; deliveries count in these
  Delivery* first = nullptr;   // waiting for their mark, in order
  Delivery* last = nullptr;
  StdoutSink* reports = nullptr;  // told when a line cannot be queued for lack of memory
};

// Takes the queue's buffer now rather than at the first line. Throws std::bad_alloc.
void reserveBuffers(StdoutSink& out);

// The Sink that writes through `out`, which must outlive every user of the Sink.
Sink sinkOf(StdoutSink& out);

// Bytes queued and not yet written.
inline std::size_t backlog(const StdoutSink& out) { return out.queue.size() - out.head; }

// Writes what the stream takes now (`ready`: a wait has just reported room), then tells the
// deliveries whose lines have all left.
void writeWhatFits(StdoutSink& out, bool ready) noexcept;

enum class LoopEnd { EndOfInput, ReadFailed, WriteFailed };

// What the line loop hands each line to. `line` is borrowed for the call only.
struct LineHandler {
  void* ctx = nullptr;
  void (*handle)(void* ctx, std::string_view line) noexcept = nullptr;
};

// How large a read buffer the line loop is given.
inline constexpr std::size_t read_buffer_size = 65536;

// Runs `loop` over the standard streams: reads `in` through `buffer` and hands every line, without
// its "\n", to `handler`, the last one too at end of input, terminated or not; fires timers; writes
// `out` and `err`. Lines have no length limit: one that spans reads is gathered in `gpa`. Returns
// once input has ended, every task has ended and standard output has taken everything (or its
// reader has gone): EndOfInput, ReadFailed when reading fails, WriteFailed when a line cannot be
// gathered for lack of memory; the partial line is then not handled.
LoopEnd runLineLoop(Loop& loop, sys::Descriptor in, std::span<char> buffer, std::pmr::memory_resource& gpa,
                    StdoutSink& out, StdoutSink& err, LineHandler handler);

// Writes what `out` holds for as long as it takes bytes; gives up once it has taken nothing for
// 80 ms. For the last words of a process.
void deliverQueued(StdoutSink& out) noexcept;

// Ends the process with `status` once the loop's outputs have delivered what they hold, giving up
// on one that has taken nothing for 80 ms. Whatever else runs or sleeps is abandoned.
[[noreturn]] void endProcess(Loop& loop, int status) noexcept;

// co_await delivered(sink): resumes once every line written to `sink` so far has left. A sink that
// hands lines on as they are written does not suspend.
class [[nodiscard]] Delivered : private Delivery {
 public:
  explicit Delivered(const Sink& sink) : sink_(sink) {}
  bool await_ready() const noexcept { return sink_.after == nullptr; }
  bool await_suspend(std::coroutine_handle<> h) noexcept {
    waiting_ = h;
    done = [](Delivery& d) noexcept { static_cast<Delivered&>(d).waiting_.resume(); };
    return sink_.after(sink_.ctx, *this);
  }
  void await_resume() const noexcept {}

 private:
  const Sink& sink_;
  std::coroutine_handle<> waiting_;
};
inline Delivered delivered(const Sink& sink) { return Delivered(sink); }
