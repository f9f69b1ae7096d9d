#pragma once
// The eight demo tools, each trying one protocol feature: echo and add (text results), image
// (image content), fail (isError), slow (long calls), notify (log and progress notifications),
// ask_client (a request to the client) and crash (the end of the process).

#include <span>

#include "tools/tool_call.h"

// The demo tools, each named as in the catalogue; bindTools puts them in catalogue order.
std::span<const Tool> demoTools();
