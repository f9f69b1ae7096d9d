#pragma once
// What fuzz_http and fuzz_http_oracle check of a head that arrives in two reads, as a connection
// gets it: the first `cut` bytes in a buffer of their own, then all of them in another, the parse
// going on from the first. It must read exactly as one parse of all the bytes at once, with every
// view in the second buffer; given a third time, in the caller's buffer, the views move there. Any
// difference aborts with a message, which libFuzzer reports as a crash.

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "transport/http_request.h"

namespace head_checks {

inline void require(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "head_checks: %s\n", what);
  std::abort();
}

inline bool inside(std::string_view part, std::string_view whole) {
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

inline bool sameHead(const http::RequestHead& a, const http::RequestHead& b) {
  bool same = a.method == b.method && a.target == b.target && a.path == b.path && a.authority == b.authority &&
              a.minor_version == b.minor_version && a.framing == b.framing && a.content_length == b.content_length &&
              a.keep_alive == b.keep_alive && a.header_count == b.header_count && a.host == b.host &&
              a.origin == b.origin && a.authorization == b.authorization && a.accept == b.accept &&
              a.content_type == b.content_type && a.expect == b.expect && a.mcp_session_id == b.mcp_session_id &&
              a.mcp_protocol_version == b.mcp_protocol_version && a.last_event_id == b.last_event_id &&
              a.mcp_method == b.mcp_method && a.mcp_name == b.mcp_name;
  for (std::size_t i = 0; same && i < a.header_count; ++i)
    same = a.field(i).name == b.field(i).name && a.field(i).value == b.field(i).value;
  return same;
}

// Parses the head at the start of `bytes` into `head` in two reads cut at `cut`, checks it against
// one parse of all of `bytes`, and returns the result.
inline http::HeadResult parseInTwo(std::string_view bytes, std::size_t cut, http::RequestHead& head) {
  const std::string first(bytes.substr(0, cut));
  (void)http::parseRequestHead(first, head);
  const std::string second(bytes);
  const http::HeadResult r = http::parseRequestHead(second, head);
  http::RequestHead once;
  const http::HeadResult o = http::parseRequestHead(bytes, once);
  require(r.progress == o.progress && r.size == o.size && r.refusal.status == o.refusal.status &&
              r.refusal.reason == o.refusal.reason,
          "a head read in two reads ends otherwise than read at once");
  if (r.progress != http::Progress::Done) return o;
  require(sameHead(head, once), "a head read in two reads differs from the head read at once");
  const std::string_view in = std::string_view(second).substr(0, r.size);
  bool inside_all = inside(head.method, in) && inside(head.target, in) && (head.path == "/" || inside(head.path, in)) &&
                    (head.authority.empty() || inside(head.authority, in));
  for (std::size_t i = 0; i < head.header_count; ++i)
    inside_all = inside_all && inside(head.field(i).name, in) && inside(head.field(i).value, in);
  require(inside_all, "a view outside the head last given");
  // Each field resolved is the first of its name, as a walk through the fields finds it.
  using Field = std::optional<std::string_view> http::RequestHead::*;
  const std::pair<Field, std::string_view> resolved[] = {
      {&http::RequestHead::host, "host"}, {&http::RequestHead::origin, "origin"},
      {&http::RequestHead::authorization, "authorization"}, {&http::RequestHead::accept, "accept"},
      {&http::RequestHead::content_type, "content-type"}, {&http::RequestHead::expect, "expect"},
      {&http::RequestHead::mcp_session_id, "mcp-session-id"},
      {&http::RequestHead::mcp_protocol_version, "mcp-protocol-version"},
      {&http::RequestHead::last_event_id, "last-event-id"}, {&http::RequestHead::mcp_method, "mcp-method"},
      {&http::RequestHead::mcp_name, "mcp-name"}};
  for (const auto& [field, name] : resolved) {
    std::optional<std::string_view> walked;
    for (std::size_t i = 0; i < head.header_count && !walked; ++i)
      if (http::sameWithoutCase(head.field(i).name, name)) walked = head.field(i).value;
    require(head.*field == walked && head.header(name) == walked,
            "a field resolved otherwise than the first of its name");
  }
  // Called again once done, with the bytes in yet another place (the caller's), it reads the same.
  require(http::parseRequestHead(bytes, head).size == r.size && sameHead(head, once) && inside(head.target, bytes),
          "a head done reads otherwise when given again");
  return r;
}

}  // namespace head_checks
