#pragma once
// The HTTP transport's limits, each stated once: the parser, the connections, the sessions and the
// texts that refuse a request past one of them all take it from here. The README gives the same
// figures to clients. Also limitText, which writes such a refusal text at compile time, so that a
// text never states a figure other than the limit's.

#include <array>
#include <chrono>
#include <cstddef>
#include <string_view>

#include "runtime/output_queue.h"

namespace http {

// A request head, from the request line through the blank line, fits in this many bytes; a
// trailer section too. Beyond: 431.
inline constexpr std::size_t max_head_size = std::size_t{16} << 10;
// Header fields one head may carry. Beyond: 431.
inline constexpr std::size_t max_header_count = 64;
// Bytes of a chunk-size line, extensions included; we read extensions only to skip them. Beyond: 400.
inline constexpr std::size_t max_chunk_line_size = 4096;

// A request begun must be whole within this long (a client that sends a byte at a time gets 408).
inline constexpr std::chrono::seconds request_time_limit{5};
// A connection with neither a request arriving nor a stream to send is closed after this long.
inline constexpr std::chrono::seconds quiet_limit{30};
// A connection done with is closed once its client has closed its end too, or after this long.
inline constexpr std::chrono::seconds linger_limit{2};

// A client that leaves this much of its answers unread is disconnected (standard output's bound).
inline constexpr std::size_t max_unread = max_unread_output;
// What is read of the requests that follow while a stream is sent on their connection.
inline constexpr std::size_t read_ahead = std::size_t{64} << 10;
// What the transport holds at most, together: buffers, queues, kept events. Past it: 413.
inline constexpr std::size_t max_held = std::size_t{256} << 20;

// A session that has had nothing running or open for this long ends.
inline constexpr std::chrono::minutes session_idle_limit{30};
// Sessions at most at once.
inline constexpr std::size_t max_sessions = 50000;
// What a session keeps of its streams' events for clients that resume one: its latest events, at
// most this many and this many bytes of data.
inline constexpr std::size_t max_kept_events = 512;
inline constexpr std::size_t max_kept_bytes = std::size_t{256} << 10;

// A short static text with a figure in it, written at compile time: limitText("over ", 16, " KiB").
struct LimitText {
  std::array<char, 64> chars{};
  std::size_t size = 0;
  constexpr std::string_view view() const { return {chars.data(), size}; }
};

constexpr LimitText limitText(std::string_view before, std::size_t figure, std::string_view after) {
  LimitText t;
  for (char c : before) t.chars[t.size++] = c;
  char digits[20] = {};
  std::size_t count = 0;
  do {
    digits[count++] = static_cast<char>('0' + figure % 10);
    figure /= 10;
  } while (figure != 0);
  while (count > 0) t.chars[t.size++] = digits[--count];
  for (char c : after) t.chars[t.size++] = c;
  return t;
}

}  // namespace http
