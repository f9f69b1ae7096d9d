#include "tools/request_state.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <type_traits>

#include "protocol/json.h"
#include "protocol/sha256.h"
#include "runtime/platform.h"
#include "tools/base64.h"

namespace {

using Time = std::chrono::steady_clock::time_point;
using Ticks = Time::duration::rep;
static_assert(std::is_integral_v<Ticks> && sizeof(Ticks) == 8, "the expiry travels as 8 bytes");

constexpr char format = '\x01';
constexpr std::size_t longest_name = 255;
constexpr std::size_t head_chars = 12;  // the format and the expiry: 9 bytes, 12 characters exactly
// The bytes of a state before base64url, at the most: format, expiry, two names and their lengths, MAC.
constexpr std::size_t most_bytes = 1 + 8 + 1 + longest_name + 1 + longest_name + sha256_size;

// The key, its pads hashed once; none while the secure source has given none. The loop's thread only.
const HmacSha256* processKey() noexcept {
  static std::optional<HmacSha256> keyed;
  if (!keyed) {
    std::array<std::byte, 32> key{};
    if (sys::secureRandom(key)) keyed.emplace(std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
  }
  return keyed ? &*keyed : nullptr;
}

// How many characters the state for names of these lengths takes: base64url of that many bytes, unpadded.
constexpr std::size_t stateChars(std::size_t method, std::size_t tool) {
  const std::size_t bytes = 1 + 8 + 1 + method + 1 + tool + sha256_size;
  return (4 * bytes + 2) / 3;
}

// Appends the state's text to `out`. REQUIRES: both names at most 255 bytes.
void appendState(std::pmr::string& out, const HmacSha256& key, std::string_view method, std::string_view tool,
                 std::string_view binding, Time expiry) {
  std::array<char, most_bytes> bytes;
  std::size_t n = 0;
  bytes[n++] = format;
  const auto ticks = static_cast<std::uint64_t>(expiry.time_since_epoch().count());
  for (int shift = 56; shift >= 0; shift -= 8) bytes[n++] = static_cast<char>(ticks >> shift);
  for (std::string_view name : {method, tool}) {
    bytes[n++] = static_cast<char>(name.size());
    name.copy(bytes.data() + n, name.size());
    n += name.size();
  }
  HmacSha256 mac = key;
  mac.update({bytes.data(), n});
  mac.update(binding);
  const Sha256Digest digest = mac.final();
  bytesOf(digest).copy(bytes.data() + n, digest.size());
  n += digest.size();
  appendBase64Url(out, {bytes.data(), n});
}

}  // namespace

std::string_view makeRequestState(std::pmr::memory_resource& a, std::string_view method, std::string_view tool,
                                  std::string_view binding, Time expiry) {
  const HmacSha256* key = processKey();
  if (key == nullptr || method.size() > longest_name || tool.size() > longest_name) return {};
  json::Text& text = json::newText(a);
  text.reserve(stateChars(method.size(), tool.size()) + 2);  // base64 writes its padding, then drops it
  appendState(text, *key, method, tool, binding, expiry);
  return text;
}

bool verifyRequestState(std::string_view text, std::string_view method, std::string_view tool,
                        std::string_view binding, Time now) noexcept {
  const HmacSha256* key = processKey();
  if (key == nullptr || method.size() > longest_name || tool.size() > longest_name) return false;
  if (text.size() != stateChars(method.size(), tool.size())) return false;  // empty, cut short, or grown
  // Read the expiry the text claims, then write the state this process would have issued with it and
  // compare the whole: a wrong MAC, name, binding or format byte, or a character written otherwise
  // than base64url would write it, all fail the same comparison.
  std::array<std::byte, 2 * most_bytes> room;  // what the comparison's two texts take, with room over
  std::pmr::monotonic_buffer_resource memory(room.data(), room.size(), std::pmr::null_memory_resource());
  std::pmr::string head(&memory);
  head.reserve(head_chars);
  if (!appendBase64UrlDecoded(head, text.substr(0, head_chars)) || head[0] != format) return false;
  std::uint64_t ticks = 0;
  for (std::size_t i = 1; i <= 8; ++i) ticks = ticks << 8 | static_cast<unsigned char>(head[i]);
  const Time expiry{Time::duration(static_cast<Ticks>(ticks))};
  std::pmr::string expected(&memory);
  expected.reserve(text.size() + 2);
  appendState(expected, *key, method, tool, binding, expiry);
  return sameBytes(text, expected) && now < expiry;
}
