#pragma once
// Who may talk to the HTTP server. A server on loopback must not be reachable from a web page
// through a name that a hostile DNS points at 127.0.0.1 (DNS rebinding): so the authority a
// request is for (its Host header, or an absolute target's own) must name this server, and a
// browser's Origin must be a loopback one, unless the command line added others. Beyond loopback, every request must also carry the bearer token. The checks come before
// anything else a request asks for. Also the session ids: unguessable, from the system's secure
// random source. Nothing here keeps state or does I/O beyond that source.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "transport/http_request.h"

struct AccessRules {
  std::uint16_t port = 0;                     // the port the server listens on
  std::span<const std::string> extra_hosts;   // lower case, no port, beside localhost, 127.0.0.1, [::1]
  std::span<const std::string> extra_origins; // lower case "scheme://host[:port]", default port left out
  std::string_view token;                     // empty: none is asked for
};

enum class Access : std::uint8_t {
  Allowed,
  BadHost,       // 403: the Host header does not name this server
  BadOrigin,     // 403: a browser origin that may not talk to it (`null` among them)
  Unauthorized,  // 401: the bearer token is missing or wrong
};

// Checks whom a request is for (its authority: an absolute target's own, else its Host field's),
// its Origin (absent when the client is not a browser) and its Authorization against `rules`, in
// that order: the first problem decides.
Access checkAccess(const AccessRules& rules, const http::RequestHead& head);

// Whether `given` equals `secret`, in a time that does not depend on where they differ.
bool sameSecret(std::string_view given, std::string_view secret);

// A new session id: 128 bits from the system's secure random source, as 32 lower-case hex digits.
// Empty when the source fails.
std::string newSessionId();
