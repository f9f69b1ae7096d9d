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
#include "runtime/platform.h"

// Whole lines to one standard stream, queued in blocks and written as fast as the stream takes
// them, never waited for: standard output for protocol lines, standard error for reports. A block
// is given back as soon as its bytes have left, so memory follows what waits unread. A line whose
// write fails (the reader has gone) is dropped, and only that one; a line that cannot be queued for
// lack of memory is dropped with a report.
//
// Standard output's lines leave when the loop is about to wait, or as soon as a block's worth has
// gathered, so a pipelined burst leaves in few writes and a lone reply at once. While more than
// `max_backlog` bytes wait, the loop reads no input: a client that stops reading stops the server
// from taking more work, but can still send anything (a crash, say) until then. Standard error's
// lines leave at once; a standard error that nobody reads keeps `drop_beyond` bytes, and drops
// reports past that.
class OutputQueue {
 public:
  static constexpr std::size_t block_size = 65536;
  static constexpr std::size_t max_backlog = 8 << 20;

  // Lines for `fd`, queued in blocks from `memory`. `drop_beyond` 0: nothing is dropped, lines
  // leave from the loop. Otherwise lines leave at once, and one that would queue more is dropped.
  OutputQueue(sys::Descriptor fd, std::pmr::memory_resource& memory, std::size_t drop_beyond = 0);
  // Bytes for `stream`, which the queue takes over (a connection, say): closed with the queue.
  OutputQueue(const sys::Stream& stream, std::pmr::memory_resource& memory);
  ~OutputQueue();
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  struct Block;

  std::pmr::memory_resource& memory;
  sys::Stream stream;
  const std::size_t drop_beyond;
  Block* head = nullptr;        // the oldest block with bytes to write; null when none wait
  Block* tail = nullptr;        // where the next line goes
  Block* spare = nullptr;       // emptied blocks, kept so that steady traffic allocates nothing
  std::size_t spares = 0;       // how many; at most kept_blocks
  static constexpr std::size_t kept_blocks = 4;
  std::size_t queued = 0;       // bytes waiting, in all blocks
  bool mid_line = false;        // what reached the stream ends inside a line
  bool retried = false;         // the line in progress has failed once already
  std::uint64_t settled = 0;    // bytes written or dropped since the start: deliveries wait for a count of these
  Delivery waiting;             // the deliveries that wait, in order: a ring through this one
  OutputQueue* reports = nullptr;  // told when a line cannot be queued for lack of memory
};

// Queues `bytes` as they are, no newline added: for streams that do not carry lines. Throws
// std::bad_alloc; nothing is queued then.
void appendBytes(OutputQueue& out, std::string_view bytes);

// Takes the first block now rather than at the first line. Throws std::bad_alloc.
void reserveBuffers(OutputQueue& out);

// The Sink that writes through `out`, which must outlive every user of the Sink.
Sink sinkOf(OutputQueue& out);

// Bytes queued and not yet written.
inline std::size_t backlog(const OutputQueue& out) { return out.queued; }

// Writes what the stream takes now (`ready`: a wait has just reported room).
void writeWhatFits(OutputQueue& out, bool ready) noexcept;

// Tells the deliveries whose lines have all left; they may resume coroutines. Only the loop's step
// calls this. Whether it told any.
bool tellDelivered(OutputQueue& out) noexcept;

// Writes `line` and its newline, for the last words of a process: queued like any line, or, when
// the queue cannot take it for lack of memory, written from the caller's memory once what waits
// has left (or been given up). Either way it has been tried before this returns.
void writeLast(OutputQueue& out, std::string_view line) noexcept;

// Writes `bytes` straight from the caller's memory, past whatever waits in the queue, giving up as
// deliverQueued does. Needs no memory at all: for a report when there is none left.
void writeUnqueued(const OutputQueue& out, std::string_view bytes) noexcept;

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

// Runs `loop` over the standard streams: reads `in` through `buffer` and hands every line, without
// its "\n", to `handler`, the last one too at end of input, terminated or not; fires timers; writes
// `out` and `err`. Lines have no length limit: one that spans reads is gathered in `gpa`. Returns
// once input has ended, every task has ended and standard output has taken everything (or its
// reader has gone); or at once when reading, waiting or gathering a line fails, and the partial
// line is then not handled. After a burst of tasks, memory freed is given back to the system.
LoopOutcome runLineLoop(Loop& loop, sys::Descriptor in, std::span<char> buffer, std::pmr::memory_resource& gpa,
                        OutputQueue& out, OutputQueue& err, LineHandler handler);

// Writes what `out` holds for as long as it takes bytes; gives up once it has taken nothing for
// 80 ms. For the last words of a process.
void deliverQueued(OutputQueue& out) noexcept;
// The same for many outputs at once (a network transport's connections), each given the patience.
void deliverQueued(std::span<OutputQueue* const> outputs) noexcept;

// Ends the process with `status` once the loop's outputs have delivered what they hold, giving up
// on one that has taken nothing for 80 ms. Whatever else runs or sleeps is abandoned.
[[noreturn]] void endProcess(Loop& loop, int status) noexcept;

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
