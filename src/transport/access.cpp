#include "transport/access.h"

#include <algorithm>
#include <array>
#include <cstddef>

#include "runtime/platform.h"
#include "transport/authority.h"

namespace {

bool hostAllowed(const AccessRules& rules, std::string_view authority) {
  Expected<http::Authority, http::AuthorityError> a = http::parseAuthority(authority);
  if (!a) return false;
  if (!a->port.empty() && a->port_number != rules.port) return false;
  return http::isLoopbackName(a->host) ||
         std::any_of(rules.extra_hosts.begin(), rules.extra_hosts.end(),
                     [&](const std::string& h) { return http::sameWithoutCase(a->host, h); });
}

// `null`, and every scheme but http and https, are refused; so is a loopback origin over https,
// unless the command line added it.
bool originAllowed(const AccessRules& rules, std::string_view origin) {
  Expected<http::Origin, http::OriginError> o = http::parseOrigin(origin);
  if (!o) return false;
  if (!o->https && http::isLoopbackName(o->authority.host)) return true;
  const std::string normal = http::normalOrigin(*o);
  return std::find(rules.extra_origins.begin(), rules.extra_origins.end(), normal) != rules.extra_origins.end();
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

Access checkAccess(const AccessRules& rules, const http::RequestHead& head) {
  if (!hostAllowed(rules, head.authority)) return Access::BadHost;
  if (head.origin && !originAllowed(rules, *head.origin)) return Access::BadOrigin;
  if (!rules.token.empty() && !tokenGiven(rules, head.authorization)) return Access::Unauthorized;
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
