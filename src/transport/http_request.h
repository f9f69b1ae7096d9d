#pragma once
// HTTP/1.1 requests as a connection receives them: the head (request line and header fields) and a
// chunked body. Strict on purpose: whatever two readers of the same bytes could frame differently
// (two lengths, a length beside a coding, folded lines, bare CR or LF) is refused, and the caller
// answers with the status given and closes the connection. Nothing here reads, writes or allocates:
// the parser returns views into the bytes the caller holds, and the chunked decoder rewrites those
// bytes in place and keeps only a few counters of its own.
//
// Pipelining: a head's size is where its body starts, and the body's end (its length, or where the
// decoder stops) is where the next request starts.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

namespace http {

// A head, from the request line through the blank line, fits in this many bytes; a trailer
// section too. Beyond: 431.
inline constexpr std::size_t max_head_size = std::size_t{16} * 1024;
// Header fields one head may carry. Beyond: 431.
inline constexpr std::size_t max_header_count = 64;
// Bytes of a chunk-size line, extensions included; we read extensions only to skip them. Beyond: 400.
inline constexpr std::size_t max_chunk_line_size = 4096;

// HTTP's names, codings and tokens compare without case, ASCII letters only.
char lowerAscii(char c);
bool sameWithoutCase(std::string_view a, std::string_view b);

// Why a request is refused: the status to answer with (400, 431, 501 or 505) and a short text
// for the error body. The text is static.
struct Refusal {
  int status = 0;
  std::string_view reason;
};

enum class Progress : std::uint8_t { NeedMore, Done, Refused };

struct Header {
  std::string_view name;   // as sent; compare without case
  std::string_view value;  // without the whitespace around it
};

enum class Framing : std::uint8_t { None, Length, Chunked };

// A parsed head. Every view points into the bytes it was parsed from and lives as long as they do.
struct RequestHead {
  std::string_view method;  // a token, case as sent (methods are case-sensitive)
  std::string_view target;  // "/path?query", "http://host/path", or "*" for OPTIONS
  int minor_version = 1;    // HTTP/1.0 or HTTP/1.1
  Framing framing = Framing::None;
  std::uint64_t content_length = 0;  // Framing::Length only
  bool keep_alive = true;            // after this request, the connection takes the next one
  std::array<Header, max_header_count> header_storage;
  std::size_t header_count = 0;

  // The header fields in the order they came.
  std::span<const Header> headers() const { return {header_storage.data(), header_count}; }
  // The value of the first field named `name` (ASCII letters without case), or nullopt.
  std::optional<std::string_view> header(std::string_view name) const;
  // How many fields are named `name`: more than one means a list, or a field that must not repeat.
  std::size_t headerCount(std::string_view name) const;
};

struct HeadResult {
  Progress progress = Progress::NeedMore;
  std::size_t size = 0;  // Done: bytes of the head through its blank line; the body starts there
  Refusal refusal;       // Refused
};

// Parses the head at the start of `bytes` into `head`. NeedMore until its blank line is in
// (parse again from the start when more bytes come); a refusal as soon as a whole line shows one.
// Views in `head` point into `bytes`.
HeadResult parseRequestHead(std::string_view bytes, RequestHead& head);

struct BodyResult {
  Progress progress = Progress::NeedMore;
  std::size_t payload = 0;  // decoded bytes, now at the front of the bytes given
  std::size_t used = 0;     // bytes given that belonged to the body: all of them unless Done
  Refusal refusal;          // Refused
};

// Decodes a chunked body as it arrives. It needs no memory besides these counters: it takes every
// byte it is given (a chunk-size line or trailer split between two reads is remembered in its state,
// not kept in a buffer), and extensions and trailers are checked and dropped as they pass. So the
// caller's buffer holds the payload decoded so far and nothing else of the body.
class ChunkedDecoder {
 public:
  // Decodes the next bytes of the body in place: the payload in them moves to their front. On Done,
  // bytes.subspan(used) is what follows the body (the next request); payload never exceeds used.
  BodyResult decode(std::span<char> bytes);

 private:
  enum class State : std::uint8_t;
  bool refuse(int status, std::string_view reason);
  bool step(char c);
  bool sizeLine(char c);
  bool afterSize(char c);
  bool trailer(char c);

  std::uint64_t left_ = 0;  // the chunk size being read, then its data bytes still to come
  std::size_t count_ = 0;   // bytes of the size line so far, or of the trailer section
  State state_{};           // the first: the first chunk's size
  Refusal refusal_;
};

}  // namespace http
