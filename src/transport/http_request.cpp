#include "transport/http_request.h"

#include <algorithm>
#include <cstring>

namespace http {

char lowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

bool sameWithoutCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) { return lowerAscii(x) == lowerAscii(y); });
}
namespace {

// Byte classes, one table lookup per byte.
enum Class : std::uint8_t {
  Token = 1,        // tchar: method, header name, coding, chunk extension
  FieldByte = 2,    // may stand in a field value: SP, HTAB, visible ASCII, obs-text
  TargetByte = 4,   // unreserved, sub-delims, ":/?@[]" and "%": no fragment, no raw space or quote
  HostByte = 8,     // what a Host value is made of: a name or address and a port
  Whitespace = 16,  // SP and HTAB
};

constexpr std::array<std::uint8_t, 256> classes = [] {
  std::array<std::uint8_t, 256> t{};
  const auto mark = [&t](std::string_view bytes, std::uint8_t c) {
    for (char b : bytes) t[static_cast<unsigned char>(b)] |= c;
  };
  constexpr std::string_view alnum = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  mark(alnum, Token | TargetByte | HostByte);
  mark("!#$%&'*+-.^_`|~", Token);
  mark("-._~!$&'()*+,;=:[]%", TargetByte | HostByte);
  mark("/?@", TargetByte);
  mark(" \t", Whitespace | FieldByte);
  for (int b = 0x21; b < 0x7F; ++b) t[b] |= FieldByte;
  for (int b = 0x80; b < 0x100; ++b) t[b] |= FieldByte;
  return t;
}();

bool is(char c, Class k) { return (classes[static_cast<unsigned char>(c)] & k) != 0; }

bool all(std::string_view s, Class k) {
  return std::all_of(s.begin(), s.end(), [k](char c) { return is(c, k); });
}

bool isToken(std::string_view s) { return !s.empty() && all(s, Token); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Names, codings and options compare without case, ASCII letters only.
bool sameWord(std::string_view a, std::string_view b) { return sameWithoutCase(a, b); }

std::string_view trim(std::string_view s) {
  while (!s.empty() && is(s.front(), Whitespace)) s.remove_prefix(1);
  while (!s.empty() && is(s.back(), Whitespace)) s.remove_suffix(1);
  return s;
}

// Calls each(element) for the comma-separated elements of a list value, trimmed, empty ones too
// (a list may carry ", ,"; each() decides). Stops at the first element each() refuses.
template <class Each>
bool forEachElement(std::string_view list, Each each) {
  for (std::size_t from = 0; from <= list.size();) {
    const std::size_t comma = std::min(list.find(',', from), list.size());
    if (!each(trim(list.substr(from, comma - from)))) return false;
    from = comma + 1;
  }
  return true;
}

constexpr Refusal bad(std::string_view reason) { return {400, reason}; }

// The texts of the refusals that state a limit.
static_assert(max_head_size % 1024 == 0);
constexpr LimitText head_over = limitText("request head over ", max_head_size / 1024, " KiB");
constexpr LimitText trailer_over = limitText("trailer section over ", max_head_size / 1024, " KiB");
constexpr LimitText too_many_fields = limitText("more than ", max_header_count, " header fields");

// The field names the parser resolves, by their place in RequestHead's tables; 0 for any other.
enum Known : std::uint8_t {
  Other, Host, Origin, Authorization, Accept, ContentType, Expect, McpSessionId, McpProtocolVersion, LastEventId,
  McpMethod, McpName, ContentLength, TransferEncoding, Connection,
};
constexpr std::string_view known_spellings[] = {
    "", "host", "origin", "authorization", "accept", "content-type", "expect", "mcp-session-id",
    "mcp-protocol-version", "last-event-id", "mcp-method", "mcp-name", "content-length", "transfer-encoding",
    "connection",
};

// The known names by their length and their first letter (its low five bits, as in either case):
// no two share both, so a name is compared with one of them at most.
constexpr std::size_t longest_known = 20;
constexpr std::array<std::array<std::uint8_t, 32>, longest_known + 1> knownByShape() {
  std::array<std::array<std::uint8_t, 32>, longest_known + 1> t{};
  for (std::size_t k = 1; k < std::size(known_spellings); ++k) {
    std::uint8_t& slot = t.at(known_spellings[k].size())[known_spellings[k].front() & 31];
    if (slot != 0) throw "two known names of the same length and first letter";
    slot = static_cast<std::uint8_t>(k);
  }
  return t;
}
constexpr auto known_by_shape = knownByShape();

Known knownName(std::string_view name) {
  if (name.empty() || name.size() > longest_known) return Other;
  const std::uint8_t k = known_by_shape[name.size()][name.front() & 31];
  if (k == 0) return Other;
  for (std::size_t i = 0; i < name.size(); ++i)
    if (lowerAscii(name[i]) != known_spellings[k][i]) return Other;
  return static_cast<Known>(k);
}

// "HTTP/" DIGIT "." DIGIT; only 1.0 and 1.1 are ours.
std::optional<Refusal> readVersion(std::string_view v, RequestHead& head) {
  if (v.size() != 8 || !v.starts_with("HTTP/") || !isDigit(v[5]) || v[6] != '.' || !isDigit(v[7]))
    return bad("bad HTTP version");
  if (v[5] != '1' || (v[7] != '0' && v[7] != '1')) return Refusal{505, "only HTTP/1.1 and HTTP/1.0"};
  head.minor_version = v[7] - '0';
  return std::nullopt;
}

// What a target names: its path without the query, and for an absolute target its authority.
struct TargetParts {
  // cppcheck-suppress unusedStructMember ; read through the optional that readTarget returns
  std::string_view path;       // empty: an absolute target without a path, which means "/"
  // cppcheck-suppress unusedStructMember ; likewise
  std::string_view authority;  // empty: the Host field names the server
};

// Origin-form, absolute-form ("http://" or "https://" in any case, an authority, then a path or
// query) or "*" for OPTIONS. Other schemes and authority-form (CONNECT) are not for us, nor
// userinfo ("@"), which only ever misleads about the host.
std::optional<TargetParts> readTarget(std::string_view method, std::string_view t) {
  if (t == "*") return method == "OPTIONS" ? std::optional(TargetParts{t, {}}) : std::nullopt;
  if (t.empty() || !all(t, TargetByte)) return std::nullopt;
  if (t.front() == '/') return TargetParts{t.substr(0, t.find('?')), {}};
  const std::size_t colon = t.find("://");
  if (colon == std::string_view::npos) return std::nullopt;
  const std::string_view scheme = t.substr(0, colon), rest = t.substr(colon + 3);
  const std::string_view authority = rest.substr(0, rest.find_first_of("/?"));
  if (!(sameWord(scheme, "http") || sameWord(scheme, "https")) || authority.empty() || !all(authority, HostByte))
    return std::nullopt;
  const std::string_view after = rest.substr(authority.size());
  return TargetParts{after.substr(0, after.find('?')), authority};
}

}  // namespace

// The steps of parseRequestHead, which see RequestHead's offsets. Each line is read once: the
// state between calls is where the next line starts and how far it has been searched.
struct HeadParser {
  enum Stage : std::uint8_t { RequestLine, Fields, Done, Refused };
  static_assert(std::size(known_spellings) == RequestHead::known_names);
  static_assert(max_head_size <= UINT16_MAX && max_header_count < UINT8_MAX);

  // Where `part`, a view into `bytes` or empty, starts in them.
  static std::uint16_t offset(std::string_view part, std::string_view bytes) {
    return part.empty() ? 0 : static_cast<std::uint16_t>(part.data() - bytes.data());
  }
  static std::uint16_t size(std::string_view part) { return static_cast<std::uint16_t>(part.size()); }

  static HeadResult refuse(RequestHead& h, Refusal r) {
    h.stage_ = Refused;
    h.refusal_ = r;
    return {Progress::Refused, 0, r};
  }

  // method SP request-target SP HTTP-version, one space each.
  static std::optional<Refusal> readRequestLine(std::string_view bytes, std::string_view line, RequestHead& h) {
    const std::size_t sp1 = line.find(' ');
    const std::string_view method = line.substr(0, sp1);
    if (sp1 == std::string_view::npos || !isToken(method)) return bad("bad method");
    const std::size_t sp2 = line.find(' ', sp1 + 1);
    const std::string_view target = line.substr(sp1 + 1, sp2 - sp1 - 1);
    const std::optional<TargetParts> parts = sp2 == std::string_view::npos ? std::nullopt : readTarget(method, target);
    if (!parts) return bad("bad request target");
    if (auto r = readVersion(line.substr(sp2 + 1), h)) return r;
    h.method_at_ = offset(method, bytes);
    h.method_size_ = size(method);
    h.target_at_ = offset(target, bytes);
    h.target_size_ = size(target);
    h.path_at_ = offset(parts->path, bytes);
    h.path_size_ = size(parts->path);
    h.authority_at_ = offset(parts->authority, bytes);
    h.authority_size_ = size(parts->authority);
    return std::nullopt;
  }

  // name ":" OWS value OWS. No space may come before the colon, and a line that starts with
  // whitespace would continue the one before (obs-fold), which we do not take.
  static std::optional<Refusal> readHeaderLine(std::string_view bytes, std::string_view line, RequestHead& h) {
    if (is(line.front(), Whitespace)) return bad("folded header line");
    const std::size_t colon = line.find(':');
    const std::string_view name = line.substr(0, colon);
    if (colon == std::string_view::npos || !isToken(name)) {
      const bool space = std::any_of(name.begin(), name.end(), [](char c) { return is(c, Whitespace); });
      return bad(space && colon != std::string_view::npos ? "whitespace before colon" : "bad header name");
    }
    const std::string_view value = trim(line.substr(colon + 1));
    if (!all(value, FieldByte)) return bad("control byte in header value");
    if (h.header_count == max_header_count) return Refusal{431, too_many_fields.view()};
    const Known known = knownName(name);
    h.spans_[h.header_count] = {offset(name, bytes), size(name), offset(value, bytes), size(value), known};
    ++h.header_count;
    if (known != Other && h.count_[known]++ == 0) h.first_[known] = static_cast<std::uint8_t>(h.header_count);
    return std::nullopt;
  }

  static std::string_view valueAt(std::string_view bytes, const RequestHead::Span& s) {
    return bytes.substr(s.value_at, s.value_size);
  }

  // Calls each(value) for every field named `known`, in order, until one returns false.
  template <class Each>
  static bool forEachValue(std::string_view bytes, const RequestHead& h, Known known, Each each) {
    for (std::size_t i = 0; i < h.header_count; ++i)
      if (h.spans_[i].known == known && !each(valueAt(bytes, h.spans_[i]))) return false;
    return true;
  }

  // Every Content-Length field and list element must be the same decimal number of at most 64 bits.
  static std::optional<Refusal> readContentLength(std::string_view bytes, RequestHead& h) {
    bool first = true, same = true;
    const bool ok = forEachValue(bytes, h, ContentLength, [&](std::string_view value) {
      return forEachElement(value, [&](std::string_view digits) {
        std::uint64_t n = 0;
        for (char c : digits) {
          if (!isDigit(c)) return false;
          const auto d = static_cast<std::uint64_t>(c - '0');
          if (n > (UINT64_MAX - d) / 10) return false;
          n = n * 10 + d;
        }
        same = same && (first || n == h.content_length);
        h.content_length = n;
        first = false;
        return !digits.empty();
      });
    });
    if (!ok) return bad("bad Content-Length");
    if (!same) return bad("different Content-Length values");
    h.framing = Framing::Length;
    return std::nullopt;
  }

  // Only chunked, once and last, frames a request body we read; any other coding is one we lack
  // (501), and chunked that is repeated or not last leaves the body's end unknown (400). An empty
  // element, which other lists may carry, is refused here: readers differ on it, and it decides
  // where the body ends.
  static std::optional<Refusal> readTransferEncoding(std::string_view bytes, RequestHead& h) {
    if (h.minor_version == 0) return bad("Transfer-Encoding in HTTP/1.0");
    std::size_t codings = 0, chunked = 0;
    bool last_chunked = false;
    const bool ok = forEachValue(bytes, h, TransferEncoding, [&](std::string_view value) {
      return forEachElement(value, [&](std::string_view coding) {
        ++codings;
        last_chunked = sameWord(coding, "chunked");
        chunked += last_chunked ? 1 : 0;
        return isToken(coding);
      });
    });
    if (!ok) return bad("bad Transfer-Encoding");
    if (chunked == 0 || (chunked == 1 && last_chunked && codings > 1)) return Refusal{501, "unknown transfer coding"};
    if (codings > 1) return bad("chunked not the only coding");
    h.framing = Framing::Chunked;
    return std::nullopt;
  }

  // HTTP/1.1 stays open unless told "close"; HTTP/1.0 closes unless told "keep-alive".
  static std::optional<Refusal> readConnection(std::string_view bytes, RequestHead& h) {
    bool close = false, keep = false;
    const bool ok = forEachValue(bytes, h, Connection, [&](std::string_view value) {
      return forEachElement(value, [&](std::string_view option) {
        if (option.empty()) return true;
        close = close || sameWord(option, "close");
        keep = keep || sameWord(option, "keep-alive");
        return isToken(option);
      });
    });
    if (!ok) return bad("bad Connection");
    h.keep_alive = !close && (h.minor_version == 1 || keep);
    return std::nullopt;
  }

  // What the fields say about the request as a whole, once they are all in.
  static std::optional<Refusal> checkFields(std::string_view bytes, RequestHead& h) {
    const std::size_t hosts = h.count_[Host];
    if (hosts == 0 && h.minor_version == 1) return bad("missing Host");
    if (hosts > 1) return bad("more than one Host");
    if (hosts == 1 && !all(valueAt(bytes, h.spans_[h.first_[Host] - 1]), HostByte)) return bad("bad Host");
    const bool length = h.count_[ContentLength] > 0;
    const bool coding = h.count_[TransferEncoding] > 0;
    if (length && coding) return bad("both Content-Length and Transfer-Encoding");
    if (coding) {
      if (auto r = readTransferEncoding(bytes, h)) return r;
    } else if (length) {
      if (auto r = readContentLength(bytes, h)) return r;
    }
    return readConnection(bytes, h);
  }

  static std::optional<std::string_view> first(const RequestHead& h, Known known) {
    if (h.first_[known] == 0) return std::nullopt;
    return valueAt(h.bytes_, h.spans_[h.first_[known] - 1]);
  }

  // Points the views of a head Done into `bytes`.
  static void point(std::string_view bytes, RequestHead& h) {
    h.bytes_ = bytes.substr(0, h.size_);
    h.method = h.bytes_.substr(h.method_at_, h.method_size_);
    h.target = h.bytes_.substr(h.target_at_, h.target_size_);
    h.path = h.path_size_ == 0 ? "/" : h.bytes_.substr(h.path_at_, h.path_size_);
    h.host = first(h, Host);
    h.origin = first(h, Origin);
    h.authorization = first(h, Authorization);
    h.accept = first(h, Accept);
    h.content_type = first(h, ContentType);
    h.expect = first(h, Expect);
    h.mcp_session_id = first(h, McpSessionId);
    h.mcp_protocol_version = first(h, McpProtocolVersion);
    h.last_event_id = first(h, LastEventId);
    h.mcp_method = first(h, McpMethod);
    h.mcp_name = first(h, McpName);
    h.authority = h.authority_size_ != 0 ? h.bytes_.substr(h.authority_at_, h.authority_size_) : h.host.value_or("");
  }

  static HeadResult parse(std::string_view bytes, RequestHead& h) {
    if (h.stage_ == Done) {
      point(bytes, h);
      return {Progress::Done, h.size_, {}};
    }
    if (h.stage_ == Refused) return {Progress::Refused, 0, h.refusal_};
    // Every line's CRLF must end within max_head_size of the buffer's start.
    const std::string_view window = bytes.substr(0, max_head_size);
    for (;;) {
      const std::size_t end = window.find('\n', h.searched_);
      if (end == std::string_view::npos) {
        h.searched_ = size(window);
        if (bytes.size() < max_head_size) return {};
        return refuse(h, {431, head_over.view()});
      }
      // A bare LF could end a line for one reader and not for another, so we refuse it though a
      // recipient may accept it; a CR stands only before LF.
      std::string_view line = bytes.substr(h.line_, end - h.line_);
      const std::size_t cr = line.find('\r');
      if (cr != std::string_view::npos && cr + 1 < line.size()) return refuse(h, bad("bare CR"));
      if (cr == std::string_view::npos) return refuse(h, bad("bare LF"));
      line.remove_suffix(1);
      const auto next = static_cast<std::uint16_t>(end + 1);
      if (h.stage_ == RequestLine) {
        // One empty line before the request line is allowed for old clients that end a body with
        // an extra CRLF; nothing else comes before it.
        if (!line.empty() || h.line_ != 0) {
          if (auto r = readRequestLine(bytes, line, h)) return refuse(h, *r);
          h.stage_ = Fields;
        }
      } else if (line.empty()) {
        if (auto r = checkFields(bytes, h)) return refuse(h, *r);
        h.stage_ = Done;
        h.size_ = next;
        point(bytes, h);
        return {Progress::Done, next, {}};
      } else if (auto r = readHeaderLine(bytes, line, h)) {
        return refuse(h, *r);
      }
      h.line_ = h.searched_ = next;
    }
  }
};

Header RequestHead::field(std::size_t i) const {
  return {bytes_.substr(spans_[i].name_at, spans_[i].name_size), HeadParser::valueAt(bytes_, spans_[i])};
}

std::optional<std::string_view> RequestHead::header(std::string_view name) const {
  if (stage_ != HeadParser::Done) return std::nullopt;
  if (const Known known = knownName(name); known != Other) return HeadParser::first(*this, known);
  for (std::size_t i = 0; i < header_count; ++i)
    if (spans_[i].known == Other && sameWord(field(i).name, name)) return field(i).value;
  return std::nullopt;
}

std::size_t RequestHead::headerCount(std::string_view name) const {
  if (stage_ != HeadParser::Done) return 0;
  if (const Known known = knownName(name); known != Other) return count_[known];
  std::size_t n = 0;
  for (std::size_t i = 0; i < header_count; ++i) n += spans_[i].known == Other && sameWord(field(i).name, name) ? 1 : 0;
  return n;
}

void RequestHead::reset() noexcept {
  method = target = path = authority = {};
  minor_version = 1;
  framing = Framing::None;
  content_length = 0;
  keep_alive = true;
  host = origin = authorization = accept = content_type = expect = std::nullopt;
  mcp_session_id = mcp_protocol_version = last_event_id = mcp_method = mcp_name = std::nullopt;
  header_count = 0;
  first_ = {};
  count_ = {};
  bytes_ = {};
  line_ = searched_ = 0;
  target_at_ = target_size_ = path_at_ = path_size_ = authority_at_ = authority_size_ = method_at_ = method_size_ = 0;
  stage_ = HeadParser::RequestLine;
  size_ = 0;
  refusal_ = {};
}

HeadResult parseRequestHead(std::string_view bytes, RequestHead& head) { return HeadParser::parse(bytes, head); }

// chunk = chunk-size [ chunk-ext ] CRLF chunk-data CRLF; the last chunk has size 0 and is followed
// by the trailer section and CRLF. chunk-ext = *( BWS ";" BWS name [ BWS "=" BWS value ] ), the
// value a token or a quoted string.
enum class ChunkedDecoder::State : std::uint8_t {
  Size,            // hex digits
  ExtSemicolon,    // BWS, then ";"
  ExtName,         // BWS, then the first tchar of a name
  ExtNameRest,     // more tchars, or what ends a name
  ExtEquals,       // BWS after a name, then "=" or ";"
  ExtValue,        // BWS, then a token or a quoted string
  ExtToken,        // more tchars, or what ends the value
  ExtQuoted,       // inside a quoted string
  ExtEscape,       // after a backslash in it
  ExtEnd,          // after a quoted string
  SizeLf,          // after the CR ending the size line
  Data,            // chunk data, copied in bulk by decode
  DataCr,
  DataLf,
  FieldStart,      // a trailer field line, or the CR of the blank line
  FieldName,
  FieldValue,
  FieldLf,
  EndLf,
  Done,
  Failed,
};

bool ChunkedDecoder::refuse(int status, std::string_view reason) {
  state_ = State::Failed;
  refusal_ = {status, reason};
  return false;
}

// One byte of anything but chunk data. An LF stands only after a CR, a CR only before an LF.
bool ChunkedDecoder::step(char c) {
  const bool lf_expected =
      state_ == State::SizeLf || state_ == State::DataLf || state_ == State::FieldLf || state_ == State::EndLf;
  if (c == '\n' && !lf_expected) return refuse(400, "bare LF");
  if (state_ <= State::SizeLf) return sizeLine(c);
  if (state_ >= State::FieldStart) return trailer(c);
  if (state_ == State::DataCr && c == '\r') {
    state_ = State::DataLf;
    return true;
  }
  if (state_ == State::DataLf && c == '\n') {
    state_ = State::Size;
    left_ = 0;
    count_ = 0;
    return true;
  }
  return refuse(400, state_ == State::DataCr ? "no CRLF after chunk data" : "bare CR");
}

// What may follow the size or an extension's value: BWS and ";" for another extension, or CR.
bool ChunkedDecoder::afterSize(char c) {
  if (is(c, Whitespace)) state_ = State::ExtSemicolon;
  else if (c == ';') state_ = State::ExtName;
  else if (c == '\r') state_ = State::SizeLf;
  else return refuse(400, "bad chunk extension");
  return true;
}

bool ChunkedDecoder::sizeLine(char c) {
  if (state_ != State::SizeLf && ++count_ > max_chunk_line_size) return refuse(400, "chunk extensions too long");
  const auto to = [this](State s) {
    state_ = s;
    return true;
  };
  const bool ws = is(c, Whitespace), token = is(c, Token);
  switch (state_) {
    case State::Size: {
      const int v = isDigit(c) ? c - '0' : lowerAscii(c) >= 'a' && lowerAscii(c) <= 'f' ? lowerAscii(c) - 'a' + 10 : -1;
      if (v < 0) return count_ > 1 && (ws || c == ';' || c == '\r') ? afterSize(c) : refuse(400, "bad chunk size");
      if (count_ > 16) return refuse(400, "bad chunk size");
      left_ = left_ * 16 + static_cast<std::uint64_t>(v);
      return true;
    }
    case State::ExtSemicolon: return ws ? true : c == ';' ? to(State::ExtName) : refuse(400, "bad chunk extension");
    case State::ExtName: return ws ? true : token ? to(State::ExtNameRest) : refuse(400, "bad chunk extension");
    case State::ExtNameRest:
      if (token) return true;
      return c == '=' ? to(State::ExtValue) : ws ? to(State::ExtEquals) : afterSize(c);
    case State::ExtEquals:
      if (ws) return true;
      return c == '=' ? to(State::ExtValue) : c == ';' ? to(State::ExtName) : refuse(400, "bad chunk extension");
    case State::ExtValue:
      if (ws) return true;
      return c == '"' ? to(State::ExtQuoted) : token ? to(State::ExtToken) : refuse(400, "bad chunk extension");
    case State::ExtToken: return token ? true : afterSize(c);
    case State::ExtQuoted:
      if (c == '"') return to(State::ExtEnd);
      return c == '\\' ? to(State::ExtEscape) : is(c, FieldByte) ? true : refuse(400, "bad chunk extension");
    case State::ExtEscape: return is(c, FieldByte) ? to(State::ExtQuoted) : refuse(400, "bad chunk extension");
    case State::ExtEnd: return afterSize(c);
    default:  // SizeLf
      if (c != '\n') return refuse(400, "bare CR");
      count_ = 0;
      return to(left_ == 0 ? State::FieldStart : State::Data);
  }
}

// Trailer fields follow the rules of header fields, and are dropped.
bool ChunkedDecoder::trailer(char c) {
  if (++count_ > max_head_size) return refuse(431, trailer_over.view());
  const auto to = [this](State s) {
    state_ = s;
    return true;
  };
  switch (state_) {
    case State::FieldStart:
      if (c == '\r') return to(State::EndLf);
      if (is(c, Whitespace)) return refuse(400, "folded header line");
      return is(c, Token) ? to(State::FieldName) : refuse(400, "bad header name");
    case State::FieldName:
      if (is(c, Token)) return true;
      if (c == ':') return to(State::FieldValue);
      return refuse(400, is(c, Whitespace) ? "whitespace before colon" : "bad header name");
    case State::FieldValue:
      if (c == '\r') return to(State::FieldLf);
      return is(c, FieldByte) ? true : refuse(400, "control byte in header value");
    case State::FieldLf: return c == '\n' ? to(State::FieldStart) : refuse(400, "bare CR");
    case State::EndLf: return c == '\n' ? to(State::Done) : refuse(400, "bare CR");
    default: return refuse(400, "bare CR");  // Done and Failed never get here
  }
}

BodyResult ChunkedDecoder::decode(std::span<char> bytes) {
  std::size_t in = 0, out = 0;
  while (in < bytes.size() && state_ != State::Done) {
    if (state_ == State::Failed) return {Progress::Refused, out, in, refusal_};
    if (state_ == State::Data) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left_, bytes.size() - in));
      std::memmove(bytes.data() + out, bytes.data() + in, n);
      in += n;
      out += n;
      left_ -= n;
      if (left_ == 0) state_ = State::DataCr;
      continue;
    }
    if (!step(bytes[in++])) return {Progress::Refused, out, in, refusal_};
  }
  if (state_ == State::Failed) return {Progress::Refused, out, in, refusal_};
  return {state_ == State::Done ? Progress::Done : Progress::NeedMore, out, in, {}};
}

}  // namespace http
