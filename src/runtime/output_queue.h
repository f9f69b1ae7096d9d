#pragma once
// Bytes for one stream, queued in blocks and written as fast as the stream takes them, never
// waited for. A block is given back as soon as its bytes have left, so memory follows what waits
// unread. Deliveries (protocol/sink.h) are told once the bytes queued before them have left.
//
// A queue has an error state: once a write fails (the peer has gone, the stream is broken), the
// queue has failed for good. It drops what it holds, which counts as settled so that nobody waits
// for it, and takes no more bytes. The queue knows no lines: standard output's and standard
// error's rules (stdio.h) sit on top of it, with their own way of meeting a failed write.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <span>
#include <string_view>

#include "protocol/sink.h"
#include "runtime/platform.h"

// What a reader may leave unread before it is held to have stopped reading: standard output then
// takes no more requests, and a connection no more work.
inline constexpr std::size_t max_unread_output = std::size_t{8} << 20;

class OutputQueue {
 public:
  static constexpr std::size_t block_size = 65536;
  static constexpr std::size_t kept_blocks = 4;  // emptied blocks kept for the next bytes

  // Bytes for `stream`, which the queue takes over: closed with the queue. Blocks come from `memory`.
  OutputQueue(const sys::Stream& stream, std::pmr::memory_resource& memory);
  ~OutputQueue();
  OutputQueue(const OutputQueue&) = delete;
  OutputQueue& operator=(const OutputQueue&) = delete;

  // A block of queued bytes: those from `begin` to `end` wait to be written.
  struct Block {
    Block* next = nullptr;
    std::size_t capacity = 0;
    std::size_t begin = 0;
    std::size_t end = 0;
    char* bytes() { return reinterpret_cast<char*>(this + 1); }
    const char* bytes() const { return reinterpret_cast<const char*>(this + 1); }
  };

  std::pmr::memory_resource& memory;
  sys::Stream stream;
  // The size of a usual block, and how many emptied ones are kept: a queue of many small answers
  // among many queues (a connection's) does with less than standard output's.
  std::size_t unit = block_size;
  std::size_t keep = kept_blocks;
  Block* head = nullptr;       // the oldest block with bytes to write; null when none wait
  Block* tail = nullptr;       // where the next bytes go
  Block* spare = nullptr;      // emptied blocks, kept so that steady traffic allocates nothing
  std::size_t spares = 0;      // how many; at most kept_blocks
  std::size_t queued = 0;      // bytes waiting, in all blocks
  std::uint64_t settled = 0;   // bytes written or dropped since the start: deliveries wait for a count of these
  std::uint32_t error = 0;     // not 0: a write failed with this system error, and the queue with it
  Delivery waiting;            // the deliveries that wait, in order: a ring through this one
  // Kept while the process ends (deliverQueued, and the line layer's own): when it last took a byte.
  std::chrono::steady_clock::time_point progress{};
};

// Whether a write has failed: the queue then holds nothing and takes nothing.
inline bool failed(const OutputQueue& out) { return out.error != 0; }

// Bytes queued and not yet written.
inline std::size_t backlog(const OutputQueue& out) { return out.queued; }

// Queues `bytes` as they are, then `more`: all or nothing; a failed queue drops them. Throws
// std::bad_alloc; nothing is queued then.
void appendBytes(OutputQueue& out, std::string_view bytes, std::string_view more = {});

// Takes the first block now rather than at the first bytes. Throws std::bad_alloc.
void reserveBuffers(OutputQueue& out);
// Gives back the emptied blocks kept for the next bytes: for a queue that has gone quiet.
void giveBackSpares(OutputQueue& out) noexcept;

// Writes what the stream takes now (`ready`: a wait has just reported room). A write that fails
// fails the queue.
void writeWhatFits(OutputQueue& out, bool ready) noexcept;

// Writes at most `limit` bytes of the oldest block, as the stream takes them now, and leaves them
// queued: the caller settles what was written. The system's answer as it is, for a layer with rules
// of its own about failures (standard output's lines); the queue's error state is left as it stands.
// REQUIRES: bytes are queued.
sys::Transfer writeFront(OutputQueue& out, std::size_t limit, bool ready) noexcept;

// Settles the first `n` bytes of the oldest block, written or dropped; a block emptied is given
// back. REQUIRES: the oldest block holds that many.
void settle(OutputQueue& out, std::size_t n) noexcept;

// Links `d` in to be told once every byte queued so far has left, and returns true; false when
// they all have already (`d.done` is then never called). As Sink::after.
bool linkDelivery(OutputQueue& out, Delivery& d) noexcept;

// Tells the deliveries whose bytes have all left; they may resume coroutines. Only the loop's step
// calls this. Whether it told any.
bool tellDelivered(OutputQueue& out) noexcept;

// How long an output that takes nothing is waited for when the process ends.
inline constexpr std::chrono::milliseconds end_patience{80};

// Writes what `outputs` hold for as long as each takes bytes, and gives up on each once it has
// taken nothing for end_patience since it last took a byte: one that stalls is given up at its own
// time, however long the others go on. For the last bytes of a process (a network transport's
// connections); null entries are passed over. Sockets cannot be waited on as standard streams are
// everywhere, so the outputs are looked at again every millisecond.
void deliverQueued(std::span<OutputQueue* const> outputs) noexcept;
