#include "protocol/era.h"

#include <cstring>

#include "protocol/versions.h"

namespace {

// The members of `_meta` that make up an era, each null when absent, found in one pass: a modern
// request names at least two of them.
struct MetaFields {
  const json::Value* version = nullptr;       // io.modelcontextprotocol/protocolVersion
  const json::Value* capabilities = nullptr;  // io.modelcontextprotocol/clientCapabilities
  const json::Value* log_level = nullptr;     // io.modelcontextprotocol/logLevel
};

constexpr std::string_view version_key = "io.modelcontextprotocol/protocolVersion";
constexpr std::string_view capabilities_key = "io.modelcontextprotocol/clientCapabilities";
constexpr std::string_view log_level_key = "io.modelcontextprotocol/logLevel";
static_assert(version_key.size() != capabilities_key.size() && version_key.size() != log_level_key.size() &&
              capabilities_key.size() != log_level_key.size());

// Whether `key` is `name`, a name the lengths have already told apart from the others.
bool is(std::string_view key, std::string_view name) { return std::memcmp(key.data(), name.data(), name.size()) == 0; }

// The era's members of `meta`; none when it is no object. The three names differ in length, so a
// member's length picks the one name it may be, and one compare settles it.
MetaFields metaFields(const json::Value& meta) {
  MetaFields f;
  if (!meta.isObject()) return f;
  for (const json::Member& m : meta.members()) {
    switch (m.key.size()) {
      case version_key.size():
        if (is(m.key, version_key)) f.version = &m.value;
        break;
      case capabilities_key.size():
        if (is(m.key, capabilities_key)) f.capabilities = &m.value;
        break;
      case log_level_key.size():
        if (is(m.key, log_level_key)) f.log_level = &m.value;
        break;
      default:
        break;
    }
  }
  return f;
}

std::optional<LogLevel> logLevelNamed(std::string_view name) {
  constexpr std::string_view names[] = {"debug", "info", "notice", "warning", "error", "critical", "alert", "emergency"};
  for (std::size_t i = 0; i < std::size(names); ++i) {
    if (names[i] == name) return static_cast<LogLevel>(i);
  }
  return std::nullopt;
}


// The era from the members found; `f.version` is set.
Expected<Era, Reply> modernEra(std::pmr::memory_resource& a, const MetaFields& f) {
  Era era;
  era.modern = true;
  if (f.version->kind != json::Kind::String) {
    return unexpected(Reply::invalid("Invalid params: _meta must name io.modelcontextprotocol/protocolVersion, a string"));
  }
  const std::string_view version = f.version->text();
  if (!isModernVersion(version)) {
    Reply unsupported = Reply::failure(ErrorCode::UnsupportedProtocolVersion, "Unsupported protocol version");
    unsupported.data = unsupportedVersionData(a, version);
    return unexpected(unsupported);
  }
  era.version = version;
  era.client_capabilities = f.capabilities;
  if (!era.client_capabilities || !era.client_capabilities->isObject()) {
    return unexpected(Reply::invalid("Invalid params: _meta must name io.modelcontextprotocol/clientCapabilities, an object"));
  }
  if (const json::Value* level = f.log_level) {
    era.log_level = level->kind == json::Kind::String ? logLevelNamed(level->text()) : std::nullopt;
    if (!era.log_level) return unexpected(Reply::invalid("Invalid params: unknown log level"));
  }
  return era;
}

}  // namespace

void appendModernVersions(json::Text& out) {
  out += '[';
  for (std::string_view v : modern_versions) {
    if (out.back() != '[') out += ',';
    json::writeString(out, v);
  }
  out += ']';
}

std::string_view unsupportedVersionData(std::pmr::memory_resource& a, std::string_view requested) {
  json::Text& data = json::newText(a);
  data += R"({"supported":)";
  appendModernVersions(data);
  data += R"(,"requested":)";
  json::writeString(data, requested);
  data += '}';
  return data;
}

bool namesProtocolVersion(const json::Value& params) {
  const json::Value* meta = json::member(params, "_meta");
  return meta && metaFields(*meta).version;
}

Expected<Era, Reply> readModernEra(std::pmr::memory_resource& a, const json::Value& params) {
  const json::Value* meta = json::member(params, "_meta");
  const MetaFields f = meta ? metaFields(*meta) : MetaFields{};
  if (!f.version) {
    return unexpected(Reply::invalid("Invalid params: _meta must name io.modelcontextprotocol/protocolVersion, a string"));
  }
  return modernEra(a, f);
}

Expected<Era, Reply> readEra(std::pmr::memory_resource& a, const json::Value& meta) {
  const MetaFields f = metaFields(meta);
  if (!f.version) return legacy_era;
  return modernEra(a, f);
}
