#pragma once
// Every request but tools/call and subscriptions/listen, answered at once: the handshake, ping,
// logging/setLevel, server/discover, and the listings, resources and prompts. Keeps no state
// between requests. The era decides what is there: a modern request has server/discover and no
// initialize, ping or logging/setLevel, and an unknown resource is -32602 for it.

#include <memory_resource>
#include <string_view>

#include "protocol/era.h"
#include "protocol/json.h"
#include "protocol/message.h"
#include "methods/catalogue.h"

// Answers `method` with `params` (an object), in `era`. Texts are built in `a`. An error Reply is an
// answer, not a failure; the only failure is std::bad_alloc.
Reply dispatch(const Catalogue& c, std::pmr::memory_resource& a, std::string_view method, const json::Value& params,
               const Era& era);
