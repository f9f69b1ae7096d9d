#include "methods/resources.h"

#include "protocol/json.h"

namespace {

constexpr std::string_view readme_text = "# 示例服务端\n\n用来试用 MCP 调试台。";
constexpr std::string_view note_heading = "笔记：";

}  // namespace

Reply readResource(std::pmr::memory_resource& a, std::string_view uri) {
  std::string_view mime;
  std::string_view text;
  if (uri == readme_uri) {
    mime = "text/markdown";
    text = readme_text;
  } else if (uri.starts_with(notes_prefix)) {
    // The name is taken as it is: no decoding, no checks.
    json::Text& note = json::newText(a);
    note += note_heading;
    note += uri.substr(notes_prefix.size());
    mime = "text/plain";
    text = note;
  } else {
    return failureNaming(a, ErrorCode::ResourceNotFound, "Resource not found: ", uri);
  }

  // {"contents":[{"uri":<uri>,"mimeType":"<mime>","text":<text>}]}
  json::Text& out = json::newText(a);
  out.reserve(uri.size() + text.size() + 64);
  out += R"({"contents":[{"uri":)";
  json::writeString(out, uri);
  out += R"(,"mimeType":")";
  out += mime;
  out += R"(","text":)";
  json::writeString(out, text);
  out += "}]}";
  return Reply::result(out);
}
