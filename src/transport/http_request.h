#pragma once
// HTTP/1.1 requests as a connection receives them: the head (request line and header fields) and a
// chunked body. Strict on purpose: whatever two readers of the same bytes could frame differently
// (two lengths, a length beside a coding, folded lines, bare CR or LF) is refused, and the caller
// answers with the status given and closes the connection. Nothing here reads, writes or allocates:
// the head's parser keeps offsets into the bytes the caller holds and hands out views into them,
// and the chunked decoder rewrites those bytes in place and keeps only a few counters of its own.
//
// A head that arrives in pieces is looked at once: each call goes on from the line where the one
// before stopped, so a slow client costs what it sends, not what it sent times its reads.
//
// Pipelining: a head's size is where its body starts, and the body's end (its length, or where the
// decoder stops) is where the next request starts.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>

#include "transport/http_limits.h"

namespace http {

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

struct HeadResult {
  Progress progress = Progress::NeedMore;
  std::size_t size = 0;  // Done: bytes of the head through its blank line; the body starts there
  Refusal refusal;       // Refused
};

// A head, parsed or being parsed. Once parseRequestHead says Done, every view below points into
// the bytes last given to it, and lives as long as they do; until then they are empty.
class RequestHead {
 public:
  RequestHead() noexcept {}  // user-provided, so that even RequestHead{} leaves `spans_` unfilled
  RequestHead(const RequestHead&) = delete;
  RequestHead& operator=(const RequestHead&) = delete;

  std::string_view method;     // a token, case as sent (methods are case-sensitive)
  std::string_view target;     // "/path?query", "http://host/path", or "*" for OPTIONS
  std::string_view path;       // the target's path without its query: "/mcp"; "/" for an absolute
                               // target without one, "*" for "*"
  std::string_view authority;  // whom the request is for: an absolute target's own authority
                               // ("evil.example:80"), else the Host field's value; "" when neither
  int minor_version = 1;       // HTTP/1.0 or HTTP/1.1
  Framing framing = Framing::None;
  std::uint64_t content_length = 0;  // Framing::Length only
  bool keep_alive = true;            // after this request, the connection takes the next one

  // The fields the server reads, each the first field of its name; nullopt when none came.
  std::optional<std::string_view> host, origin, authorization, accept, content_type, expect;
  std::optional<std::string_view> mcp_session_id, mcp_protocol_version, last_event_id, mcp_method, mcp_name;

  std::size_t header_count = 0;  // header fields, in the order they came
  // Field `i`. REQUIRES: the head is Done, and i < header_count.
  Header field(std::size_t i) const;
  // The value of the first field named `name` (ASCII letters without case), or nullopt (also
  // while the head is not Done). A field resolved above is found without a search.
  std::optional<std::string_view> header(std::string_view name) const;
  // How many fields are named `name`: more than one means a list, or a field that must not repeat.
  std::size_t headerCount(std::string_view name) const;

  // Forgets this head, for the next request's.
  void reset() noexcept;

 private:
  friend struct HeadParser;

  // Where a field lies in the bytes, and which of the names the parser knows it has (0: none).
  struct Span {
    std::uint16_t name_at, name_size, value_at, value_size;
    std::uint8_t known;
  };
  static constexpr std::size_t known_names = 15;  // the parser's list of names, with 0 for none

  std::array<Span, max_header_count> spans_;  // [0, header_count): filled as lines come, never cleared
  std::array<std::uint8_t, known_names> first_{};  // 1 + the index of the first field of each known name
  std::array<std::uint8_t, known_names> count_{};  // fields of each known name
  std::string_view bytes_;         // Done: the head as last given
  std::uint16_t line_ = 0;         // where the line to read next starts
  std::uint16_t searched_ = 0;     // how far that line has been searched for its end
  std::uint16_t target_at_ = 0, target_size_ = 0, path_at_ = 0, path_size_ = 0;
  std::uint16_t authority_at_ = 0, authority_size_ = 0;  // authority_size_ 0: the Host field's value
  std::uint16_t method_at_ = 0, method_size_ = 0;
  std::uint8_t stage_ = 0;         // the request line, the fields, Done or Refused
  std::uint16_t size_ = 0;         // Done: the head's size
  Refusal refusal_;                // Refused
};

// Parses the head at the start of `bytes` into `head`: NeedMore until its blank line is in, a
// refusal as soon as a whole line shows one. Call again with the same `head` when more bytes came,
// with `bytes` holding all of them from the head's start (the buffer may have moved): the parse
// goes on where it stopped. Called again once Done, it only points the views into `bytes`. For the
// next request, reset() the head (or take a new one).
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
