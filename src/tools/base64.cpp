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
