#include "transport/access.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "runtime/platform.h"
#include "transport/http_request.h"

namespace {

constexpr std::string_view loopback_names[] = {"localhost", "127.0.0.1", "[::1]"};

bool isLoopbackName(std::string_view name) {
  return std::any_of(std::begin(loopback_names), std::end(loopback_names),
                     [&](std::string_view n) { return http::sameWithoutCase(name, n); });
}

// A port as HTTP writes it: digits only, at most 65535.
std::optional<std::uint32_t> portOf(std::string_view digits) {
  if (digits.empty() || digits.size() > 5) return std::nullopt;
  std::uint32_t port = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    port = port * 10 + static_cast<std::uint32_t>(c - '0');
  }
  if (port > 65535) return std::nullopt;
  return port;
}

// "name[:port]", the name an IPv6 address in brackets: the name and the port text (empty: none),
// or nullopt when the text is not of that shape.
struct Authority {
  std::string_view name;
  std::string_view port;
};
std::optional<Authority> splitAuthority(std::string_view text) {
  std::size_t name_end = text.starts_with('[') ? text.find(']') + 1 : text.find(':');
  if (name_end == 0 || name_end > text.size()) name_end = text.size();  // no ']' found, or no ':'
  Authority a{text.substr(0, name_end), text.substr(name_end)};
  if (a.name.empty() || (text.starts_with('[') && !a.name.ends_with(']'))) return std::nullopt;
  if (!a.port.empty()) {
    if (a.port.front() != ':' || !portOf(a.port.substr(1))) return std::nullopt;
    a.port.remove_prefix(1);
  }
  return a;
}

bool hostAllowed(const AccessRules& rules, std::string_view host) {
  std::optional<Authority> a = splitAuthority(host);
  if (!a) return false;
  if (!a->port.empty() && *portOf(a->port) != rules.port) return false;
  return isLoopbackName(a->name) || std::any_of(rules.extra_hosts.begin(), rules.extra_hosts.end(),
                                                [&](const std::string& h) { return http::sameWithoutCase(a->name, h); });
}

bool originAllowed(const AccessRules& rules, std::string_view origin) {
  for (std::string_view scheme : {"http://", "https://"}) {
    if (origin.size() < scheme.size() || !http::sameWithoutCase(origin.substr(0, scheme.size()), scheme)) continue;
    std::optional<Authority> a = splitAuthority(origin.substr(scheme.size()));
    if (!a) return false;
    if (scheme == "http://" && isLoopbackName(a->name)) return true;
    // As the command line keeps them: lower case, without the scheme's default port.
    std::string normal(scheme);
    for (char c : a->name) normal += http::lowerAscii(c);
    if (!a->port.empty() && a->port != (scheme == "http://" ? "80" : "443")) normal.append(":").append(a->port);
    return std::find(rules.extra_origins.begin(), rules.extra_origins.end(), normal) != rules.extra_origins.end();
  }
  return false;  // `null`, and every other scheme
}

bool tokenGiven(const AccessRules& rules, std::optional<std::string_view> authorization) {
  if (!authorization) return false;
  constexpr std::string_view scheme = "bearer";
  std::string_view value = *authorization;
  if (value.size() <= scheme.size() || !http::sameWithoutCase(value.substr(0, scheme.size()), scheme)) return false;
  value.remove_prefix(scheme.size());
  if (value.front() != ' ') return false;
  value.remove_prefix(std::min(value.find_first_not_of(' '), value.size()));
  return sameSecret(value, rules.token);
}

}  // namespace

Access checkAccess(const AccessRules& rules, std::string_view host, std::optional<std::string_view> origin,
                   std::optional<std::string_view> authorization) {
  if (!hostAllowed(rules, host)) return Access::BadHost;
  if (origin && !originAllowed(rules, *origin)) return Access::BadOrigin;
  if (!rules.token.empty() && !tokenGiven(rules, authorization)) return Access::Unauthorized;
  return Access::Allowed;
}

bool sameSecret(std::string_view given, std::string_view secret) {
  // Every byte of the secret is looked at, whatever the given text: only the secret's length shows.
  std::size_t differ = given.size() ^ secret.size();
  for (std::size_t i = 0; i < secret.size(); ++i) {
    const unsigned char g = i < given.size() ? static_cast<unsigned char>(given[i]) : 0;
    differ |= g ^ static_cast<unsigned char>(secret[i]);
  }
  return differ == 0;
}

std::string newSessionId() {
  std::array<std::byte, 16> bits{};
  if (!sys::secureRandom(bits)) return {};
  constexpr char digits[] = "0123456789abcdef";
  std::string id;
  id.reserve(2 * bits.size());
  for (std::byte b : bits) {
    id += digits[std::to_integer<unsigned>(b) >> 4];
    id += digits[std::to_integer<unsigned>(b) & 15];
  }
  return id;
}
