#pragma once
// The eight demo tools, each trying one protocol feature: echo and add (text results), image
// (image content), fail (isError), slow (long calls), notify (log and progress notifications),
// ask_client (a request to the client) and crash (the end of the process).

#include <memory_resource>
#include <string_view>

#include "protocol/json.h"
#include "protocol/message.h"
#include "protocol/server.h"

// Runs tool `name` with `args` (an object) and returns its reply, built in `a`. `progress_token` is
// null when the call had none. Argument problems are the whole answer: -32602 before anything is
// sent. REQUIRES: `name` is in the catalogue; runs on the call's thread. Throws std::bad_alloc.
Reply callTool(Server& s, std::pmr::memory_resource& a, std::string_view name, const json::Value& args,
               const json::Value* progress_token);
