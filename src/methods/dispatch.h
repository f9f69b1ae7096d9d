#pragma once
// Every request but tools/call, answered synchronously on the main thread: the handshake, ping,
// logging/setLevel, and the listings, resources and prompts. Keeps no state between requests.

#include <memory_resource>
#include <string_view>

#include "protocol/json.h"
#include "protocol/message.h"
#include "methods/catalogue.h"

// The protocol versions this server speaks, preferred first. A client asking for any other version
// is offered the first.
inline constexpr std::string_view protocol_versions[] = {"2025-06-18", "2025-03-26", "2024-11-05"};

// Answers `method` with `params` (an object). Texts are built in `a`. An error Reply is an answer,
// not a failure; the only failure is std::bad_alloc.
Reply dispatch(const Catalogue& c, std::pmr::memory_resource& a, std::string_view method, const json::Value& params);

// The initialize result for the version the client asked for in `params`, built in `a`.
std::string_view initializeResult(std::pmr::memory_resource& a, const json::Value& params);
