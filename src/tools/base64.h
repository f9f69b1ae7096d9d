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
