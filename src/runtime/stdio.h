#pragma once
// The loop over the standard streams: input lines in, whole lines out, timers between. One thread
// runs it all and never blocks on a stream: it waits, in one call, for input, for room in an output
// that has lines queued, and for the next timer. Coroutines are resumed only from the loop's own
// step: by a timer, or once output they wait for has left; never from inside a write.

#include <coroutine>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <span>
#include <string_view>

#include "protocol/sink.h"
#include "runtime/loop.h"
#include "runtime/output_queue.h"
#include "runtime/platform.h"

// Whole lines to one standard stream, on a byte queue (output_queue.h) whose rules they add: a
// line whose write fails (the reader has gone) is dropped, and only that one, so the queue never
// fails as a whole; a line that cannot be queued for lack of memory is dropped with a report; a
// stream that will take only so much more (a file at its size limit) gets whole lines or none.
//
// Standard output's lines leave when the loop is about to wait, or as soon as a block's worth has
// gathered, so a pipelined burst leaves in few writes and a lone reply at once. While more than
// `max_backlog` bytes wait, the loop reads no input: a client that stops reading stops the server
// from taking more work, but can still send anything (a crash, say) until then. Standard error's
// lines leave at once; a standard error that nobody reads keeps `drop_beyond` bytes, and drops
// reports past that.
class LineQueue : public OutputQueue {
 public:
  static constexpr std::size_t max_backlog = max_unread_output;

  // Lines for `fd`, queued in blocks from `memory`. `drop_beyond` 0: nothing is dropped, lines
  // leave from the loop. Otherwise lines leave at once, and one that would queue more is dropped.
  LineQueue(sys::Descriptor fd, std::pmr::memory_resource& memory, std::size_t drop_beyond = 0);

  const std::size_t drop_beyond;
  bool mid_line = false;        // what reached the stream ends inside a line
  bool retried = false;         // the line in progress has failed once already
  LineQueue* reports = nullptr;  // told when a line cannot be queued for lack of memory
};

// The Sink that writes whole lines through `out`, which must outlive every user of the Sink.
Sink sinkOf(LineQueue& out);

// Writes what the stream takes now (`ready`: a wait has just reported room), by the line rules.
void writeWhatFits(LineQueue& out, bool ready) noexcept;

// Writes `line` and its newline, for the last words of a process: queued like any line, or, when
// the queue cannot take it for lack of memory, written from the caller's memory once what waits
// has left (or been given up). Either way it has been tried before this returns.
void writeLast(LineQueue& out, std::string_view line) noexcept;

// Writes `bytes` straight from the caller's memory, past whatever waits in the queue, giving up as
// deliverQueued does. Needs no memory at all: for a report when there is none left.
void writeUnqueued(const OutputQueue& out, std::string_view bytes) noexcept;

// Writes what `out` holds for as long as it takes bytes; gives up once it has taken nothing for
// end_patience. For the last words of a process.
void deliverQueued(LineQueue& out) noexcept;

// The one driver of the loop, whichever transport serves: it writes standard error's reports (and,
// on stdio, standard output's lines) as the streams take them, tells who waits for them to leave,
// compacts the timers and gives memory back after a burst of tasks, and registers with the loop
// what its outputs must deliver before the process ends. One hook on the loop does it all, before
// each wait, after the hooks of whatever was added to the loop before it; a stream it cannot wait
// on fails the loop's run (Loop::fail).
class Driver {
 public:
  // A step of the stdio transport, taken in the same turn right after the outputs have been
  // written: true to turn again at once, because it has read input itself instead of waiting.
  struct Step {
    bool (*run)(void* owner) noexcept = nullptr;
    void* owner = nullptr;
  };

  // Drives `loop` with `err`, and `out` when the transport is the standard streams. All three must
  // outlive the driver.
  Driver(Loop& loop, LineQueue& err, LineQueue* out = nullptr) noexcept;
  ~Driver();
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;

  Loop& loop;
  LineQueue& err;
  LineQueue* const out;
  Step step;  // set by runLineLoop while it runs

 private:
  struct Output {
    Watch watch;
    LineQueue* queue = nullptr;
    Driver* driver = nullptr;
  };
  static void onOutput(void* owner, bool readable, bool writable) noexcept;
  static void beforeWait(void* owner) noexcept;
  static void farewell(void* owner) noexcept;
  void turn() noexcept;

  Output outputs_[2];  // standard output (when driven), standard error
  TurnHook hook_;
  Farewell farewell_;
  std::size_t busiest_ = 0;  // the most tasks at once since memory was last given back
  bool room_taken_ = false;  // an output has used the room the last wait reported
};

enum class LoopEnd : std::uint8_t {
  EndOfInput,
  ReadFailed,       // standard input cannot be read
  WaitFailed,       // the system cannot wait for the streams
  NoMemoryForLine,  // a line that spans reads cannot be gathered for lack of memory
};
struct LoopOutcome {
  LoopEnd end;
  std::uint32_t error = 0;  // the system's error code for ReadFailed and WaitFailed
};

// What the line loop hands each line to. `line` is borrowed for the call only.
struct LineHandler {
  void* ctx = nullptr;
  void (*handle)(void* ctx, std::string_view line) noexcept = nullptr;
  // When not null, told once input has ended, after its last line (the server ends what stays open).
  void (*ended)(void* ctx) noexcept = nullptr;
};

// How large a read buffer the line loop is given.
inline constexpr std::size_t read_buffer_size = sys::read_chunk;

// Runs the loop of `driver`, which must drive standard output, over standard input: reads `in`
// through `buffer` and hands every line, without its "\n", to `handler`, the last one too at end of
// input, terminated or not. Lines have no length limit: one that spans reads is gathered in `gpa`.
// Returns once input has ended, every task has ended and standard output has taken everything (or
// its reader has gone); or at once when reading, waiting or gathering a line fails, and the partial
// line is then not handled.
LoopOutcome runLineLoop(Driver& driver, sys::Descriptor in, std::span<char> buffer, std::pmr::memory_resource& gpa,
                        LineHandler handler);

// co_await delivered(sink): resumes once every line written to `sink` so far has left. A sink that
// hands lines on as they are written does not suspend. Destroyed while waiting, it is forgotten.
class [[nodiscard]] Delivered : private Delivery {
 public:
  explicit Delivered(const Sink& sink) : sink_(sink) {}
  Delivered(const Delivered&) = delete;
  Delivered& operator=(const Delivered&) = delete;
  ~Delivered() { unlink(*this); }
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
