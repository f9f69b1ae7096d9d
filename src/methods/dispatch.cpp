#include "methods/dispatch.h"

#include "methods/catalogue.h"
#include "methods/prompts.h"
#include "methods/resources.h"
#include "protocol/versions.h"

namespace {

constexpr std::string_view empty_result = "{}";

// The initialize result for the version the client asked for in `params`, built in `a`.
std::string_view initializeResult(std::pmr::memory_resource& a, const json::Value& params) {
  const std::string_view version = negotiateLegacy(json::stringField(params, "protocolVersion").value_or(""));

  // {"protocolVersion":"<version>","capabilities":...,"instructions":"..."}
  constexpr std::string_view head = R"({"protocolVersion":")";
  constexpr std::string_view tail =
      R"(","capabilities":{"tools":{"listChanged":false},"resources":{},"prompts":{},"logging":{}},)"
      R"("serverInfo":{"name":"marlo-demo-tarn","title":"示例服务端（Tarn）","version":")" DEMO_VERSION R"("},)"
      R"("instructions":"A demo server written in Tarn: try echo, image, notify and ask_client."})";
  json::Text& out = json::newText(a);
  out.reserve(head.size() + version.size() + tail.size());
  out += head;
  out += version;
  out += tail;
  return out;
}

}  // namespace

Reply dispatch(const Catalogue& c, std::pmr::memory_resource& a, std::string_view method, const json::Value& params) {
  if (method == "initialize") return Reply::result(initializeResult(a, params));
  if (method == "ping") return Reply::result(empty_result);
  // The level is not kept: log notifications go out as before.
  if (method == "logging/setLevel") return Reply::result(empty_result);
  if (method == "tools/list") return toolsPage(c, a, params);
  if (method == "resources/list") return Reply::result(c.resources);
  if (method == "resources/templates/list") return Reply::result(c.templates);
  if (method == "resources/read") return readResource(a, json::stringField(params, "uri").value_or(""));
  if (method == "prompts/list") return Reply::result(c.prompts);
  if (method == "prompts/get") return getPrompt(a, params);

  return failureNaming(a, ErrorCode::MethodNotFound, "Method not found: ", method);
}
