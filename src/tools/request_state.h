#pragma once
// The requestState of an input_required result (MCP 2026-07-28, basic/patterns/mrtr): the text a
// client must echo on its retry, which lets that retry go on without the server keeping anything.
// The client holds it, so it is attacker-controlled input: it is protected by HMAC-SHA-256 under a
// key of this process, and is only good for the request it was issued for, until its expiry.
//
// The key is 32 bytes from the system's secure source, taken on the first use that finds none; a
// source that fails leaves none, so that state is issued and none verifies, and the next use tries
// again. It lives for the process: a state outlives neither the process nor a restart. The loop's
// thread alone makes and verifies states.
//
// The text is base64url without padding (only A-Z a-z 0-9 - _, safe in JSON unescaped) of
//   0x01                        the format
//   expiry                      8 bytes, big-endian two's complement: nanoseconds since the
//                               steady clock's epoch, the loop's clock (a process's own)
//   len(method) method          the request's method, length in 1 byte
//   len(tool) tool              the tool's name, length in 1 byte
//   HMAC-SHA-256(key, all of the above followed by the binding)     32 bytes
// The binding is what the caller says makes this request the one it is (for a tool call, the
// compact text of its arguments): it is in the MAC, not in the text. A state verifies only when its
// text is exactly the one this process would write for that method, tool, binding and expiry, and
// the loop's clock has not reached the expiry.

#include <chrono>
#include <memory_resource>
#include <string_view>

// How long a state is good for, from when it is issued.
inline constexpr std::chrono::minutes request_state_lifetime{10};

// A new state for `method`, `tool` and `binding`, good until `expiry`, in `a`. Empty when there
// is no key (the secure source failed: the caller answers with an internal error) or when the
// method or the tool is longer than 255 bytes. Throws std::bad_alloc.
std::string_view makeRequestState(std::pmr::memory_resource& a, std::string_view method, std::string_view tool,
                                  std::string_view binding, std::chrono::steady_clock::time_point expiry);

// Whether `text` is a state this process made for `method`, `tool` and `binding`, and `now` is
// before its expiry. Compares in a time that does not show where a forged state goes wrong.
// Allocates nothing.
bool verifyRequestState(std::string_view text, std::string_view method, std::string_view tool,
                        std::string_view binding, std::chrono::steady_clock::time_point now) noexcept;
