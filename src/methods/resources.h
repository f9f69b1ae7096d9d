#pragma once
// resources/read (answered at once): the readme and the notes. Notes are not stored anywhere: their
// text is made from the name in the URI.

#include <memory_resource>
#include <string_view>

#include "protocol/message.h"

inline constexpr std::string_view readme_uri = "demo://readme";
inline constexpr std::string_view notes_prefix = "demo://notes/";

// {"contents":[{"uri":<uri>,"mimeType":"<mime>","text":<text>}]} for the readme or a note, or
// -32002 "Resource not found: <uri>". `uri` is compared and echoed exactly as sent. Built in `a`.
Reply readResource(std::pmr::memory_resource& a, std::string_view uri);
