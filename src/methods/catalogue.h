#pragma once
// The constant catalogues and their listings (main thread only). The tool catalogue is parsed once,
// into a Catalogue, and each page is written straight from it; the three small catalogues are parsed
// per request. Only parsed content reaches the wire, so the layout of the stored texts is free.

#include <memory_resource>
#include <string_view>

#include "protocol/json.h"
#include "protocol/message.h"
#include <span>

// The eight demo tools, in listing order, each with "name", "title", "description", "inputSchema".
extern const std::string_view tools_json;
extern const std::string_view resources_json;
extern const std::string_view templates_json;
extern const std::string_view prompts_json;

// The parsed tool catalogue: read-only after loadCatalogue, so any thread may read it.
struct Catalogue {
  explicit Catalogue(std::pmr::memory_resource& gpa) : arena(&gpa) {}
  std::pmr::monotonic_buffer_resource arena;    // owns everything below
  std::span<const json::Value> tools;           // in listing order
  std::span<const std::string_view> tool_texts;  // each tool written compactly once, for listing
};

// Parses tools_json into `c`. False when the constant is broken, which only a broken build can
// bring about. Throws std::bad_alloc.
bool loadCatalogue(Catalogue& c);

// The name of every tool, in listing order.
std::string_view toolName(const json::Value& tool);

// How many tools one tools/list page holds.
inline constexpr std::size_t tools_page_size = 3;

// tools/list: {"tools":<page>,"nextCursor":"<next>"}, or without "nextCursor" on the last page,
// starting at the index the "cursor" string names. A malformed cursor, or one past the end, answers
// -32602 "Invalid cursor"; a cursor that is not a string is ignored. Built in `a`.
Reply toolsPage(const Catalogue& c, std::pmr::memory_resource& a, const json::Value& params);

// {"<key>":<text, compact>} for one of the constant catalogue texts. Built in `a`.
Reply listResult(std::pmr::memory_resource& a, std::string_view key, std::string_view text);
