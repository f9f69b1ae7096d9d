#include "methods/catalogue.h"

#include <cstdint>
#include <optional>

#include "methods/resources.h"

namespace {

constexpr std::string_view tools_json = R"([
  {"name": "echo", "title": "回声", "description": "Repeat a text a number of times.",
   "inputSchema": {"type": "object", "properties": {"text": {"type": "string", "description": "要重复的文字"},
     "times": {"type": "integer", "minimum": 1, "maximum": 10, "default": 1}}, "required": ["text"]}},
  {"name": "add", "title": "加法", "description": "Add two numbers.",
   "inputSchema": {"type": "object", "properties": {"a": {"type": "number"}, "b": {"type": "number"}},
     "required": ["a", "b"]}},
  {"name": "image", "title": "生成图片", "description": "Return a small PNG gradient in the given colour.",
   "inputSchema": {"type": "object", "properties": {"color": {"type": "string", "enum": ["red", "green", "blue"]}},
     "required": ["color"]}},
  {"name": "fail", "title": "报错", "description": "Always report a tool error (isError).",
   "inputSchema": {"type": "object", "properties": {}}},
  {"name": "slow", "title": "慢调用", "description": "Sleep before answering (to try timeouts).",
   "inputSchema": {"type": "object", "properties": {"seconds": {"type": "number", "minimum": 0, "maximum": 60}},
     "required": ["seconds"]}},
  {"name": "notify", "title": "推送通知", "description": "Send log and progress notifications while working.",
   "inputSchema": {"type": "object", "properties": {"steps": {"type": "integer", "minimum": 1, "maximum": 10, "default": 3}}}},
  {"name": "ask_client", "title": "反向请求",
   "description": "Ask the client for its roots (a server-to-client request) and report the answer.",
   "inputSchema": {"type": "object", "properties": {}}},
  {"name": "crash", "title": "崩溃", "description": "Exit the server process (to try restarts).",
   "inputSchema": {"type": "object", "properties": {}}}
])";

// The readme's and the notes' addresses come from resources.h, which serves them.
constexpr std::string_view resources_json =
    R"([{"name": "readme", "title": "说明", "mimeType": "text/markdown"}])";

constexpr std::string_view templates_json =
    R"([{"name": "note", "title": "笔记", "mimeType": "text/plain"}])";

constexpr std::string_view prompts_json = R"([
  {"name": "review", "title": "代码审查", "description": "Ask for a review of a code snippet.",
   "arguments": [{"name": "code", "description": "要审查的代码", "required": true},
                 {"name": "language", "description": "语言", "required": false}]}
])";

// Reads a cursor as an unsigned 64-bit decimal: "_" may separate digits ("1_0" is 10) but may not
// lead or trail; one "+" or "-" may come first, and after "-" only zeros are allowed ("-0" is 0).
// Blanks, points, exponents and hex digits make it invalid, as does a value beyond 64 bits.
std::optional<std::uint64_t> parseCursor(std::string_view text) {
  if (text.empty() || text.front() == '_') return std::nullopt;
  bool negative = text.front() == '-';
  if (negative || text.front() == '+') {
    text.remove_prefix(1);
    if (text.empty() || text.front() == '_') return std::nullopt;
  }
  if (text.back() == '_') return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c == '_') continue;
    if (c < '0' || c > '9') return std::nullopt;
    auto digit = static_cast<std::uint64_t>(c - '0');
    if (value > (UINT64_MAX - digit) / 10) return std::nullopt;
    value = value * 10 + digit;
  }
  if (negative && value != 0) return std::nullopt;
  return value;
}

// {"<key>":<list>}: the constant `list`, an array, written compactly. `first`, when given, is the
// first member of the list's one entry: {"<key>":[{<first>,<the entry's members>}]}. Nullopt when
// the constant is broken.
std::optional<std::string_view> listing(std::pmr::memory_resource& a, std::string_view key, std::string_view list,
                                        std::string_view first = {}) {
  std::optional<json::Value> parsed = json::parse(a, list);
  json::Text& compact = json::newText(a);
  if (!parsed || parsed->kind != json::Kind::Array || !json::writeValue(compact, *parsed)) return std::nullopt;
  json::Text& out = json::newText(a);
  out += "{\"";
  out += key;
  out += "\":";
  if (first.empty()) {
    out += compact;
  } else {
    if (parsed->size != 1 || parsed->items()[0].kind != json::Kind::Object) return std::nullopt;
    out += "[{";
    out += first;
    if (parsed->items()[0].size > 0) out += ',';
    out += std::string_view(compact).substr(2);
  }
  out += '}';
  return out;
}

// {"tools":[<tool>,...],"nextCursor":"<end>"}, the page from `start`, without "nextCursor" on the last.
std::string_view writePage(Catalogue& c, std::size_t start) {
  const std::size_t end = std::min<std::size_t>(start + tools_page_size, c.tool_texts.size());
  json::Text& out = json::newText(c.arena);
  out += R"({"tools":[)";
  for (std::size_t i = start; i < end; ++i) {
    if (i > start) out += ',';
    out += c.tool_texts[i];
  }
  out += ']';
  if (start + tools_page_size < c.tool_texts.size()) {
    out += R"(,"nextCursor":")";
    json::writeDecimal(out, static_cast<std::int64_t>(end));
    out += '"';
  }
  out += '}';
  return out;
}

// "<key>":<address>, the address written as a JSON string.
std::string_view addressMember(std::pmr::memory_resource& a, std::string_view key, std::string_view address) {
  json::Text& out = json::newText(a);
  out += '"';
  out += key;
  out += "\":";
  json::writeString(out, address);
  return out;
}

}  // namespace

bool loadCatalogue(Catalogue& c) {
  std::optional<json::Value> catalogue = json::parse(c.arena, tools_json);
  if (!catalogue || catalogue->kind != json::Kind::Array) return false;
  c.tools = catalogue->items();
  // Listing pages join these texts: the catalogue is written once, not once per request.
  std::pmr::polymorphic_allocator<std::string_view> alloc(&c.arena);
  std::string_view* texts = alloc.allocate(c.tools.size());
  for (std::size_t i = 0; i < c.tools.size(); ++i) {
    json::Text& text = json::newText(c.arena);
    if (!json::writeValue(text, c.tools[i])) return false;
    texts[i] = text;
  }
  c.tool_texts = {texts, c.tools.size()};
  // So are the pages: a cursor names the index a page starts at, and there are few.
  std::string_view* pages = alloc.allocate(c.tools.size() + 1);
  for (std::size_t start = 0; start <= c.tools.size(); ++start) pages[start] = writePage(c, start);
  c.tool_pages = {pages, c.tools.size() + 1};

  json::Text& note_template = json::newText(c.arena);
  note_template += notes_prefix;
  note_template += "{name}";
  std::optional<std::string_view> resources =
      listing(c.arena, "resources", resources_json, addressMember(c.arena, "uri", readme_uri));
  std::optional<std::string_view> templates =
      listing(c.arena, "resourceTemplates", templates_json, addressMember(c.arena, "uriTemplate", note_template));
  std::optional<std::string_view> prompts = listing(c.arena, "prompts", prompts_json);
  if (!resources || !templates || !prompts) return false;
  c.resources = *resources;
  c.templates = *templates;
  c.prompts = *prompts;
  return true;
}

std::string_view toolName(const json::Value& tool) { return json::stringField(tool, "name").value_or(""); }

Reply toolsPage(const Catalogue& c, std::pmr::memory_resource&, const json::Value& params) {
  std::uint64_t start = 0;
  if (std::optional<std::string_view> cursor = json::stringField(params, "cursor")) {
    std::optional<std::uint64_t> parsed = parseCursor(*cursor);
    if (!parsed || *parsed > c.tools.size()) return Reply::invalid("Invalid cursor");
    start = *parsed;
  }
  return Reply::result(c.tool_pages[start]);
}
