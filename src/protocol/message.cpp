#include "protocol/message.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <new>
#include <vector>

#include "protocol/era.h"

// Literal, so that the texts every modern result ends with are constants joined at compile time.
#define DEMO_SERVER_INFO R"({"name":"marlo-demo-tarn","title":"示例服务端（Tarn）","version":")" DEMO_VERSION R"("})"

const std::string_view server_info = DEMO_SERVER_INFO;

// A client that nests its id (or progress token) hundreds of levels deep gets no line back: the
// writer refuses such values, and the drop is reported like one for lack of memory.
void logTooDeep(const Wire& w) noexcept { w.log.write(w.log.ctx, "value nested too deeply; message dropped"); }

void logOom(const Wire& w) noexcept { w.log.write(w.log.ctx, "out of memory; message dropped"); }

void send(const Wire& w, std::string_view line) noexcept { w.out.write(w.out.ctx, line); }

namespace {

constexpr std::string_view reply_head = R"({"jsonrpc":"2.0","id":)", result_name = R"(,"result":)";

// The most bytes putResultStart writes: an id has at most 20 characters.
constexpr std::size_t result_start_max = reply_head.size() + 20 + result_name.size();

// Writes {"jsonrpc":"2.0","id":<id>,"result": at `d`; returns the end.
char* putResultStart(char* d, std::int64_t id) {
  d = std::copy(reply_head.begin(), reply_head.end(), d);
  d = std::to_chars(d, d + 20, id).ptr;
  return std::copy(result_name.begin(), result_name.end(), d);
}

// Results up to this size, for an integer id, are answered from a line on the stack.
constexpr std::size_t stack_result_max = 192;

}  // namespace

namespace {

// What a modern result adds around its members (MCP 2026-07-28, basic/index, server/utilities/caching).
#define DEMO_CACHE_HINTS R"(,"ttlMs":3600000,"cacheScope":"public")"  // cache_ttl_ms
#define DEMO_META_HEAD R"(,"_meta":{)"
#define DEMO_SERVER_INFO_MEMBER R"("io.modelcontextprotocol/serverInfo":)" DEMO_SERVER_INFO "}}"
constexpr char complete_head[] = R"({"resultType":"complete")";
constexpr char input_required_head[] = R"({"resultType":"input_required")";
constexpr std::string_view cache_hints = DEMO_CACHE_HINTS;
constexpr std::string_view meta_head = DEMO_META_HEAD;
constexpr std::string_view server_info_member = DEMO_SERVER_INFO_MEMBER;
// The whole end of a result whose own "_meta" is empty, the common case: one copy.
constexpr char plain_tail[] = DEMO_META_HEAD DEMO_SERVER_INFO_MEMBER;
constexpr char cacheable_tail[] = DEMO_CACHE_HINTS DEMO_META_HEAD DEMO_SERVER_INFO_MEMBER;
#undef DEMO_CACHE_HINTS
#undef DEMO_META_HEAD
#undef DEMO_SERVER_INFO_MEMBER
#undef DEMO_SERVER_INFO

// The pieces of a modern result, `r.text` an object, in the order they are written:
// <head>[,<members>][<hints>],"_meta":{[<meta>,]"io.modelcontextprotocol/serverInfo":<server_info>}}
// Without a "_meta" of its own, all after the members is one constant.
struct ModernPieces {
  bool input_required, cacheable;
  std::string_view members, meta;
  std::size_t size;
  explicit ModernPieces(const Reply& r)
      : input_required(r.type == ResultType::InputRequired),
        cacheable(r.type == ResultType::Cacheable),
        members(r.text.substr(1, r.text.size() - 2)),
        meta(r.meta) {
    size = (input_required ? sizeof input_required_head : sizeof complete_head) - 1 +
           (members.empty() ? 0 : 1 + members.size()) + (cacheable ? cache_hints.size() : 0) + meta_head.size() +
           (meta.empty() ? 0 : meta.size() + 1) + server_info_member.size();
  }
};

char* put(char* d, std::string_view s) { return static_cast<char*>(std::memcpy(d, s.data(), s.size())) + s.size(); }
// A constant of known length: its copy is a few moves, not a call.
template <std::size_t N>
char* put(char* d, const char (&s)[N]) {
  return static_cast<char*>(std::memcpy(d, s, N - 1)) + (N - 1);
}

// Writes the modern result at `d`; returns the end. REQUIRES: room for `m.size` bytes.
char* putModernResult(char* d, const ModernPieces& m) {
  d = m.input_required ? put(d, input_required_head) : put(d, complete_head);
  if (!m.members.empty()) {
    *d++ = ',';
    d = put(d, m.members);
  }
  if (m.meta.empty()) return m.cacheable ? put(d, cacheable_tail) : put(d, plain_tail);
  if (m.cacheable) d = put(d, cache_hints);
  d = put(d, meta_head);
  d = put(d, m.meta);
  *d++ = ',';
  return put(d, server_info_member);
}

void appendModernResult(json::Text& out, const Reply& r) {
  const ModernPieces m(r);
  const std::size_t at = out.size();
  out.resize(at + m.size);
  putModernResult(out.data() + at, m);
}

// Modern results up to this size, for an integer id, are answered from a line on the stack: a
// tools/list page among them.
constexpr std::size_t stack_modern_max = 2048;

}  // namespace

bool appendReply(json::Text& out, const json::Value& id, const Reply& r, bool modern) {
  if (id.kind == json::Kind::Integer && !r.error && !modern) {
    // Most replies: the text up to the result is put together on the stack and appended at once,
    // as each append to `out` costs more than its few bytes.
    char start[result_start_max];
    out.append(start, putResultStart(start, id.integer));
    out += r.text;
    out += '}';
    return true;
  }
  if (id.kind == json::Kind::Integer && !r.error) {  // modern, as the legacy case above
    char start[result_start_max];
    out.append(start, putResultStart(start, id.integer));
    appendModernResult(out, r);
    out += '}';
    return true;
  }
  out += reply_head;
  if (id.kind == json::Kind::Integer) {
    json::writeDecimal(out, id.integer);  // most ids: no need for the general writer
  } else if (!json::writeValue(out, id)) {
    return false;
  }
  if (!r.error) {
    out += result_name;
    if (modern) {
      appendModernResult(out, r);
    } else {
      out += r.text;
    }
    out += '}';
    return true;
  }
  out += R"(,"error":{"code":)";
  json::writeDecimal(out, static_cast<std::int32_t>(*r.error));
  out += R"(,"message":)";
  json::writeString(out, r.text);
  if (!r.data.empty()) {
    out += R"(,"data":)";
    out += r.data;
  }
  out += "}}";
  return true;
}

Reply failureNaming(std::pmr::memory_resource& a, ErrorCode code, std::string_view prefix, std::string_view name,
                    std::string_view suffix) {
  json::Text& message = json::newText(a);
  message.reserve(prefix.size() + name.size() + suffix.size());
  message += prefix;
  message += name;
  message += suffix;
  return Reply::failure(code, message);
}

void writePieces(const Sink& out, std::pmr::memory_resource& a, std::span<const std::string_view> pieces) {
  if (out.write_pieces) return out.write_pieces(out.ctx, pieces);
  std::size_t size = 0;
  for (std::string_view p : pieces) size += p.size();
  json::Text line(&a);
  line.reserve(size);
  for (std::string_view p : pieces) line += p;
  out.write(out.ctx, line);
}

namespace {

// A result given as pieces, in its envelope: the envelope's start, the result's pieces (for a
// modern one, its members without their braces, between what that era adds before and after
// them), and the envelope's end. Such a result is long: the few pieces added cost nothing.
void sendPieces(const Wire& w, std::pmr::memory_resource& a, const json::Value& id, const Reply& r,
                bool modern) noexcept {
  // sendPieces decides for its own line: without memory the reply is dropped with one report.
  try {
    json::Text& start = json::newText(a);
    start += reply_head;
    if (!json::writeValue(start, id)) return logTooDeep(w);
    start += result_name;
    json::Text& end = json::newText(a);
    if (modern) {
      start += r.type == ResultType::InputRequired ? input_required_head : complete_head;
      start += ',';
      if (r.meta.empty()) {
        end += r.type == ResultType::Cacheable ? cacheable_tail : plain_tail;
      } else {
        if (r.type == ResultType::Cacheable) end += cache_hints;
        end += meta_head;
        end += r.meta;
        end += ',';
        end += server_info_member;
      }
    }
    end += '}';
    std::pmr::vector<std::string_view> line(r.pieces.begin(), r.pieces.end(), &a);
    if (modern) {  // the result's own braces go: its members sit among the era's
      line.front().remove_prefix(1);
      line.back().remove_suffix(1);
    }
    line.insert(line.begin(), start);
    line.push_back(end);
    writePieces(w.out, a, line);
  } catch (const std::bad_alloc&) {
    logOom(w);
  }
}

}  // namespace

void sendReply(const Wire& w, std::pmr::memory_resource& a, const json::Value& id, const Reply& r) noexcept {
  if (!r.pieces.empty()) return sendPieces(w, a, id, r, false);
  if (id.kind == json::Kind::Integer && !r.error && r.text.size() <= stack_result_max) {
    // A ping's or a short tool result's line needs no text in the arena: the sink copies it.
    char line[result_start_max + stack_result_max + 1];
    char* d = putResultStart(line, id.integer);
    d = std::copy(r.text.begin(), r.text.end(), d);
    *d++ = '}';
    return send(w, {line, static_cast<std::size_t>(d - line)});
  }
  // sendReply decides for its own line: without memory the reply is dropped with one report.
  try {
    json::Text line(&a);
    line.reserve(r.text.size() + 64);
    if (!appendReply(line, id, r)) return logTooDeep(w);
    send(w, line);
  } catch (const std::bad_alloc&) {
    logOom(w);
  }
}

void sendReply(const Wire& w, std::pmr::memory_resource& a, const json::Value& id, const Reply& r,
               const Era& era) noexcept {
  if (!era.modern) return sendReply(w, a, id, r);
  if (!r.pieces.empty()) return sendPieces(w, a, id, r, true);
  if (id.kind == json::Kind::Integer && !r.error) {
    const ModernPieces m(r);
    if (m.size <= stack_modern_max) {
      char line[result_start_max + stack_modern_max + 1];
      char* d = putModernResult(putResultStart(line, id.integer), m);
      *d++ = '}';
      return send(w, {line, static_cast<std::size_t>(d - line)});
    }
  }
  // sendReply decides for its own line: without memory the reply is dropped with one report.
  try {
    json::Text line(&a);
    line.reserve(r.text.size() + r.meta.size() + server_info.size() + 256);
    if (!appendReply(line, id, r, true)) return logTooDeep(w);
    send(w, line);
  } catch (const std::bad_alloc&) {
    logOom(w);
  }
}

void notify(const Wire& w, std::pmr::memory_resource& a, std::string_view method, std::string_view params) noexcept {
  // notify decides for its own line: without memory the notification is dropped with one report.
  try {
    json::Text line(&a);
    line.reserve(method.size() + params.size() + 48);
    line += R"({"jsonrpc":"2.0","method":")";
    line += method;
    line += R"(","params":)";
    line += params;
    line += '}';
    send(w, line);
  } catch (const std::bad_alloc&) {
    logOom(w);
  }
}
