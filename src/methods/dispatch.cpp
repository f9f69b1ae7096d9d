#include "methods/dispatch.h"

#include "methods/catalogue.h"
#include "methods/prompts.h"
#include "methods/resources.h"
#include "protocol/era.h"
#include "protocol/versions.h"

namespace {

constexpr std::string_view empty_result = "{}";
constexpr std::string_view capabilities = R"({"tools":{"listChanged":false},"resources":{},"prompts":{},"logging":{}})";
constexpr std::string_view instructions = R"("A demo server written in Tarn: try echo, image, notify and ask_client.")";

// The initialize result for the version the client asked for in `params`, built in `a`.
std::string_view initializeResult(std::pmr::memory_resource& a, const json::Value& params) {
  const std::string_view version = negotiateLegacy(json::stringField(params, "protocolVersion").value_or(""));

  // {"protocolVersion":"<version>","capabilities":<capabilities>,"serverInfo":<server_info>,"instructions":<instructions>}
  json::Text& out = json::newText(a);
  out.reserve(version.size() + capabilities.size() + server_info.size() + instructions.size() + 80);
  out += R"({"protocolVersion":")";
  out += version;
  out += R"(","capabilities":)";
  out += capabilities;
  out += R"(,"serverInfo":)";
  out += server_info;
  out += R"(,"instructions":)";
  out += instructions;
  out += '}';
  return out;
}

// server/discover (MCP 2026-07-28, server/discover): what initialize tells, for every modern revision.
// {"supportedVersions":[...],"capabilities":<capabilities>,"instructions":<instructions>}, in `a`.
std::string_view discoverResult(std::pmr::memory_resource& a) {
  json::Text& out = json::newText(a);
  out += R"({"supportedVersions":)";
  appendModernVersions(out);
  out += R"(,"capabilities":)";
  out += capabilities;
  out += R"(,"instructions":)";
  out += instructions;
  out += '}';
  return out;
}

Reply cacheable(Reply r) {
  r.type = ResultType::Cacheable;
  return r;
}

// The methods of the legacy era that the modern one has removed (MCP 2026-07-28, changelog).
bool removedInModern(std::string_view method) {
  return method == "initialize" || method == "ping" || method == "logging/setLevel" ||
         method == "resources/subscribe" || method == "resources/unsubscribe";
}

}  // namespace

Reply dispatch(const Catalogue& c, std::pmr::memory_resource& a, std::string_view method, const json::Value& params,
               const Era& era) {
  if (era.modern) {
    if (removedInModern(method)) return failureNaming(a, ErrorCode::MethodNotFound, "Method not found: ", method);
    if (method == "server/discover") return Reply::cacheable(discoverResult(a));
  }
  if (method == "initialize") return Reply::result(initializeResult(a, params));
  if (method == "ping") return Reply::result(empty_result);
  // The level is not kept: log notifications go out as before.
  if (method == "logging/setLevel") return Reply::result(empty_result);
  if (method == "tools/list") return cacheable(toolsPage(c, a, params));
  if (method == "resources/list") return Reply::cacheable(c.resources);
  if (method == "resources/templates/list") return Reply::cacheable(c.templates);
  if (method == "resources/read") {
    Reply r = cacheable(readResource(a, json::stringField(params, "uri").value_or("")));
    // A modern client learns of an unknown address as of any invalid parameter (MCP 2026-07-28,
    // server/resources); the text stays.
    // Its data names the address, as the revision's example does.
    if (era.modern && r.error == ErrorCode::ResourceNotFound) {
      r.error = ErrorCode::InvalidParams;
      json::Text& data = json::newText(a);
      data += R"({"uri":)";
      json::writeString(data, json::stringField(params, "uri").value_or(""));
      data += '}';
      r.data = data;
    }
    return r;
  }
  if (method == "prompts/list") return Reply::cacheable(c.prompts);
  if (method == "prompts/get") return getPrompt(a, params);

  return failureNaming(a, ErrorCode::MethodNotFound, "Method not found: ", method);
}
