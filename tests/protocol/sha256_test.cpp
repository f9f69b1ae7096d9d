#include "protocol/sha256.h"

#include <gtest/gtest.h>

#include <string>

using namespace std::string_literals;

namespace {

std::string hex(std::string_view bytes) {
  constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (char b : bytes) {
    out += digits[static_cast<unsigned char>(b) >> 4];
    out += digits[static_cast<unsigned char>(b) & 15];
  }
  return out;
}

const std::string two_blocks = "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq";  // 448 bits

TEST(Sha256, Vectors) {
  // FIPS 180-4's examples (the 448-bit message leaves no room for the length: a second block), and
  // the empty message.
  struct Case { std::string message; const char* digest; } cases[] = {
      {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
      {two_blocks, "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
      {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
      {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message.substr(0, 10));
    EXPECT_EQ(hex(bytesOf(sha256(c.message))), c.digest);
  }
}

TEST(Sha256, PiecesGiveTheSameDigest) {
  // Split at every point, across and at block ends; the million is fed in pieces of 1 to 199 bytes.
  const std::string whole = two_blocks + two_blocks + "abc";
  const std::string expected = hex(bytesOf(sha256(whole)));
  for (std::size_t at = 0; at <= whole.size(); ++at) {
    SCOPED_TRACE(at);
    Sha256 h;
    h.update(std::string_view(whole).substr(0, at));
    h.update("");
    h.update(std::string_view(whole).substr(at));
    EXPECT_EQ(hex(bytesOf(h.final())), expected);
  }
  const std::string million(1000000, 'a');
  Sha256 h;
  for (std::size_t at = 0, piece = 1; at < million.size(); at += piece, piece = piece % 199 + 1) {
    h.update(std::string_view(million).substr(at, piece));
  }
  EXPECT_EQ(hex(bytesOf(h.final())), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

TEST(HmacSha256, Rfc4231) {
  // Test cases 1 to 7; case 5 compares the first 128 bits only; 6 and 7 have a key longer than a block.
  const std::string key_aa(131, '\xaa');
  struct Case { std::string key, data; const char* mac; } cases[] = {
      {std::string(20, '\x0b'), "Hi There", "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"},
      {"Jefe", "what do ya want for nothing?", "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843"},
      {std::string(20, '\xaa'), std::string(50, '\xdd'),
       "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe"},
      {"\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0a\x0b\x0c\x0d\x0e\x0f\x10\x11\x12\x13\x14\x15\x16\x17\x18\x19"s,
       std::string(50, '\xcd'), "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b"},
      {std::string(20, '\x0c'), "Test With Truncation", "a3b6167473100ee06e0c796c2955552b"},
      {key_aa, "Test Using Larger Than Block-Size Key - Hash Key First",
       "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54"},
      {key_aa,
       "This is a test using a larger than block-size key and a larger than block-size data. The key needs to "
       "be hashed before being used by the HMAC algorithm.",
       "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data.substr(0, 20));
    const std::string expected = c.mac;
    EXPECT_EQ(hex(bytesOf(hmacSha256(c.key, c.data))).substr(0, expected.size()), expected);
    // A keyed object copied before use serves any number of messages, fed in pieces.
    const HmacSha256 keyed(c.key);
    for (std::size_t at : {std::size_t{0}, c.data.size() / 2}) {
      HmacSha256 mac = keyed;
      mac.update(std::string_view(c.data).substr(0, at));
      mac.update(std::string_view(c.data).substr(at));
      EXPECT_EQ(hex(bytesOf(mac.final())).substr(0, expected.size()), expected);
    }
  }
}

TEST(SameBytes, Cases) {
  struct Case { std::string given, expected; bool same; } cases[] = {
      {"", "", true}, {"abc", "abc", true}, {"abd", "abc", false}, {"xbc", "abc", false},
      {"ab", "abc", false}, {"abcd", "abc", false}, {"a\0c"s, "abc", false}, {"a\0c"s, "a\0c"s, true}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    EXPECT_EQ(sameBytes(c.given, c.expected), c.same);
  }
}

}  // namespace
