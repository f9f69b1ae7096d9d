#pragma once
// The constant catalogues and their listings. Each catalogue is checked and written compactly once,
// at start-up, into a Catalogue; a listing only joins what is written there. Only parsed content
// reaches the wire, so the layout of the stored texts is free.

#include <memory_resource>
#include <span>
#include <string_view>

#include "protocol/json.h"
#include "protocol/message.h"

// The catalogues, read-only once loadCatalogue has filled them.
struct Catalogue {
  explicit Catalogue(std::pmr::memory_resource& gpa) : arena(&gpa) {}
  std::pmr::monotonic_buffer_resource arena;     // owns everything below
  std::span<const json::Value> tools;            // in listing order, each with "name", "title",
                                                 // "description" and "inputSchema"
  std::span<const std::string_view> tool_texts;  // each tool written compactly, for listing
  std::span<const std::string_view> tool_pages;  // the tools/list result from each index: one more than tools
  std::string_view resources;                    // the resources/list result
  std::string_view templates;                    // the resources/templates/list result
  std::string_view prompts;                      // the prompts/list result
};

// Parses and writes the catalogues into `c`. False when a constant is broken, which only a broken
// build can bring about. Throws std::bad_alloc.
bool loadCatalogue(Catalogue& c);

// The "name" of one tool of the catalogue.
std::string_view toolName(const json::Value& tool);

// How many tools one tools/list page holds.
inline constexpr std::size_t tools_page_size = 3;

// tools/list: {"tools":<page>,"nextCursor":"<next>"}, or without "nextCursor" on the last page,
// starting at the index the "cursor" string names. A malformed cursor, or one past the end, answers
// -32602 "Invalid cursor"; a cursor that is not a string is ignored. Each page is written once, when the catalogue is loaded.
Reply toolsPage(const Catalogue& c, std::pmr::memory_resource& a, const json::Value& params);

