#include "tools/base64.h"

#include <gtest/gtest.h>

#include <memory_resource>

#include "tools/png.h"

using namespace std::string_literals;

namespace {

TEST(Base64, Vectors) {
  // RFC 4648 section 10, then every alphabet character in order, and the padding against the last two.
  struct Case { std::string bytes; const char* text; } cases[] = {
      {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="},
      {"foobar", "Zm9vYmFy"}, {"\0"s, "AA=="}, {"\xFB\xFF", "+/8="}, {"\xFF", "/w=="},
      {"\x00\x10\x83\x10\x51\x87\x20\x92\x8b\x30\xd3\x8f\x41\x14\x93\x51\x55\x97\x61\x96\x9b\x71\xd7\x9f"
       "\x82\x18\xa3\x92\x59\xa7\xa2\x9a\xab\xb2\xdb\xaf\xc3\x1c\xb3\xd3\x5d\xb7\xe3\x9e\xbb\xf3\xdf\xbf"s,
       "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::pmr::string out = "\"data\":\"";  // appends after what is already there
    appendBase64(out, c.bytes);
    EXPECT_EQ(std::string_view(out), "\"data\":\""s + c.text);
  }
}

TEST(Base64, GradientPng) {
  std::pmr::monotonic_buffer_resource arena;
  std::pmr::string out(&arena);
  appendBase64(out, gradientPng(arena, 0));
  EXPECT_EQ(out.size(), base64Size(gradient_png_size));
  EXPECT_EQ(out.substr(0, 12), "iVBORw0KGgoA");  // the signature
  EXPECT_EQ(out.substr(out.size() - 4), "gg==");  // 3172 = 3·1057 + 1: the last CRC byte 0x82 stands alone
}

TEST(Base64Url, RoundTrips) {
  // RFC 4648 section 10 without its padding, and the two characters that differ from the standard form.
  struct Case { std::string bytes; const char* text; } cases[] = {
      {"", ""}, {"f", "Zg"}, {"fo", "Zm8"}, {"foo", "Zm9v"}, {"foob", "Zm9vYg"}, {"fooba", "Zm9vYmE"},
      {"foobar", "Zm9vYmFy"}, {"\xFB\xFF", "-_8"}, {"\xFF\xFF\xFF", "____"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::pmr::string text = "x";
    appendBase64Url(text, c.bytes);
    EXPECT_EQ(std::string_view(text), "x"s + c.text);
    std::pmr::string bytes = "y";
    EXPECT_TRUE(appendBase64UrlDecoded(bytes, c.text));
    EXPECT_EQ(std::string_view(bytes), "y" + c.bytes);
  }
}

TEST(Base64Url, RejectsWhatItWouldNotWrite) {
  // Padding, the standard alphabet's + and /, a dangling character, stray bits past the last byte.
  for (const char* text : {"Zg==", "Zm8=", "+/8", "Zm9v/w", "Z", "Zm9vY", "Zh", "Zm9", "Zm\n9v", "Zm 9v"}) {
    SCOPED_TRACE(text);
    std::pmr::string bytes = "y";
    EXPECT_FALSE(appendBase64UrlDecoded(bytes, text));
    EXPECT_EQ(bytes, "y");
  }
}

TEST(Base64, OutOfMemoryLeavesTextUnchanged) {
  std::pmr::string out("x", std::pmr::null_memory_resource());
  EXPECT_THROW(appendBase64(out, std::string(100, 'a')), std::bad_alloc);
  EXPECT_EQ(out, "x");
}

}  // namespace
