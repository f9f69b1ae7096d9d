#pragma once
// The names by which clients reach this server, read one way for the command line and for
// requests: an authority ("host[:port]", as a Host field, an absolute target and an origin carry
// it), an origin ("scheme://host[:port]", compared as browsers send it: lower case, without the
// scheme's default port), and the loopback names, which always name a server on loopback. Nothing
// here keeps state; only normalOrigin allocates.

#include <cstdint>
#include <string>
#include <string_view>

#include "protocol/expected.h"

namespace http {

inline constexpr std::string_view localhost = "localhost";
// The names that reach a server on loopback whatever the command line says: a Host field may
// carry them, with any port of this server, and so may an http origin.
inline constexpr std::string_view loopback_names[] = {localhost, "127.0.0.1", "[::1]"};

// Whether `host` is one of loopback_names, ASCII letters without case.
bool isLoopbackName(std::string_view host);

// "host[:port]". The host is a name, an IPv4 address, or an IPv6 address in brackets, as written:
// only its shape is read here.
struct Authority {
  std::string_view host;
  std::string_view port;  // the digits after the colon, as written; empty when there is none
  std::uint16_t port_number = 0;  // meaningful when `port` is not empty
};
enum class AuthorityError : std::uint8_t {
  Host,  // empty, or a '[' that no ']' closes
  Port,  // what follows the host is not ':' and 1 to 5 digits up to 65535
};
Expected<Authority, AuthorityError> parseAuthority(std::string_view text);

// An origin: "http://" or "https://" (either in any case), then an authority and nothing else.
struct Origin {
  bool https = false;
  Authority authority;
};
enum class OriginError : std::uint8_t {
  Scheme,  // neither http:// nor https://; `null` among them
  Path,    // a '/' after the authority, even alone
  Host,    // as AuthorityError::Host
  Port,    // as AuthorityError::Port
};
Expected<Origin, OriginError> parseOrigin(std::string_view text);

// The port an origin of that scheme means when it names none: 80 or 443.
std::uint16_t defaultPort(const Origin& o);

// The origin as browsers send it and as the server keeps it: "scheme://host[:port]", lower case,
// the port left out when it is the scheme's default and written without leading zeros otherwise.
std::string normalOrigin(const Origin& o);

}  // namespace http
