// Fuzzes the HTTP request parser and the chunked decoder against llhttp, a parser written
// independently of ours. Each input is what a connection received: a pipeline of requests, the last
// one possibly cut short. Both read it request by request, and:
// - until one of them refuses, they find the same requests: method, target, version, header fields
//   (names and values, in order), framing, length, keep-alive and body (chunked ones decoded);
// - where one refuses a request, the other refuses it too, unless it has not seen all of it yet
//   (a request cut short decides nothing).
// Where our rules and llhttp's differ on purpose (mostly we are the stricter; now and then llhttp
// is, or reads a request wrongly), one named rule below says how and checks that the request is that
// case; anything else is a disagreement and aborts with a message, which libFuzzer reports as a
// crash.
//
// llhttp reads in its default mode, as a request parser, no lenient flag set.

#include <llhttp.h>

#include <algorithm>
#include <cctype>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "head_checks.h"
#include "transport/http_request.h"

namespace {

using http::Framing;

// One request as a reader saw it.
struct Request {
  std::string method;
  std::string target;
  int major = 0;
  int minor = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::vector<std::pair<std::string, std::string>> trailers;  // llhttp's; we check and drop them
  Framing framing = Framing::None;
  std::uint64_t length = 0;
  bool keep_alive = false;
  std::string body;
  bool head_done = false;
  bool done = false;  // body too
  // llhttp's reading only: where its head starts (the method) and where its last span in the head
  // ends, as offsets in the input.
  std::size_t head_from = 0;
  std::size_t spans_end = 0;
  std::vector<std::pair<std::size_t, std::size_t>> data;  // llhttp's: where the body's payload lies
  std::size_t body_from = 0;                               // ours: where the body starts in the input
  bool tab_in_list = false;                                // llhttp's: see rule tabInList
};

// A reader's requests in order. When it refused, it refused the first one not done (which may be
// one it has no head for: then requests.size()).
struct Reading {
  std::vector<Request> requests;
  bool refused = false;
  std::string why;
  std::size_t open_at = 0;     // our reading: where the first request not done starts in the input
  std::size_t error_at = 0;    // llhttp's reading: the byte it refused

  std::size_t firstNotDone() const {
    return !requests.empty() && !requests.back().done ? requests.size() - 1 : requests.size();
  }
};

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_http_oracle: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
  std::abort();
}

// Our reading: a head, its body, the next head where the body ends.
Reading readOurs(std::string_view input) {
  Reading r;
  for (std::size_t at = 0; at < input.size();) {
    http::RequestHead head;
    r.open_at = at;
    // In two reads, as a connection may get it: head_checks holds that to one read at once.
    const std::size_t cut = (input.size() * 13) % (input.size() - at + 1);
    const http::HeadResult h = head_checks::parseInTwo(input.substr(at), cut, head);
    if (h.progress == http::Progress::NeedMore) break;
    if (h.progress == http::Progress::Refused) {
      r.refused = true;
      r.why = std::to_string(h.refusal.status) + " " + std::string(h.refusal.reason);
      break;
    }
    Request& q = r.requests.emplace_back();
    q.method = head.method;
    q.target = head.target;
    q.major = 1;
    q.minor = head.minor_version;
    for (std::size_t i = 0; i < head.header_count; ++i) q.headers.emplace_back(head.field(i).name, head.field(i).value);
    q.framing = head.framing;
    q.length = head.content_length;
    q.keep_alive = head.keep_alive;
    q.head_done = true;
    at += h.size;
    q.body_from = at;
    const std::string_view rest = input.substr(at);
    if (head.framing == Framing::Chunked) {
      std::string buffer(rest);
      http::ChunkedDecoder decoder;
      const http::BodyResult b = decoder.decode(buffer);
      q.body = buffer.substr(0, b.payload);
      if (b.progress == http::Progress::Refused) {
        r.refused = true;
        r.why = std::to_string(b.refusal.status) + " " + std::string(b.refusal.reason);
      }
      if (b.progress != http::Progress::Done) break;
      at += b.used;
    } else {
      q.body = rest.substr(0, q.length);
      if (rest.size() < q.length) break;
      at += q.length;
    }
    q.done = true;
    r.open_at = at;
  }
  return r;
}

std::string lowered(std::string_view s);

// llhttp's reading, gathered by its callbacks.
struct Gathered {
  const char* input = nullptr;
  Reading reading;
  bool in_value = false;  // the last header field has a value begun
  bool upgraded = false;  // llhttp stopped at an upgrade: it reads no further
};

Gathered& gathered(llhttp_t* p) { return *static_cast<Gathered*>(p->data); }

// The request being read, whose head now reaches past the span [at, at + n).
Request& current(llhttp_t* p, const char* at = nullptr, std::size_t n = 0) {
  Request& q = gathered(p).reading.requests.back();
  if (at && !q.head_done) {
    const auto from = static_cast<std::size_t>(at - gathered(p).input);
    if (q.spans_end == 0) q.head_from = from;
    q.spans_end = from + n;
  }
  return q;
}

int onMessageBegin(llhttp_t* p) {
  gathered(p).reading.requests.emplace_back();
  gathered(p).in_value = false;
  return 0;
}

int onMethod(llhttp_t* p, const char* at, std::size_t n) {
  current(p, at, n).method.append(at, n);
  return 0;
}

int onVersion(llhttp_t* p, const char* at, std::size_t n) {
  current(p, at, n);
  return 0;
}

int onUrl(llhttp_t* p, const char* at, std::size_t n) {
  current(p, at, n).target.append(at, n);
  return 0;
}

int onHeaderField(llhttp_t* p, const char* at, std::size_t n) {
  Request& q = current(p, at, n);
  auto& fields = q.head_done ? q.trailers : q.headers;
  if (fields.empty() || gathered(p).in_value) fields.emplace_back();
  gathered(p).in_value = false;
  fields.back().first.append(at, n);
  return 0;
}

int onHeaderValue(llhttp_t* p, const char* at, std::size_t n) {
  Request& q = current(p, at, n);
  auto& fields = q.head_done ? q.trailers : q.headers;
  if (fields.empty()) fields.emplace_back();
  gathered(p).in_value = true;
  fields.back().second.append(at, n);
  return 0;
}

int onHeadersComplete(llhttp_t* p) {
  Request& q = current(p);
  // Rule valueEnds: llhttp keeps the whitespace that ends a field value; it is not part of the value.
  for (auto& [name, value] : q.headers) {
    const std::string l = lowered(name);
    q.tab_in_list |= (l == "transfer-encoding" || l == "connection") && value.find('\t') != std::string::npos;
    value.erase(value.find_last_not_of(" \t") + 1);
  }
  q.major = llhttp_get_http_major(p);
  q.minor = llhttp_get_http_minor(p);
  if (p->flags & F_CHUNKED) {
    q.framing = Framing::Chunked;
  } else if (p->flags & F_CONTENT_LENGTH) {
    q.framing = Framing::Length;
    q.length = p->content_length;
  }
  q.keep_alive = llhttp_should_keep_alive(p) != 0;
  q.head_done = true;
  gathered(p).in_value = false;
  return 0;
}

int onBody(llhttp_t* p, const char* at, std::size_t n) {
  current(p).body.append(at, n);
  current(p).data.emplace_back(at - gathered(p).input, n);
  return 0;
}

int onMessageComplete(llhttp_t* p) {
  current(p).done = true;
  return 0;
}

Gathered readLlhttp(std::string_view input) {
  llhttp_settings_t settings;
  llhttp_settings_init(&settings);
  settings.on_message_begin = onMessageBegin;
  settings.on_method = onMethod;
  settings.on_url = onUrl;
  settings.on_version = onVersion;
  settings.on_header_field = onHeaderField;
  settings.on_header_value = onHeaderValue;
  settings.on_headers_complete = onHeadersComplete;
  settings.on_body = onBody;
  settings.on_message_complete = onMessageComplete;
  llhttp_t parser;
  llhttp_init(&parser, HTTP_REQUEST, &settings);
  Gathered g;
  g.input = input.data();
  parser.data = &g;
  const llhttp_errno_t e = llhttp_execute(&parser, input.data(), input.size());
  if (e == HPE_PAUSED_UPGRADE) {
    g.upgraded = true;
  } else if (e != HPE_OK) {
    g.reading.refused = true;
    g.reading.why = std::string(llhttp_errno_name(e)) + " " + llhttp_get_error_reason(&parser);
    g.reading.error_at = static_cast<std::size_t>(llhttp_get_error_pos(&parser) - input.data());
  }
  return g;
}

std::string show(const Request& q) {
  std::string s = q.method + " " + q.target + " HTTP/" + std::to_string(q.major) + "." + std::to_string(q.minor);
  for (const auto& [name, value] : q.headers) s += " | " + name + ": " + value;
  s += " | framing " + std::to_string(static_cast<int>(q.framing)) + " length " + std::to_string(q.length);
  s += q.keep_alive ? " keep-alive" : " close";
  return s;
}

void compareHeads(const Request& ours, const Request& theirs) {
  const bool same = ours.method == theirs.method && ours.target == theirs.target && ours.major == theirs.major &&
                    ours.minor == theirs.minor && ours.headers == theirs.headers && ours.framing == theirs.framing &&
                    ours.length == theirs.length && ours.keep_alive == theirs.keep_alive;
  if (!same) fail("heads differ", "ours " + show(ours) + "\n  llhttp's " + show(theirs));
}

// --- The rules. Each one is a case where one of us refuses what the other takes, on purpose; the
// reason the refusing side gives picks the rule, and the rule checks, on the other side's reading,
// that the request is that case. Nothing here calls our parser.

std::string lowered(std::string_view s) {
  std::string l(s);
  for (char& c : l) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  return l;
}

bool isTchar(char c) {
  constexpr std::string_view tchars = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789!#$%&'*+-.^_`|~";
  return c != 0 && tchars.find(c) != std::string_view::npos;
}

bool isTokenText(std::string_view s) { return !s.empty() && std::all_of(s.begin(), s.end(), isTchar); }

std::vector<std::string> valuesOf(const Request& q, std::string_view name) {
  std::vector<std::string> values;
  for (const auto& [n, v] : q.headers)
    if (lowered(n) == name) values.push_back(v);
  return values;
}

// The non-empty elements of every field `name`, comma-separated, whitespace around them dropped.
std::vector<std::string> elementsOf(const Request& q, std::string_view name) {
  std::vector<std::string> elements;
  for (const std::string& v : valuesOf(q, name)) {
    std::size_t from = 0;
    for (;;) {
      const std::size_t comma = std::min(v.find(',', from), v.size());
      std::string e = v.substr(from, comma - from);
      e.erase(0, std::min(e.find_first_not_of(" \t"), e.size()));
      e.erase(std::min(e.find_last_not_of(" \t") + 1, e.size()));
      if (!e.empty()) elements.push_back(e);
      if (comma == v.size()) break;
      from = comma + 1;
    }
  }
  return elements;
}

// A host name or address and a port, as far as its bytes go: no userinfo, path or space.
bool isHost(std::string_view s) {
  return s.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~!$&'()*+,;=:[]%") ==
         std::string_view::npos;
}

// Rule http09: llhttp takes a request line without a version as HTTP/0.9; we take only 1.0 and
// 1.1 (505 for a version we lack, 400 for none).
// Rule otherVersion: the 505 itself, for HTTP/2.0 and the like.
bool otherVersion(const Request& q) { return q.major != 1 || q.minor > 1; }

// Rule hostRules: an HTTP/1.1 request needs one Host, and no request may have two or one that is no
// name or address with a port; llhttp does not look at Host.
bool hostRules(const Request& q) {
  const std::vector<std::string> hosts = valuesOf(q, "host");
  return (hosts.empty() && q.minor == 1) || hosts.size() > 1 || (hosts.size() == 1 && !isHost(hosts[0]));
}

// Rule bareCr: llhttp takes a CR followed by any byte as a line end; we take only CRLF.
bool hasBareCr(std::string_view head) {
  for (std::size_t i = head.find('\r'); i != std::string_view::npos; i = head.find('\r', i + 1))
    if (i + 1 < head.size() && head[i + 1] != '\n') return true;
  return false;
}

// Rule bareLf: llhttp takes a lone LF as a line end; we refuse it.
bool hasBareLf(std::string_view head) {
  for (std::size_t i = head.find('\n'); i != std::string_view::npos; i = head.find('\n', i + 1))
    if (i == 0 || head[i - 1] != '\r') return true;
  return false;
}

// Rule obsFold: llhttp takes a line that starts with whitespace as the continuation of a field
// value; we refuse it.
bool hasFold(std::string_view head) {
  return head.find("\n ") != std::string_view::npos || head.find("\n\t") != std::string_view::npos;
}

// Rule leadingLines: llhttp skips any CR and LF before a request line; we skip one CRLF.
bool extraLeadingLines(std::string_view before) {
  return !before.empty() && before != "\r\n" && before.find_first_not_of("\r\n") == std::string_view::npos;
}

// Rule targetForm: we take origin-form with the bytes of a URI and no fragment, "http://" or
// "https://" and a host, and "*" for OPTIONS only; llhttp takes bytes beyond 0x7F, '#', other
// schemes, userinfo, authority-form, and "*" for any method.
bool badTarget(const Request& q) {
  const std::string& t = q.target;
  if (t == "*") return q.method != "OPTIONS";
  constexpr std::string_view uri_bytes =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~:/?[]@!$&'()*+,;=%";
  if (t.empty() || t.find_first_not_of(uri_bytes) != std::string::npos) return true;
  if (t[0] == '/') return false;
  const std::string l = lowered(t);
  const std::size_t from = l.starts_with("http://") ? 7 : l.starts_with("https://") ? 8 : 0;
  const std::string_view authority = std::string_view(t).substr(from, t.find_first_of("/?", from) - from);
  return from == 0 || authority.empty() || !isHost(authority);
}

// Rule fieldNames: llhttp takes field names with whitespace or other bytes no token has, even
// empty ones; a name is a token for us.
bool badName(const Request& q) {
  const auto bad = [](const auto& f) { return !isTokenText(f.first); };
  return std::any_of(q.headers.begin(), q.headers.end(), bad) || std::any_of(q.trailers.begin(), q.trailers.end(), bad);
}

// Rule valueBytes: llhttp takes control bytes in a field value; we take only HTAB.
bool badValue(const Request& q) {
  const auto bad = [](const auto& f) {
    return std::any_of(f.second.begin(), f.second.end(), [](char c) {
      return (static_cast<unsigned char>(c) < 0x20 && c != '\t') || c == 0x7F;
    });
  };
  return std::any_of(q.headers.begin(), q.headers.end(), bad) || std::any_of(q.trailers.begin(), q.trailers.end(), bad);
}

// Rule connectionTokens: Connection is a list of tokens; llhttp reads it only for the ones it knows.
bool badConnection(const Request& q) {
  const std::vector<std::string> options = elementsOf(q, "connection");
  return !std::all_of(options.begin(), options.end(), isTokenText);
}

// Rule codings: the one framing by coding we read is a single Transfer-Encoding field that says
// "chunked", on HTTP/1.1, without Content-Length; llhttp takes other codings before chunked, and
// empty list elements.
bool otherCodings(const Request& q) {
  const std::vector<std::string> codings = valuesOf(q, "transfer-encoding");
  return !codings.empty() && (q.minor == 0 || codings.size() != 1 || lowered(codings[0]) != "chunked" ||
                              !valuesOf(q, "content-length").empty());
}

// The bytes of request `k` as llhttp read it, from where it starts for us, with its payload (chunk
// data or a body by length) blanked out, so that only the head and the chunked framing remain: up
// to where llhttp's next request starts, or to the end of the input.
std::string framingOf(std::string_view input, const Reading& theirs, std::size_t k, std::size_t from) {
  const bool next = k + 1 < theirs.requests.size() && theirs.requests[k + 1].spans_end != 0;
  const std::size_t to = next ? theirs.requests[k + 1].head_from : input.size();
  std::string bytes(input.substr(from, to - from));
  for (const auto& [at, n] : theirs.requests[k].data) bytes.replace(at - from, n, n, 'x');
  return bytes;
}

// Rule requestLineSpaces: llhttp takes more than one space between the parts of a request line.
bool extraSpaces(std::string_view head) {
  const std::string_view line = head.substr(0, head.find_first_of("\r\n"));
  return line.find("  ") != std::string_view::npos;
}

// Rule limits: we bound a head and a trailer section to max_head_size bytes, a head to
// max_header_count fields, a chunk-size line to max_chunk_line_size bytes; llhttp bounds none.
bool overLimits(std::string_view framing, const Request& q, std::size_t head_size) {
  std::size_t longest = 0;
  for (std::size_t from = 0; from < framing.size();) {
    const std::size_t lf = std::min(framing.find('\n', from), framing.size());
    longest = std::max(longest, lf - from);
    from = lf + 1;
  }
  return q.headers.size() > http::max_header_count || head_size > http::max_head_size ||
         longest > http::max_chunk_line_size || framing.size() > http::max_head_size;
}

// Rule chunkDataEnd: llhttp takes any bytes where CRLF must end a chunk's data; we refuse them.
bool badChunkEnd(std::string_view input, const Request& q) {
  return std::any_of(q.data.begin(), q.data.end(), [input](const auto& span) {
    return input.substr(span.first + span.second, 2) != "\r\n";
  });
}

// Whether `line` (without its CRLF) is a chunk-size line by the grammar: hex digits, then
// *( BWS ";" BWS name [ BWS "=" BWS ( token / quoted-string ) ] ).
bool goodChunkLine(std::string_view line) {
  std::size_t i = 0;
  const auto eat = [&](char c) { return i < line.size() && line[i] == c && ++i; };
  const auto ws = [&] { while (eat(' ') || eat('\t')) {} };
  const auto token = [&] {
    const std::size_t from = i;
    while (i < line.size() && isTchar(line[i])) ++i;
    return i > from;
  };
  const auto quoted = [&] {  // after the opening quote
    for (; i < line.size(); ++i) {
      if (eat('"')) return true;
      if (line[i] == '\\') ++i;  // a quoted-pair: the next byte stands for itself
      if (i == line.size() || (static_cast<unsigned char>(line[i]) < 0x20 && line[i] != '\t') || line[i] == 0x7F)
        return false;
    }
    return false;
  };
  while (i < line.size() && std::isxdigit(static_cast<unsigned char>(line[i]))) ++i;
  if (i == 0) return false;
  while (i < line.size()) {
    ws();
    if (!eat(';')) return false;
    ws();
    if (!token()) return false;
    const std::size_t after_name = i;
    ws();
    if (!eat('=')) {
      i = after_name;  // that whitespace comes before the next ";"
      continue;
    }
    ws();
    if (!(eat('"') ? quoted() : token())) return false;
  }
  return true;
}

// Rule extensions: llhttp takes chunk-size lines the grammar does not have (an empty value, a
// space before the CRLF, bytes no token has); we refuse them. The lines start where the body
// starts and two bytes past each chunk's data.
bool badChunkLine(std::string_view input, std::size_t body_from, const Request& q) {
  std::vector<std::size_t> starts{body_from};
  for (const auto& [at, n] : q.data) starts.push_back(at + n + 2);
  return std::any_of(starts.begin(), starts.end(), [input](std::size_t at) {
    const std::string_view line = input.substr(std::min(at, input.size()));
    return !goodChunkLine(line.substr(0, line.find("\r\n")));
  });
}

// Whether our refusal `why` of a request llhttp takes is one we make on purpose. `framing` is the
// request from where it starts for us (`wire_at` in the input) without its payload, `theirs`
// llhttp's reading of it; `head` runs to a few bytes past llhttp's last span in the head, where
// its line ends are.
bool weAreStricter(std::string_view why, std::string_view input, std::string_view framing, std::size_t wire_at,
                   const Request& theirs, std::size_t body_from) {
  const std::string_view head = framing.substr(0, theirs.spans_end + 8 - wire_at);
  const std::string_view request_line = head.substr(theirs.head_from - wire_at);
  if (otherVersion(theirs)) return true;
  if (why == "400 bare CR") return hasBareCr(framing);
  if (why == "400 bare LF") return hasBareLf(framing);
  if (why == "400 folded header line") return hasFold(framing);
  if (why == "400 bad method") return extraLeadingLines(framing.substr(0, theirs.head_from - wire_at));
  if (why == "400 bad request target") return badTarget(theirs) || extraSpaces(request_line);
  if (why == "400 bad HTTP version") return extraSpaces(request_line);
  if (why == "400 whitespace before colon" || why == "400 bad header name") return badName(theirs);
  if (why == "400 control byte in header value") return badValue(theirs);
  if (why == "400 bad Connection") return badConnection(theirs);
  if (why == "400 no CRLF after chunk data") return badChunkEnd(input, theirs);
  if (why == "400 bad chunk extension" || why == "400 bad chunk size") return badChunkLine(input, body_from, theirs);
  if (why.starts_with("431") || why == "400 chunk extensions too long")
    return overLimits(framing, theirs, theirs.spans_end + 8 - wire_at);
  if (why.find("Host") != std::string_view::npos) return hostRules(theirs);
  if (why.find("Transfer-Encoding") != std::string_view::npos || why.find("coding") != std::string_view::npos)
    return otherCodings(theirs);
  return false;
}

// Rule methods: llhttp knows a fixed list of methods for HTTP (others only for RTSP); any token is
// a method for us.
bool unknownMethod(const Request& q) {
  static const std::vector<std::string_view> known = {
#define METHOD_NAME(num, name, text) #text,
      HTTP_METHOD_MAP(METHOD_NAME)
#undef METHOD_NAME
  };
  return std::find(known.begin(), known.end(), q.method) == known.end();
}

// Rule sameLength: we take Content-Length repeated with the same value; llhttp refuses any repeat.
bool repeatedLength(const Request& q) {
  const std::vector<std::string> lengths = valuesOf(q, "content-length");
  return lengths.size() > 1 || (lengths.size() == 1 && lengths[0].find(',') != std::string::npos);
}

// Whether llhttp's refusal `why` of a request we take is one where llhttp is the stricter; `before`
// is the input up to the byte it refused, `refused` that byte.
bool llhttpIsStricter(std::string_view why, const Request& ours, std::string_view before, char refused) {
  // Rule trailerFraming: llhttp holds the fields of a trailer section to its rules for Content-Length
  // and Transfer-Encoding; we drop trailer fields unread.
  if (before.size() >= ours.body_from && ours.framing == Framing::Chunked &&
      (why.find("Content-Length") != std::string_view::npos || why.find("Transfer-Encoding") != std::string_view::npos))
    return true;
  if (why.starts_with("HPE_INVALID_METHOD") || why.ends_with("Invalid method for HTTP/x.x request"))
    return unknownMethod(ours);
  // Rule preface: llhttp reads method PRI only as the start of HTTP/2's connection preface, and
  // refuses it or waits for the rest of that.
  if (why.ends_with("Expected HTTP/2 Connection Preface")) return ours.method == "PRI";
  if (why.starts_with("HPE_UNEXPECTED_CONTENT_LENGTH")) return repeatedLength(ours);
  // Rule quotedPair: llhttp takes no backslash in a quoted chunk extension value.
  if (why.ends_with("Invalid character in chunk extensions quoted value"))
    return refused == '\\' || before.substr(before.rfind('\n') + 1).find('\\') != std::string_view::npos;
  // Rule tabInList, for Content-Length: llhttp refuses an HTAB after the digits.
  if (why.starts_with("HPE_INVALID_CONTENT_LENGTH") && refused == '\t') return true;
  // Rule extensionSpace: llhttp takes no whitespace around ";" and "=" in chunk extensions, which
  // the grammar allows there (BWS).
  const auto space = [](char c) { return c == ' ' || c == '\t'; };
  if (why.find("chunk") != std::string_view::npos && (space(refused) || (!before.empty() && space(before.back()))))
    return true;
  // Rule extensionAfterValue: llhttp takes no second chunk extension after one with a value.
  if (why.ends_with("Invalid character in chunk size")) {
    const std::string_view line = before.substr(before.rfind('\n') + 1);
    return line.ends_with(";") && line.find('=') != std::string_view::npos;
  }
  return false;
}

// Rule tabInList: llhttp does not know "chunked", "close" or "keep-alive" next to an HTAB (in
// whitespace that is no part of the element), and so reads no chunked body or keeps a connection
// it should close; we read them as they are. The heads agree but for framing and keep-alive, and
// nothing after them can be compared.
bool tabInList(const Request& ours, Request& theirs) {
  if (!theirs.tab_in_list) return false;
  theirs.framing = ours.framing;
  theirs.length = ours.length;
  theirs.keep_alive = ours.keep_alive;
  compareHeads(ours, theirs);
  return true;
}

// Rule closeWins: a request that says both "close" and "keep-alive" closes for us; llhttp keeps an
// HTTP/1.0 one. (What follows is then never read: rule closeEnds.)
void closeWins(Request& theirs) {
  const std::vector<std::string> options = elementsOf(theirs, "connection");
  const auto says = [&](std::string_view o) {
    return std::any_of(options.begin(), options.end(), [o](const std::string& e) { return lowered(e) == o; });
  };
  if (says("close") && says("keep-alive")) theirs.keep_alive = false;
}

// How far a reader got with a request: not through its head, through its head, through its body.
enum class Stage { Nothing, Head, Whole };

Stage stage(const Reading& r, std::size_t k) {
  if (k >= r.requests.size()) return Stage::Nothing;
  return r.requests[k].done ? Stage::Whole : r.requests[k].head_done ? Stage::Head : Stage::Nothing;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const Reading ours = readOurs(input);
  Gathered g = readLlhttp(input);
  Reading& theirs = g.reading;
  // llhttp reads nothing past a request that asks for an upgrade, not even its body.
  if (g.upgraded) theirs.requests.back().done = false;
  for (Request& q : theirs.requests) closeWins(q);

  const std::size_t k = std::min(ours.firstNotDone(), theirs.firstNotDone());
  for (std::size_t i = 0; i < k; ++i) {
    if (tabInList(ours.requests[i], theirs.requests[i])) return 0;
    compareHeads(ours.requests[i], theirs.requests[i]);
    if (ours.requests[i].body != theirs.requests[i].body) fail("bodies differ");
    // Rule closeEnds: after a request that does not keep the connection, llhttp reads no other;
    // the connection closes once it is answered, so what follows is never read.
    if (!ours.requests[i].keep_alive) return 0;
  }
  // Request k is the first one of us has not finished.
  const Stage our_stage = stage(ours, k), their_stage = stage(theirs, k);
  if (our_stage != Stage::Nothing && their_stage != Stage::Nothing) {
    if (tabInList(ours.requests[k], theirs.requests[k])) return 0;
    compareHeads(ours.requests[k], theirs.requests[k]);
  }
  const bool we_refuse = ours.refused && ours.firstNotDone() == k;
  const bool they_refuse = theirs.refused && theirs.firstNotDone() == k;
  if (we_refuse && they_refuse) return 0;
  if (we_refuse) {
    if (their_stage <= our_stage) return 0;  // llhttp has not read past what we refuse yet
    const std::size_t body_from = our_stage == Stage::Head ? ours.requests[k].body_from : 0;
    if (weAreStricter(ours.why, input, framingOf(input, theirs, k, ours.open_at), ours.open_at, theirs.requests[k],
                      body_from))
      return 0;
    fail("we refuse what llhttp takes", ours.why + "; llhttp's " + show(theirs.requests[k]));
  }
  if (g.upgraded) return 0;
  if (they_refuse) {
    if (our_stage <= their_stage) return 0;
    const char refused = theirs.error_at < input.size() ? input[theirs.error_at] : '\0';
    if (llhttpIsStricter(theirs.why, ours.requests[k], input.substr(0, theirs.error_at), refused)) return 0;
    const std::size_t from = theirs.error_at > 12 ? theirs.error_at - 12 : 0;
    fail("llhttp refuses what we take", theirs.why + " at offset " + std::to_string(theirs.error_at) + " after \"" +
                                            std::string(input.substr(from, theirs.error_at - from)) + "\"; ours " +
                                            show(ours.requests[k]));
  }
  if (our_stage == their_stage) return 0;
  // Rule bareCr: we wait for the LF that ends a line where llhttp took a CR and any byte.
  if (our_stage < their_stage && hasBareCr(framingOf(input, theirs, k, ours.open_at))) return 0;
  if (our_stage > their_stage && ours.requests[k].method == "PRI") return 0;  // rule preface
  fail(our_stage > their_stage ? "llhttp waits for more where we do not" : "we wait for more where llhttp does not");
  return 0;
}
