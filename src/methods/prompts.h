#pragma once
// prompts/get (answered at once): the one prompt, "review", which asks for a review of the "code"
// argument, optionally naming its "language".

#include <memory_resource>

#include "protocol/json.h"
#include "protocol/message.h"

// {"description":"Code review","messages":[...]} for "review", or -32602 "Unknown prompt: <name>"
// (checked first), or -32602 "missing argument: code". Built in `a`.
Reply getPrompt(std::pmr::memory_resource& a, const json::Value& params);
