#pragma once
// The image tool's picture: a 32×32 truecolour PNG in which one channel rises from 60 to 246, left to
// right, over a grey of 40. Nothing is compressed: the scanlines travel in stored deflate blocks, so
// the bytes for a channel never vary. Also the two checksums those formats need. Nothing here keeps
// state. Results live in the caller's
// arena; running out of memory throws std::bad_alloc before anything is returned.

#include <cstdint>
#include <memory_resource>
#include <string>
#include <string_view>

// The CRC-32 of PNG chunks (reflected polynomial 0xEDB88320, all-ones start, final complement).
// Continue over more bytes by passing the previous result: crc32(b, crc32(a)) == crc32(a + b).
std::uint32_t crc32(std::string_view bytes, std::uint32_t crc = 0);

// The Adler-32 of RFC 1950, continued the same way from the previous result.
std::uint32_t adler32(std::string_view bytes, std::uint32_t adler = 1);

// `data` as a zlib stream (RFC 1950) of stored deflate blocks (RFC 1951) of at most 65535 bytes
// each; empty data is one empty final block. The stream lives in `a`.
std::string_view zlibStored(std::pmr::memory_resource& a, std::string_view data);

// Appends one PNG chunk: big-endian data length, `kind`, `data`, CRC-32 of kind and data. `png` is
// unchanged when memory runs out. REQUIRES: `kind` is 4 ASCII letters; `data` is under 2 GiB.
void appendChunk(std::pmr::string& png, std::string_view kind, std::string_view data);

// How many bytes the gradient picture takes, whatever its channel.
inline constexpr std::size_t gradient_png_size = 3172;

// The gradient picture for `channel` (0 red, 1 green, 2 blue), in `a`.
// REQUIRES: 0 <= channel <= 2 (any other value gives a flat grey picture).
std::string_view gradientPng(std::pmr::memory_resource& a, int channel);
