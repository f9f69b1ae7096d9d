#include "protocol/sha256.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace {

// The first 32 bits of the fractional parts of the cube roots of the first 64 primes.
constexpr std::uint32_t round_constants[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

// The first 32 bits of the fractional parts of the square roots of the first 8 primes.
constexpr std::array<std::uint32_t, 8> initial_state = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                                        0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

std::uint32_t load32(const unsigned char* p) {
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

}  // namespace

Sha256::Sha256() noexcept : state_(initial_state), pending_{} {}

void Sha256::compress(const unsigned char* block) noexcept {
  std::uint32_t w[64];
  for (std::size_t t = 0; t < 16; ++t) w[t] = load32(block + 4 * t);
  for (int t = 16; t < 64; ++t) {
    const std::uint32_t s0 = std::rotr(w[t - 15], 7) ^ std::rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
    const std::uint32_t s1 = std::rotr(w[t - 2], 17) ^ std::rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
    w[t] = w[t - 16] + s0 + w[t - 7] + s1;
  }
  std::uint32_t a = state_[0], b = state_[1], c = state_[2], d = state_[3];
  std::uint32_t e = state_[4], f = state_[5], g = state_[6], h = state_[7];
  for (int t = 0; t < 64; ++t) {
    const std::uint32_t sum1 = std::rotr(e, 6) ^ std::rotr(e, 11) ^ std::rotr(e, 25);
    const std::uint32_t choice = (e & f) ^ (~e & g);
    const std::uint32_t t1 = h + sum1 + choice + round_constants[t] + w[t];
    const std::uint32_t sum0 = std::rotr(a, 2) ^ std::rotr(a, 13) ^ std::rotr(a, 22);
    const std::uint32_t majority = (a & b) ^ (a & c) ^ (b & c);
    h = g;
    g = f;
    f = e;
    e = d + t1;
    d = c;
    c = b;
    b = a;
    a = t1 + sum0 + majority;
  }
  const std::uint32_t worked[8] = {a, b, c, d, e, f, g, h};
  for (int i = 0; i < 8; ++i) state_[i] += worked[i];
}

void Sha256::update(std::string_view bytes) noexcept {
  if (bytes.empty()) return;  // its data may be null, which memcpy may not be given
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t left = bytes.size();
  std::size_t held = length_ % sha256_block_size;
  length_ += left;
  if (held != 0) {  // complete the block begun by an earlier piece first
    const std::size_t take = std::min(left, sha256_block_size - held);
    std::memcpy(pending_.data() + held, p, take);
    p += take, left -= take, held += take;
    if (held < sha256_block_size) return;
    compress(pending_.data());
  }
  for (; left >= sha256_block_size; p += sha256_block_size, left -= sha256_block_size) compress(p);
  if (left != 0) std::memcpy(pending_.data(), p, left);
}

Sha256Digest Sha256::final() noexcept {
  // Padding: one 1 bit, zeros up to 8 bytes short of a block's end, then the length in bits, big-endian.
  const std::uint64_t bits = length_ * 8;
  std::size_t held = length_ % sha256_block_size;
  pending_[held++] = 0x80;
  if (held > sha256_block_size - 8) {
    std::fill(pending_.begin() + static_cast<std::ptrdiff_t>(held), pending_.end(), 0);
    compress(pending_.data());
    held = 0;
  }
  std::fill(pending_.begin() + static_cast<std::ptrdiff_t>(held), pending_.end() - 8, 0);
  for (int i = 0; i < 8; ++i) pending_[sha256_block_size - 1 - i] = static_cast<unsigned char>(bits >> 8 * i);
  compress(pending_.data());
  Sha256Digest digest;
  for (std::size_t i = 0; i < 8; ++i) {
    for (std::size_t k = 0; k < 4; ++k) digest[4 * i + k] = static_cast<unsigned char>(state_[i] >> (24 - 8 * k));
  }
  return digest;
}

HmacSha256::HmacSha256(std::string_view key) noexcept {
  std::array<unsigned char, sha256_block_size> block{};  // the key, zero-padded to a block
  if (key.size() > sha256_block_size) {
    const Sha256Digest hashed = sha256(key);  // a long key is its digest
    std::memcpy(block.data(), hashed.data(), hashed.size());
  } else if (!key.empty()) {
    std::memcpy(block.data(), key.data(), key.size());
  }
  std::array<unsigned char, sha256_block_size> pad;
  for (std::size_t i = 0; i < pad.size(); ++i) pad[i] = block[i] ^ 0x36;
  inner_.update({reinterpret_cast<const char*>(pad.data()), pad.size()});
  for (std::size_t i = 0; i < pad.size(); ++i) pad[i] = block[i] ^ 0x5c;
  outer_.update({reinterpret_cast<const char*>(pad.data()), pad.size()});
}

Sha256Digest HmacSha256::final() noexcept {
  const Sha256Digest inner = inner_.final();
  outer_.update(bytesOf(inner));
  return outer_.final();
}

Sha256Digest sha256(std::string_view bytes) noexcept {
  Sha256 h;
  h.update(bytes);
  return h.final();
}

Sha256Digest hmacSha256(std::string_view key, std::string_view message) noexcept {
  HmacSha256 mac(key);
  mac.update(message);
  return mac.final();
}

bool sameBytes(std::string_view given, std::string_view expected) noexcept {
  if (given.size() != expected.size()) return false;
  // Every byte is looked at and the differences gathered, so nothing stops at the first one.
  unsigned char differ = 0;
  for (std::size_t i = 0; i < given.size(); ++i) {
    differ |= static_cast<unsigned char>(given[i] ^ expected[i]);
  }
  return differ == 0;
}
