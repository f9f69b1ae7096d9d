#pragma once
// The bytes the HTTP transport sends: response heads, chunks of a streamed body, server-sent events,
// and the JSON-RPC error body of a request refused before it reached a session. Each function
// appends one whole piece to `out` and follows the template in its comment; nothing else in the
// program writes these texts.

#include <cstdint>
#include <optional>
#include <string_view>

#include "protocol/json.h"

namespace http {

// The methods /mcp answers, as a 405's Allow and a preflight's Access-Control-Allow-Methods list them.
inline constexpr std::string_view mcp_methods = "GET, POST, DELETE, OPTIONS";

// What a response head says beside its status line. Empty texts leave their header out.
struct ResponseHead {
  int status = 200;
  std::string_view content_type{};                // "application/json", "text/event-stream"
  std::optional<std::uint64_t> content_length{};  // nullopt: a stream, in chunks or `until_close`
  bool until_close = false;                       // a stream whose body ends with the connection (HTTP/1.0)
  std::string_view session_id{};                  // Mcp-Session-Id
  std::string_view allow{};                       // Allow, for a 405
  std::string_view allowed_origin{};              // a browser's origin that may read the response
  bool preflight = false;                       // the answer to a browser's OPTIONS: what it may send
  bool unbuffered = false;                      // X-Accel-Buffering: no, for a stream a proxy must not hold
  bool ask_for_token = false;                   // WWW-Authenticate: Bearer, for a 401
  bool close = false;                           // Connection: close: no request follows on this connection
};

// HTTP/1.1 <status> <reason>\r\n, then in this order the headers that apply:
// Content-Type, Content-Length or Transfer-Encoding: chunked, Cache-Control: no-store (streams: a
// browser that stored one would hold its cache entry for the address while it lasts),
// Mcp-Session-Id, Allow, Access-Control-Allow-Origin + Access-Control-Expose-Headers + Vary: Origin
// (and for a preflight Access-Control-Allow-Methods, -Allow-Headers and -Max-Age), WWW-Authenticate,
// Connection: close; then \r\n. A head without a body says Content-Length: 0, but for 204, which says nothing of a length.
void appendHead(json::Text& out, const ResponseHead& head);

// The reason phrase of the statuses the transport sends; "Unknown" for others.
std::string_view reasonPhrase(int status);

// One chunk of a streamed body: <size in hex>\r\n<bytes>\r\n. Nothing for no bytes: an empty
// chunk would end the body.
void appendChunk(json::Text& out, std::string_view bytes);
// The end of a streamed body: 0\r\n\r\n.
void appendLastChunk(json::Text& out);

// A server-sent event: [id: <id>\n][event: <event>\n]data: <data>\n\n. `data` is one line (compact
// JSON always is). An event with an id and empty data primes a stream: clients learn the id they
// may resume from, and skip the event.
void appendEvent(json::Text& out, std::string_view id, std::string_view event, std::string_view data);

// {"jsonrpc":"2.0","id":null,"error":{"code":<code>,"message":<message>}}: the body of a refusal
// that no session answers (wrong headers, no session, not JSON...).
void appendErrorBody(json::Text& out, std::int64_t code, std::string_view message);

}  // namespace http
