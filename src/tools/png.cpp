#include "tools/png.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstddef>
#include <cstring>

namespace {

// Eight tables let crc32 take eight bytes per step: crc_tables[k][b] is the CRC register after byte
// b followed by k zero bytes, so the eight lookups of a step can run side by side.
constexpr std::array<std::array<std::uint32_t, 256>, 8> crc_tables = [] {
  std::array<std::array<std::uint32_t, 256>, 8> tables{};
  for (std::uint32_t n = 0; n < 256; ++n) {
    std::uint32_t c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    tables[0][n] = c;
  }
  for (std::size_t k = 1; k < 8; ++k) {
    for (std::size_t n = 0; n < 256; ++n) {
      std::uint32_t c = tables[k - 1][n];
      tables[k][n] = tables[0][c & 0xFF] ^ (c >> 8);
    }
  }
  return tables;
}();

std::uint32_t littleEndian32(const unsigned char* p) {
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 | std::uint32_t{p[3]} << 24;
}

constexpr std::size_t max_stored_block = 65535;  // LEN is 16 bits

constexpr std::size_t zlibStoredSize(std::size_t n) {
  std::size_t blocks = n == 0 ? 1 : (n + max_stored_block - 1) / max_stored_block;
  return 2 + 5 * blocks + n + 4;
}

char* putU32(char* p, std::uint32_t v) {
  p[0] = static_cast<char>(v >> 24);
  p[1] = static_cast<char>(v >> 16);
  p[2] = static_cast<char>(v >> 8);
  p[3] = static_cast<char>(v);
  return p + 4;
}

char* putBytes(char* p, std::string_view bytes) {
  return std::copy(bytes.begin(), bytes.end(), p);
}

// Writes zlibStoredSize(data.size()) bytes.
char* writeZlibStored(char* p, std::string_view data) {
  // CMF 0x78: deflate with a 32 KiB window; FLG 0x01: no dictionary, and 0x7801 is a multiple of 31.
  *p++ = 0x78;
  *p++ = 0x01;
  std::string_view rest = data;
  do {
    std::size_t len = std::min(rest.size(), max_stored_block);
    bool final = len == rest.size();
    *p++ = final ? 0x01 : 0x00;  // BFINAL in bit 0, BTYPE 00 (stored)
    p[0] = static_cast<char>(len);  // LEN and NLEN are little-endian, unlike everything else here
    p[1] = static_cast<char>(len >> 8);
    p[2] = static_cast<char>(~len);
    p[3] = static_cast<char>(~len >> 8);
    p = putBytes(p + 4, rest.substr(0, len));
    rest.remove_prefix(len);
  } while (!rest.empty());
  return putU32(p, adler32(data));
}

// A chunk is written as beginChunk, `length` data bytes, endChunk(start, end of data): the data can
// then be produced in place, which is how the IDAT's zlib stream gets there without a copy.
char* beginChunk(char* p, std::string_view kind, std::size_t length) {
  assert(kind.size() == 4 && length < (std::size_t{1} << 31));
  return putBytes(putU32(p, static_cast<std::uint32_t>(length)), kind);
}

char* endChunk(char* chunk, char* end) {
  const char* kind = chunk + 4;  // the length field is not covered by the CRC
  return putU32(end, crc32({kind, static_cast<std::size_t>(end - kind)}));
}

constexpr int side = 32;
constexpr std::size_t scanline_size = 1 + 3 * side;  // filter-type byte, then RGB pixels
constexpr std::size_t raw_size = side * scanline_size;
constexpr std::string_view signature = "\x89PNG\r\n\x1a\n";
// Width 32, height 32, 8 bits per sample, colour type 2 (RGB), deflate, adaptive filters, no interlace.
constexpr std::string_view ihdr{"\0\0\0\x20\0\0\0\x20\x08\x02\0\0\0", 13};
constexpr std::size_t png_size = signature.size() + (12 + ihdr.size()) + (12 + zlibStoredSize(raw_size)) + 12;
static_assert(png_size == gradient_png_size);

// Every scanline is the same, so one is built and copied down the picture.
std::array<char, raw_size> gradientScanlines(int channel) {
  std::array<char, raw_size> raw;
  char* line = raw.data();
  line[0] = 0;  // filter type None
  for (int x = 0; x < side; ++x) {
    for (int c = 0; c < 3; ++c) line[1 + 3 * x + c] = static_cast<char>(c == channel ? 60 + 6 * x : 40);
  }
  for (std::size_t y = 1; y < side; ++y) std::memcpy(line + y * scanline_size, line, scanline_size);
  return raw;
}

}  // namespace

std::uint32_t crc32(std::string_view bytes, std::uint32_t crc) {
  const auto& t = crc_tables;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  std::size_t n = bytes.size();
  crc = ~crc;
  for (; n >= 8; p += 8, n -= 8) {
    std::uint32_t lo = crc ^ littleEndian32(p);
    std::uint32_t hi = littleEndian32(p + 4);
    crc = t[7][lo & 0xFF] ^ t[6][lo >> 8 & 0xFF] ^ t[5][lo >> 16 & 0xFF] ^ t[4][lo >> 24] ^ t[3][hi & 0xFF] ^
          t[2][hi >> 8 & 0xFF] ^ t[1][hi >> 16 & 0xFF] ^ t[0][hi >> 24];
  }
  for (; n > 0; ++p, --n) crc = t[0][(crc ^ *p) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

std::uint32_t adler32(std::string_view bytes, std::uint32_t adler) {
  constexpr std::uint32_t mod = 65521;
  // 5552 is the longest run after which s2 still fits in 32 bits when the sums are reduced only at the
  // end of the run: 255·n(n+1)/2 + (n+1)·65520 < 2^32.
  constexpr std::size_t run = 5552;
  std::uint32_t s1 = adler & 0xFFFF;
  std::uint32_t s2 = adler >> 16;
  while (!bytes.empty()) {
    std::size_t n = std::min(bytes.size(), run);
    for (std::size_t i = 0; i < n; ++i) {
      s1 += static_cast<unsigned char>(bytes[i]);
      s2 += s1;
    }
    s1 %= mod;
    s2 %= mod;
    bytes.remove_prefix(n);
  }
  return s2 << 16 | s1;
}

std::string_view zlibStored(std::pmr::memory_resource& a, std::string_view data) {
  std::size_t size = zlibStoredSize(data.size());
  char* out = static_cast<char*>(a.allocate(size, 1));
  writeZlibStored(out, data);
  return {out, size};
}

void appendChunk(std::pmr::string& png, std::string_view kind, std::string_view data) {
  std::size_t start = png.size();
  png.resize(start + 12 + data.size());
  char* chunk = png.data() + start;
  endChunk(chunk, putBytes(beginChunk(chunk, kind, data.size()), data));
}

std::string_view gradientPng(std::pmr::memory_resource& a, int channel) {
  std::array<char, raw_size> raw = gradientScanlines(channel);
  char* png = static_cast<char*>(a.allocate(png_size, 1));
  char* p = putBytes(png, signature);
  char* chunk = p;
  p = endChunk(chunk, putBytes(beginChunk(chunk, "IHDR", ihdr.size()), ihdr));
  chunk = p;
  p = endChunk(chunk, writeZlibStored(beginChunk(chunk, "IDAT", zlibStoredSize(raw_size)), {raw.data(), raw_size}));
  chunk = p;
  p = endChunk(chunk, beginChunk(chunk, "IEND", 0));
  assert(p == png + png_size);
  return {png, png_size};
}
