#include "protocol/era.h"

#include "protocol/versions.h"

namespace {

constexpr std::string_view version_key = "io.modelcontextprotocol/protocolVersion";
constexpr std::string_view capabilities_key = "io.modelcontextprotocol/clientCapabilities";
constexpr std::string_view log_level_key = "io.modelcontextprotocol/logLevel";


std::optional<LogLevel> logLevelNamed(std::string_view name) {
  constexpr std::string_view names[] = {"debug", "info", "notice", "warning", "error", "critical", "alert", "emergency"};
  for (std::uint8_t i = 0; i < std::size(names); ++i) {
    if (names[i] == name) return static_cast<LogLevel>(i);
  }
  return std::nullopt;
}

// {"supported":["<v>",...],"requested":<requested>}, in `a`.
std::string_view unsupportedData(std::pmr::memory_resource& a, std::string_view requested) {
  json::Text& data = json::newText(a);
  data += R"({"supported":[)";
  for (std::string_view v : modern_versions) {
    if (data.back() != '[') data += ',';
    json::writeString(data, v);
  }
  data += R"(],"requested":)";
  json::writeString(data, requested);
  data += '}';
  return data;
}

}  // namespace

bool namesProtocolVersion(const json::Value& params) {
  const json::Value* meta = json::member(params, "_meta");
  return meta && json::member(*meta, version_key);
}

Expected<Era, Reply> readModernEra(std::pmr::memory_resource& a, const json::Value& params) {
  const json::Value* meta = json::member(params, "_meta");
  const json::Value& fields = meta ? *meta : json::empty_object;
  Era era;
  era.modern = true;
  std::optional<std::string_view> version = json::stringField(fields, version_key);
  if (!version) return unexpected(Reply::invalid("Invalid params: _meta must name io.modelcontextprotocol/protocolVersion, a string"));
  if (!isModernVersion(*version)) {
    Reply unsupported = Reply::failure(ErrorCode::UnsupportedProtocolVersion, "Unsupported protocol version");
    unsupported.data = unsupportedData(a, *version);
    return unexpected(unsupported);
  }
  era.version = *version;
  era.client_capabilities = json::member(fields, capabilities_key);
  if (!era.client_capabilities || !era.client_capabilities->isObject()) {
    return unexpected(Reply::invalid("Invalid params: _meta must name io.modelcontextprotocol/clientCapabilities, an object"));
  }
  if (const json::Value* level = json::member(fields, log_level_key)) {
    era.log_level = level->kind == json::Kind::String ? logLevelNamed(level->text()) : std::nullopt;
    if (!era.log_level) return unexpected(Reply::invalid("Invalid params: unknown log level"));
  }
  return era;
}
