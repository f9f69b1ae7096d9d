#include "tools/base64.h"

#include <cstdint>

namespace {

constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

std::uint32_t byteAt(std::string_view bytes, std::size_t i) {
  return static_cast<unsigned char>(bytes[i]);
}

}  // namespace

void appendBase64(std::pmr::string& out, std::string_view bytes) {
  std::size_t start = out.size();
  out.resize(start + (bytes.size() + 2) / 3 * 4);
  char* p = out.data() + start;
  std::size_t i = 0;
  for (; bytes.size() - i >= 3; i += 3) {
    std::uint32_t group = byteAt(bytes, i) << 16 | byteAt(bytes, i + 1) << 8 | byteAt(bytes, i + 2);
    p[0] = alphabet[group >> 18];
    p[1] = alphabet[group >> 12 & 63];
    p[2] = alphabet[group >> 6 & 63];
    p[3] = alphabet[group & 63];
    p += 4;
  }
  std::size_t left = bytes.size() - i;
  if (left == 0) return;
  // The missing bytes count as zero bits; each one costs a character, which becomes "=".
  std::uint32_t group = byteAt(bytes, i) << 16 | (left == 2 ? byteAt(bytes, i + 1) << 8 : 0);
  p[0] = alphabet[group >> 18];
  p[1] = alphabet[group >> 12 & 63];
  p[2] = left == 2 ? alphabet[group >> 6 & 63] : '=';
  p[3] = '=';
}

void appendBase64Url(std::pmr::string& out, std::string_view bytes) {
  const std::size_t start = out.size();
  appendBase64(out, bytes);
  for (std::size_t i = start; i < out.size(); ++i) {
    if (out[i] == '+') out[i] = '-';
    else if (out[i] == '/') out[i] = '_';
  }
  while (out.size() > start && out.back() == '=') out.pop_back();
}

namespace {

// The value of a URL-safe base64 character, or 64 for any other.
unsigned urlValue(char c) {
  if (c >= 'A' && c <= 'Z') return static_cast<unsigned>(c - 'A');
  if (c >= 'a' && c <= 'z') return static_cast<unsigned>(c - 'a') + 26;
  if (c >= '0' && c <= '9') return static_cast<unsigned>(c - '0') + 52;
  if (c == '-') return 62;
  if (c == '_') return 63;
  return 64;
}

}  // namespace

bool appendBase64UrlDecoded(std::pmr::string& out, std::string_view text) {
  if (text.size() % 4 == 1) return false;
  const std::size_t start = out.size();
  out.resize(start + text.size() * 3 / 4);
  char* p = out.data() + start;
  std::uint32_t bits = 0;  // the last `held` bits not yet written
  unsigned held = 0;
  for (char c : text) {
    const unsigned v = urlValue(c);
    if (v == 64) {
      out.resize(start);
      return false;
    }
    bits = (bits << 6 | v) & 0xFFFFFF;
    held += 6;
    if (held >= 8) {
      held -= 8;
      *p++ = static_cast<char>(bits >> held & 0xFF);
    }
  }
  // What is left over is 0, 2 or 4 bits, which must be zero.
  if ((bits & ((1u << held) - 1)) != 0) {
    out.resize(start);
    return false;
  }
  return true;
}

bool appendBase64Decoded(std::pmr::string& out, std::string_view text) {
  if (text.size() % 4 != 0) return false;
  std::size_t padding = 0;
  while (padding < 2 && padding < text.size() && text[text.size() - 1 - padding] == '=') ++padding;
  text.remove_suffix(padding);
  // The same text in the URL-safe alphabet, which its decoder then reads.
  std::pmr::string url(out.get_allocator());
  url.reserve(text.size());
  for (char c : text) {
    if (c == '-' || c == '_') return false;
    url += c == '+' ? '-' : c == '/' ? '_' : c;
  }
  return appendBase64UrlDecoded(out, url);
}
