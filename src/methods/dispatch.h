#pragma once
// Every request but tools/call, answered at once: the handshake, ping, logging/setLevel, and the
// listings, resources and prompts. Keeps no state between requests.

#include <memory_resource>
#include <string_view>

#include "protocol/json.h"
#include "protocol/message.h"
#include "methods/catalogue.h"

// Answers `method` with `params` (an object). Texts are built in `a`. An error Reply is an answer,
// not a failure; the only failure is std::bad_alloc.
Reply dispatch(const Catalogue& c, std::pmr::memory_resource& a, std::string_view method, const json::Value& params);
