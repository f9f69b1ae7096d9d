#pragma once
// The MCP revisions this server speaks. Every part that names a version takes it from here.

#include <algorithm>
#include <iterator>
#include <string_view>

// The revisions reached through `initialize`, preferred first: a client asking for any other
// revision, or for none, is offered the first.
inline constexpr std::string_view legacy_versions[] = {"2025-06-18", "2025-11-25", "2025-03-26", "2024-11-05"};

inline bool isLegacyVersion(std::string_view version) {
  return std::find(std::begin(legacy_versions), std::end(legacy_versions), version) != std::end(legacy_versions);
}

// The revision an `initialize` asking for `requested` is answered with.
inline std::string_view negotiateLegacy(std::string_view requested) {
  const std::string_view* found = std::find(std::begin(legacy_versions), std::end(legacy_versions), requested);
  return found != std::end(legacy_versions) ? *found : legacy_versions[0];
}

// The revisions a request may name in its own `_meta` (MCP 2026-07-28, basic/versioning): stateless,
// with no `initialize`. A request naming any other is answered -32022 with this list.
inline constexpr std::string_view modern_versions[] = {"2026-07-28"};

inline bool isModernVersion(std::string_view version) {
  return std::find(std::begin(modern_versions), std::end(modern_versions), version) != std::end(modern_versions);
}

// Whether `version` (one of the above) is `since` or later: revisions are named by their dates.
inline bool versionAtLeast(std::string_view version, std::string_view since) { return version >= since; }
