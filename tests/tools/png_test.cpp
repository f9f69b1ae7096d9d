#include "tools/png.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <optional>
#include <string>

#if !defined(_WIN32)
#include <sys/wait.h>
#endif

using namespace std::literals;

namespace {

// The reference checksums follow the definitions bit by bit and byte by byte, so a wrong table or
// a late modulo in the code under test cannot hide behind itself.
std::uint32_t bitwiseCrc32(std::string_view bytes) {
  std::uint32_t crc = 0xFFFFFFFF;
  for (char b : bytes) {
    crc ^= static_cast<unsigned char>(b);
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ ((crc & 1) != 0 ? 0xEDB88320 : 0);
  }
  return ~crc;
}

std::uint32_t plainAdler32(std::string_view bytes) {
  std::uint32_t s1 = 1, s2 = 0;
  for (char b : bytes) {
    s1 = (s1 + static_cast<unsigned char>(b)) % 65521;
    s2 = (s2 + s1) % 65521;
  }
  return s2 << 16 | s1;
}

unsigned byteAt(std::string_view s, std::size_t i) { return static_cast<unsigned char>(s[i]); }
std::uint32_t be32(std::string_view s, std::size_t i) {
  return byteAt(s, i) << 24 | byteAt(s, i + 1) << 16 | byteAt(s, i + 2) << 8 | byteAt(s, i + 3);
}

std::string bigEndian(std::uint32_t v) {
  return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

std::nullopt_t fail(const char* why) {
  ADD_FAILURE() << why;
  return std::nullopt;
}

// Inflates a zlib stream that holds only stored blocks.
std::optional<std::string> inflateStored(std::string_view z) {
  if (z.size() < 2 || (byteAt(z, 0) & 0x0F) != 8 || (byteAt(z, 0) << 8 | byteAt(z, 1)) % 31 != 0) return fail("zlib header");
  std::string out;
  std::size_t at = 2;
  for (bool final = false; !final;) {
    if (at + 5 > z.size()) return fail("block header cut off");
    if ((byteAt(z, at) & 0x06) != 0) return fail("not a stored block");
    final = (byteAt(z, at) & 1) != 0;
    std::size_t len = byteAt(z, at + 1) | byteAt(z, at + 2) << 8;
    if ((byteAt(z, at + 3) | byteAt(z, at + 4) << 8) != (~len & 0xFFFF)) return fail("NLEN");
    if (at + 5 + len > z.size()) return fail("block data cut off");
    out.append(z.substr(at + 5, len));
    at += 5 + len;
  }
  if (at + 4 != z.size() || be32(z, at) != plainAdler32(out)) return fail("Adler-32 or trailing bytes");
  return out;
}

// Walks the chunks (checking each CRC) and returns the inflated IDAT data of a 32×32 RGB picture.
std::optional<std::string> decodeScanlines(std::string_view png) {
  if (png.substr(0, 8) != "\x89PNG\r\n\x1a\n") return fail("signature");
  std::string kinds, idat;
  for (std::size_t at = 8; at < png.size();) {
    if (at + 12 > png.size() || at + 12 + be32(png, at) > png.size()) return fail("chunk cut off");
    std::size_t len = be32(png, at);
    if (be32(png, at + 8 + len) != bitwiseCrc32(png.substr(at + 4, 4 + len))) return fail("chunk CRC");
    std::string_view kind = png.substr(at + 4, 4), data = png.substr(at + 8, len);
    kinds += kind;
    if (kind == "IHDR" && data != "\0\0\0\x20\0\0\0\x20\x08\x02\0\0\0"s) return fail("IHDR fields");
    if (kind == "IDAT") idat += data;
    at += 12 + len;
  }
  if (kinds != "IHDRIDATIEND") return fail("chunk order");
  return inflateStored(idat);
}

// Filter byte 0 and then, in column x, 60 + 6x in the chosen channel and 40 in the others.
std::string expectedScanlines(int channel) {
  std::string raw;
  for (int y = 0; y < 32; ++y) {
    raw += '\0';
    for (int x = 0; x < 32; ++x)
      for (int c = 0; c < 3; ++c) raw += static_cast<char>(c == channel ? 60 + 6 * x : 40);
  }
  return raw;
}

std::size_t firstDifference(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return std::min(a.size(), b.size());
  return static_cast<std::size_t>(std::mismatch(a.begin(), a.end(), b.begin()).first - a.begin());
}

std::string testBytes(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 131 + (i >> 9));
  return s;
}

const char* const colours[] = {"red", "green", "blue"};

TEST(Checksums, PublishedVectors) {
  struct Case { std::string_view bytes; std::uint32_t crc, adler; } cases[] = {
      {"", 0, 1},
      {"a", 0xE8B7BE43, 0x00620062},
      {"123456789", 0xCBF43926, 0x091E01DE},
      {"Wikipedia", 0xADAAC02E, 0x11E60398},
      {"IEND", 0xAE426082, 0x02D70121}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.bytes);
    EXPECT_EQ(crc32(c.bytes), c.crc);
    EXPECT_EQ(adler32(c.bytes), c.adler);
  }
}

TEST(Checksums, LongInputsAndChaining) {
  // 0xFF bytes drive Adler's sums hardest; runs of 5552 bytes are where a deferred modulo must happen.
  std::string ones(70000, '\xFF'), mixed = testBytes(70000);
  for (const std::string* data : {&ones, &mixed}) {
    for (std::size_t split : {0, 1, 5551, 5552, 5553, 11104, 65536, 70000}) {
      SCOPED_TRACE(split);
      std::string_view all = *data, head = all.substr(0, split), tail = all.substr(split);
      EXPECT_EQ(crc32(tail, crc32(head)), bitwiseCrc32(all));
      EXPECT_EQ(adler32(tail, adler32(head)), plainAdler32(all));
    }
  }
}

TEST(ZlibStored, DecodesBackInBlocksOfAtMost65535) {
  struct Case { std::size_t size, stream_size; } cases[] = {
      {0, 11}, {1, 12}, {3104, 3115}, {65535, 65546}, {65536, 65552}, {131070, 131086}, {131071, 131092}};
  std::pmr::monotonic_buffer_resource arena;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    std::string data = testBytes(c.size);
    std::string_view z = zlibStored(arena, data);
    EXPECT_EQ(z.size(), c.stream_size);
    EXPECT_EQ(inflateStored(z), data);
  }
  EXPECT_EQ(zlibStored(arena, ""), "\x78\x01\x01\x00\x00\xFF\xFF\x00\x00\x00\x01"s);
  EXPECT_EQ(zlibStored(arena, testBytes(3104)).substr(0, 7), "\x78\x01\x01\x20\x0C\xDF\xF3"s);
}

TEST(AppendChunk, LayoutAfterExistingBytes) {
  std::string text = testBytes(300);
  struct Case { std::string_view kind, data; std::string chunk; } cases[] = {
      {"IEND", "", "\0\0\0\0IEND\xAE\x42\x60\x82"s},
      {"IHDR", "\0\0\0\x20\0\0\0\x20\x08\x02\0\0\0"sv, "\0\0\0\x0DIHDR\0\0\0\x20\0\0\0\x20\x08\x02\0\0\0\xFC\x18\xED\xA3"s},
      {"tEXt", text, "\0\0\x01\x2CtEXt"s + text + bigEndian(bitwiseCrc32("tEXt" + text))}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    std::pmr::string png = "\x89PNG\r\n\x1a\n";
    appendChunk(png, c.kind, c.data);
    EXPECT_EQ(std::string_view(png), "\x89PNG\r\n\x1a\n" + c.chunk);
  }
}

TEST(GradientPng, FixedBytes) {
  const std::string head = "\x89PNG\r\n\x1a\n"s + "\0\0\0\x0DIHDR\0\0\0\x20\0\0\0\x20\x08\x02\0\0\0\xFC\x18\xED\xA3"s +
                           "\0\0\x0C\x2BIDAT\x78\x01\x01\x20\x0C\xDF\xF3"s;
  const std::string iend = "\0\0\0\0IEND\xAE\x42\x60\x82"s;
  std::pmr::monotonic_buffer_resource arena;
  for (int channel = 0; channel < 3; ++channel) {
    SCOPED_TRACE(colours[channel]);
    std::string_view png = gradientPng(arena, channel);
    ASSERT_EQ(png.size(), 3172u);
    EXPECT_EQ(png.substr(0, head.size()), head);
    EXPECT_EQ(png.substr(png.size() - iend.size()), iend);
  }
}

TEST(GradientPng, EveryPixel) {
  std::pmr::monotonic_buffer_resource arena;
  for (int channel = 0; channel < 3; ++channel) {
    SCOPED_TRACE(colours[channel]);
    std::optional<std::string> raw = decodeScanlines(gradientPng(arena, channel));
    ASSERT_TRUE(raw.has_value());
    EXPECT_EQ(firstDifference(*raw, expectedScanlines(channel)), 3104u) << "(the offset of the first wrong byte)";
  }
}

TEST(GradientPng, OutOfMemoryLeavesNothing) {
  std::pmr::memory_resource& none = *std::pmr::null_memory_resource();
  EXPECT_THROW(gradientPng(none, 0), std::bad_alloc);
  EXPECT_THROW(zlibStored(none, "abc"), std::bad_alloc);
  std::pmr::string png("\x89PNG", &none);
  EXPECT_THROW(appendChunk(png, "IDAT", testBytes(100)), std::bad_alloc);
  EXPECT_EQ(png, "\x89PNG");
}

// Python's zlib module as an independent decoder of the chunk CRCs and the IDAT streams.
TEST(GradientPng, PythonZlibAgrees) {
#if defined(_WIN32)
  GTEST_SKIP() << "runs python3 through a POSIX shell";
#else
  const std::string dir = testing::TempDir();
  std::ofstream(dir + "png_check.py") << R"(import struct, sys, zlib
for name in sys.argv[1:]:
    png = open(name, "rb").read()
    at, idat = 8, b""
    while at < len(png):
        n, kind = struct.unpack(">I4s", png[at:at + 8])
        if struct.unpack(">I", png[at + 8 + n:at + 12 + n])[0] != zlib.crc32(png[at + 4:at + 8 + n]):
            sys.exit("bad CRC in " + name)
        if kind == b"IDAT":
            idat += png[at + 8:at + 8 + n]
        at += 12 + n
    print(zlib.decompress(idat).hex())
)";
  std::pmr::monotonic_buffer_resource arena;
  std::string command = "python3 " + dir + "png_check.py", expected;
  for (int channel = 0; channel < 3; ++channel) {
    std::string name = dir + colours[channel] + ".png";
    std::ofstream(name, std::ios::binary) << gradientPng(arena, channel);
    command += " " + name;
    for (unsigned char b : expectedScanlines(channel)) expected += {"0123456789abcdef"[b >> 4], "0123456789abcdef"[b & 15]};
    expected += '\n';
  }
  FILE* python = popen((command + " 2>&1").c_str(), "r");
  ASSERT_NE(python, nullptr);
  std::string out;
  for (int ch; (ch = std::fgetc(python)) != EOF;) out += static_cast<char>(ch);
  int status = pclose(python);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 127) GTEST_SKIP() << "no python3";
  EXPECT_EQ(status, 0) << out;
  EXPECT_EQ(firstDifference(out, expected), expected.size()) << "(the offset of the first wrong hex digit)";
#endif
}

}  // namespace
