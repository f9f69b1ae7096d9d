#pragma once
// Standard base64 (RFC 4648, section 4): the alphabet A-Z a-z 0-9 + /, "=" padding, no line
// breaks. Used for the image tool's PNG, which travels inside a JSON string as is.

#include <memory_resource>
#include <string>
#include <string_view>

// How many characters the base64 text of `bytes` bytes takes, padding included.
constexpr std::size_t base64Size(std::size_t bytes) { return (bytes + 2) / 3 * 4; }

// Appends the base64 text of `bytes` to `out`, which is unchanged when memory runs out.
void appendBase64(std::pmr::string& out, std::string_view bytes);

// The URL-safe form (RFC 4648, section 5) without padding: - and _ in place of + and /, and no
// "=". Its text needs no escaping in JSON, nor in a URL. `out` is unchanged when memory runs out.
void appendBase64Url(std::pmr::string& out, std::string_view bytes);

// Appends the bytes that the unpadded URL-safe `text` stands for. False, with `out` unchanged, for
// any text appendBase64Url would not have written: a character outside the alphabet, "=", a length
// that leaves 1 character over, or bits set past the last byte.
bool appendBase64UrlDecoded(std::pmr::string& out, std::string_view text);

// Appends the bytes that the standard, padded `text` stands for. False, with `out` unchanged, for
// any text appendBase64 would not have written.
bool appendBase64Decoded(std::pmr::string& out, std::string_view text);
