#pragma once
// SHA-256 (FIPS 180-4) and HMAC-SHA-256 (RFC 2104), for the integrity of what the server hands a
// client to bring back. Each comes as an object fed in pieces (constructed, update, final) and as
// a one-shot function. Everything lives in the object or on the stack: nothing allocates, nothing
// throws, nothing keeps state between objects.

#include <array>
#include <cstdint>
#include <string_view>

inline constexpr std::size_t sha256_size = 32;        // bytes in a digest
inline constexpr std::size_t sha256_block_size = 64;  // bytes the compression takes at once
using Sha256Digest = std::array<unsigned char, sha256_size>;

// The digest's bytes as a text, for feeding or comparing. The view lives as long as `d`.
inline std::string_view bytesOf(const Sha256Digest& d) {
  return {reinterpret_cast<const char*>(d.data()), d.size()};
}

// A message being hashed: construct, update with its pieces in order, then final once.
class Sha256 {
 public:
  Sha256() noexcept;
  void update(std::string_view bytes) noexcept;
  // The digest of everything given to update. REQUIRES: called once; the object is spent after.
  Sha256Digest final() noexcept;

 private:
  void compress(const unsigned char* block) noexcept;
  std::array<std::uint32_t, 8> state_;
  std::array<unsigned char, sha256_block_size> pending_;  // the first `length_ % 64` bytes are held
  std::uint64_t length_ = 0;                              // bytes so far
};

// A message being authenticated under `key`. Keys longer than a block are hashed first, as the
// standard says. The key's pads are hashed once, in the constructor: a copy taken before update is
// a fresh message under the same key, without the key being looked at again.
class HmacSha256 {
 public:
  explicit HmacSha256(std::string_view key) noexcept;
  void update(std::string_view bytes) noexcept { inner_.update(bytes); }
  // The MAC of everything given to update. REQUIRES: called once; the object is spent after.
  Sha256Digest final() noexcept;

 private:
  Sha256 inner_;  // has taken key ^ 0x36...
  Sha256 outer_;  // has taken key ^ 0x5c...
};

Sha256Digest sha256(std::string_view bytes) noexcept;
Sha256Digest hmacSha256(std::string_view key, std::string_view message) noexcept;

// Whether `given` equals `expected`, in a time that depends on their lengths alone, never on where
// they differ: for comparing a MAC someone sent with the one it should be.
bool sameBytes(std::string_view given, std::string_view expected) noexcept;
