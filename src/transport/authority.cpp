#include "transport/authority.h"

#include <algorithm>
#include <iterator>

#include "transport/http_request.h"

namespace http {

bool isLoopbackName(std::string_view host) {
  return std::any_of(std::begin(loopback_names), std::end(loopback_names),
                     [&](std::string_view n) { return sameWithoutCase(host, n); });
}

Expected<Authority, AuthorityError> parseAuthority(std::string_view text) {
  std::size_t host_end = text.starts_with('[') ? text.find(']') : text.find(':');
  if (text.starts_with('[')) {
    if (host_end == std::string_view::npos) return unexpected(AuthorityError::Host);
    ++host_end;
  }
  const std::string_view after = text.substr(std::min(host_end, text.size()));
  Authority a;
  a.host = text.substr(0, host_end);
  if (a.host.empty()) return unexpected(AuthorityError::Host);
  if (after.empty()) return a;
  a.port = after.substr(1);
  if (!after.starts_with(':') || a.port.empty() || a.port.size() > 5) return unexpected(AuthorityError::Port);
  std::uint32_t port = 0;
  for (char c : a.port) {
    if (c < '0' || c > '9') return unexpected(AuthorityError::Port);
    port = port * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (port > 65535) return unexpected(AuthorityError::Port);
  a.port_number = static_cast<std::uint16_t>(port);
  return a;
}

Expected<Origin, OriginError> parseOrigin(std::string_view text) {
  Origin o;
  std::string_view rest;
  if (text.size() >= 7 && sameWithoutCase(text.substr(0, 7), "http://")) {
    rest = text.substr(7);
  } else if (text.size() >= 8 && sameWithoutCase(text.substr(0, 8), "https://")) {
    o.https = true;
    rest = text.substr(8);
  } else {
    return unexpected(OriginError::Scheme);
  }
  if (rest.find('/') != std::string_view::npos) return unexpected(OriginError::Path);
  Expected<Authority, AuthorityError> a = parseAuthority(rest);
  if (!a) return unexpected(a.error() == AuthorityError::Host ? OriginError::Host : OriginError::Port);
  o.authority = *a;
  return o;
}

std::uint16_t defaultPort(const Origin& o) { return o.https ? 443 : 80; }

std::string normalOrigin(const Origin& o) {
  std::string normal = o.https ? "https://" : "http://";
  for (char c : o.authority.host) normal += lowerAscii(c);
  if (!o.authority.port.empty() && o.authority.port_number != defaultPort(o))
    normal.append(":").append(std::to_string(o.authority.port_number));
  return normal;
}

}  // namespace http
