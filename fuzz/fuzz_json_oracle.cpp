// Fuzzes the JSON reader and value writer against RapidJSON, a reader written independently of
// ours. Every input goes to both:
// - both accept it or both reject it;
// - on an accepted text the values are equal: strings byte for byte, integers exactly, floats as
//   the same double, members in their order;
// - our compact text of an accepted value (when the writer takes it) reads in RapidJSON as the
//   same value.
// Where our rules and RapidJSON's differ on purpose, or RapidJSON cannot be trusted, one named rule
// below says how and checks that the input is that case; anything else is a disagreement and aborts
// with a message, which libFuzzer reports as a crash. Numbers RapidJSON cannot be trusted with are
// checked against the C library's strtoll and strtod instead.
//
// RapidJSON reads strict RFC 8259 here: no comments, trailing commas, NaN or Infinity (their flags
// stay off), UTF-8 checked in strings, floats in full precision, the iterative reader (no
// recursion and no depth limit, like ours), and no kParseStopWhenDoneFlag, so anything but
// whitespace after the value rejects the text. It reads the bytes through a bare MemoryStream:
// Document::Parse(text, length) would wrap them in an EncodedInputStream, which skips a leading
// byte-order mark, and even its bytes EF, BB and BF one at a time.

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/memorystream.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "protocol/json.h"

namespace {

using json::Kind;
using json::Value;
using OracleValue = rapidjson::Value;

constexpr unsigned oracle_flags =
    rapidjson::kParseValidateEncodingFlag | rapidjson::kParseIterativeFlag | rapidjson::kParseFullPrecisionFlag;

[[noreturn]] void fail(const char* what, const std::string& detail = {}) {
  std::fprintf(stderr, "fuzz_json_oracle: %s%s%s\n", what, detail.empty() ? "" : ": ", detail.c_str());
  std::abort();
}

void check(bool ok, const char* what) {
  if (!ok) fail(what);
}

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Length of the number that starts at `at` by the JSON grammar, as far as the grammar goes: "1.x"
// gives 1 and "1e+" gives 1. Zero when no number starts there.
std::size_t numberLength(std::string_view s, std::size_t at) {
  std::size_t i = at;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < s.size() && isDigit(s[i])) ++i;
    return i - from;
  };
  if (i < s.size() && s[i] == '-') ++i;
  if (i < s.size() && s[i] == '0') {
    ++i;
  } else if (digits() == 0) {
    return 0;
  }
  if (i + 1 < s.size() && s[i] == '.' && isDigit(s[i + 1])) {
    ++i;
    digits();
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
    if (j < s.size() && isDigit(s[j])) {
      i = j;
      digits();
    }
  }
  return i - at;
}

// The number tokens of a text, in order. Strings are skipped whole, so digits inside them are not
// taken for numbers. On a text both readers accept these are exactly its numbers; on any other
// text they are exact up to where RapidJSON stops reading, which is all that matters there.
std::vector<std::string_view> numberTokens(std::string_view s) {
  std::vector<std::string_view> tokens;
  for (std::size_t i = 0; i < s.size();) {
    if (s[i] == '"') {
      for (++i; i < s.size() && s[i] != '"'; ++i)
        if (s[i] == '\\') ++i;
      ++i;
    } else if (const std::size_t n = numberLength(s, i); n != 0) {
      tokens.push_back(s.substr(i, n));
      i += n;
    } else {
      ++i;
    }
  }
  return tokens;
}

double cDouble(std::string_view t) { return std::strtod(std::string(t).c_str(), nullptr); }

bool allDigitsZero(std::string_view t) {
  return t.substr(0, t.find_first_of("eE")).find_first_of("123456789") == std::string_view::npos;
}

// Rule zeroOffFastPath: RapidJSON reads a number whose digits are all zero right only on its fast
// path, where its exponent less its count of fraction digits lies between -22 and 37 ("0", "-0.0",
// "0e30"). Elsewhere ("0e38", "0.00000000000000000000000") it returns a wrong value, even NaN.
bool zeroOffFastPath(std::string_view t) {
  if (!allDigitsZero(t)) return false;
  const std::size_t e = std::min(t.find_first_of("eE"), t.size());
  const std::size_t point = t.find('.');
  const long fraction = point < e ? static_cast<long>(e - point - 1) : 0;
  long exponent = 0;
  for (std::size_t i = e + 1; i < t.size(); ++i)
    if (isDigit(t[i])) exponent = std::min(exponent * 10 + (t[i] - '0'), 1'000'000'000L);
  if (e + 1 < t.size() && t[e + 1] == '-') exponent = -exponent;
  return exponent - fraction < -22 || exponent - fraction > 37;
}

// Rule outOfRange: a number whose double is zero though its digits are not, or infinite. RapidJSON
// checks the range only roughly, and past its checks it returns wrong values ("1e-325" gives
// -2.2e307, "10e308" a tiny double) or reads outside its table of powers of ten, which may end the
// process. We read the first kind as a float zero and keep the second's text.
bool outOfRange(std::string_view t) {
  const double d = cDouble(t);
  return std::isinf(d) || (d == 0 && !allDigitsZero(t));
}

// Rule uint64Edge: RapidJSON adds up the significant digits of a number (the point aside, leading
// zeros dropped) wrongly when the first twenty are 2^64 - 1 (18446744073709551615) and a digit
// from 5 up follows: "184467440737095516155" comes back as 16, "-0.184467440737095516155" as
// -1.4e-20, sometimes as a huge double ("...5154" is read right). Such numbers are checked
// against the C library instead.
bool uint64Edge(std::string_view t) {
  std::string digits;
  for (char c : t.substr(0, t.find_first_of("eE"))) {
    if (isDigit(c) && (c != '0' || !digits.empty())) digits += c;
  }
  constexpr std::string_view max = "18446744073709551615";
  return digits.size() > max.size() && digits.starts_with(max) && digits[max.size()] >= '5';
}

// Whether a value may start at `at`, judged by the byte before it. A number right after another
// token ("1.5-2e999") is an error RapidJSON finds before it reads the number, and a stand-in there
// could run on from that token ("1.50e0") and make the text valid.
bool startsValue(std::string_view text, std::size_t at) {
  if (at == 0) return true;
  const char c = text[at - 1];
  return c == '[' || c == ',' || c == ':' || c == ' ' || c == '\n' || c == '\r' || c == '\t';
}

// RapidJSON's reading of a text. A number it cannot be trusted with (rules zeroOffFastPath,
// outOfRange and uint64Edge, found before it reads) or that it refuses (rule refusesBigNumber,
// found as it reads) is replaced by a stand-in: "0e0" padded with spaces to the number's length.
// Where a value may start, that leaves the text exactly as valid as before (what follows a number cannot continue
// "0e0" either) and everything else at its offset. Stood-in numbers are checked against the C
// library's conversions instead (sameAsText).
class Oracle {
 public:
  explicit Oracle(std::string_view text) : text_(text) {
    for (std::string_view t : numberTokens(text)) {
      const auto at = static_cast<std::size_t>(t.data() - text.data());
      if (startsValue(text, at) && (zeroOffFastPath(t) || outOfRange(t) || uint64Edge(t))) stood_in_.push_back(at);
    }
    for (std::size_t at : stood_in_) standIn(at);
    for (;;) {
      doc_.emplace();
      rapidjson::MemoryStream in(text_.data(), text_.size());
      doc_->ParseStream<oracle_flags, rapidjson::UTF8<>>(in);
      const rapidjson::ParseErrorCode error = doc_->GetParseError();
      if (error == rapidjson::kParseErrorNone) {
        // Rule endsAtNul: RapidJSON's streams show the end of the input as a 0 byte, so it stops
        // at a 0 byte between tokens as if the text ended there. It has read the text only when
        // it got to the last byte; otherwise what follows the 0 byte is left over and the text
        // counts as rejected (we never accept a raw 0 byte).
        accepted_ = in.Tell() == text_.size();
        break;
      }
      // Rule refusesBigNumber: RapidJSON refuses with kParseErrorNumberTooBig a number whose
      // integer part passes DBL_MAX / 10 while it adds up the digits, though the number's double
      // may be finite (DBL_MAX written out in full, or 5 and 320 zeros then e-300). We keep a
      // whole one as its text and read one with a fraction or exponent as a float.
      if (error != rapidjson::kParseErrorNumberTooBig) break;
      stood_in_.push_back(doc_->GetErrorOffset());
      standIn(stood_in_.back());
    }
    std::sort(stood_in_.begin(), stood_in_.end());
  }

  bool accepted() const { return accepted_; }
  const OracleValue& root() const { return *doc_; }
  // Whether the number at `offset` of the text was replaced by a stand-in.
  bool stoodIn(std::size_t offset) const { return std::binary_search(stood_in_.begin(), stood_in_.end(), offset); }
  std::string error() const {
    if (accepted_) return "accepted";
    if (!doc_->HasParseError()) return "stopped at a 0 byte at offset " + std::to_string(text_.find('\0'));
    return std::string(rapidjson::GetParseError_En(doc_->GetParseError())) + " at offset " +
           std::to_string(doc_->GetErrorOffset());
  }

 private:
  void standIn(std::size_t at) {
    const std::size_t n = numberLength(text_, at);
    check(n >= 3, "a number to stand in for is shorter than its stand-in");
    text_.replace(at, n, "0e0" + std::string(n - 3, ' '));
  }

  std::string text_;                   // the text as RapidJSON reads it, with the stand-ins
  std::vector<std::size_t> stood_in_;  // offsets of the numbers replaced by a stand-in
  std::optional<rapidjson::Document> doc_;
  bool accepted_ = false;
};

std::string_view textOf(const OracleValue& v) { return {v.GetString(), v.GetStringLength()}; }

// Calls visit(v) for every value in `root`, without recursion.
template <class Visit>
void forEachValue(const OracleValue& root, Visit visit) {
  std::vector<const OracleValue*> todo{&root};
  while (!todo.empty()) {
    const OracleValue* v = todo.back();
    todo.pop_back();
    visit(*v);
    if (v->IsArray()) {
      for (const OracleValue& item : v->GetArray()) todo.push_back(&item);
    } else if (v->IsObject()) {
      for (const auto& m : v->GetObject()) todo.push_back(&m.value);
    }
  }
}

// Rule repeatedName: a member name repeated in one object (byte for byte, after unescaping) rejects
// the whole text for us; RapidJSON keeps every member.
bool hasRepeatedName(const OracleValue& root) {
  bool found = false;
  std::vector<std::string_view> names;
  forEachValue(root, [&](const OracleValue& v) {
    if (!v.IsObject()) return;
    names.clear();
    for (const auto& m : v.GetObject()) names.push_back(textOf(m.name));
    std::sort(names.begin(), names.end());
    found = found || std::adjacent_find(names.begin(), names.end()) != names.end();
  });
  return found;
}

// Rule loneSurrogate: a \u escape of a low surrogate (DC00 to DFFF) with no high surrogate before it
// rejects the text for us; RapidJSON takes it and stores the three bytes ED B0..BF xx, which are
// not UTF-8. It checks raw bytes, so those bytes come only from such an escape. (A lone high
// surrogate both reject.)
bool hasLoneSurrogate(const OracleValue& root) {
  const auto surrogate = [](std::string_view s) {
    for (std::size_t i = 0; i + 1 < s.size(); ++i)
      if (static_cast<unsigned char>(s[i]) == 0xED && static_cast<unsigned char>(s[i + 1]) >= 0xA0) return true;
    return false;
  };
  bool found = false;
  forEachValue(root, [&](const OracleValue& v) {
    if (v.IsString()) found = found || surrogate(textOf(v));
    if (v.IsObject())
      for (const auto& m : v.GetObject()) found = found || surrogate(textOf(m.name));
  });
  return found;
}

// Whether number text `t` reads, by the C library, as what our reader made of it: an integer within
// 64 bits is an Integer; "-0" and a number with a fraction or exponent is a Float unless its double
// is infinite; what fits neither is a NumberString with the text as written.
bool sameAsText(const Value& ours, std::string_view t) {
  const std::string s(t);  // strtoll and strtod want a terminated string
  if (s.find_first_of(".eE") == std::string::npos && s != "-0") {
    errno = 0;
    const long long i = std::strtoll(s.c_str(), nullptr, 10);
    if (errno != ERANGE) return ours.kind == Kind::Integer && ours.integer == i;
    return ours.kind == Kind::NumberString && ours.text() == t;
  }
  const double d = std::strtod(s.c_str(), nullptr);
  if (std::isinf(d)) return ours.kind == Kind::NumberString && ours.text() == t;
  return ours.kind == Kind::Float && bits(ours.number) == bits(d);
}

// Rule offByOne: RapidJSON's full-precision reading now and then rounds a number of many digits to
// the neighbouring double (about one in 150,000 random numbers of up to a few hundred digits). When
// its double is one step from ours, the C library's correctly rounded strtod decides.
bool sameDouble(double ours, double theirs, std::string_view t) {
  if (bits(ours) == bits(theirs)) return true;
  const std::uint64_t a = bits(ours), b = bits(theirs);
  return (a > b ? a - b : b - a) == 1 && bits(cDouble(t)) == a;
}

// Which text RapidJSON read: the input, or the text our writer made of our value.
enum class Source { Input, Written };

// Whether RapidJSON's number `theirs` is our number `ours`, whose text was `t`.
bool sameNumber(const Value& ours, const OracleValue& theirs, std::string_view t, Source source) {
  if (!theirs.IsNumber()) return false;
  if (theirs.IsDouble()) {
    if (ours.kind == Kind::Float) return sameDouble(ours.number, theirs.GetDouble(), t);
    // Rule bigInteger: an integer beyond 64 bits keeps its text with us; RapidJSON reads its double.
    return ours.kind == Kind::NumberString && sameAsText(ours, t) && sameDouble(cDouble(t), theirs.GetDouble(), t);
  }
  if (!theirs.IsInt64()) {
    // Rule bigInteger: from 2^63 to 2^64 - 1 RapidJSON reads an unsigned integer.
    if (ours.kind == Kind::NumberString) return ours.text() == std::to_string(theirs.GetUint64());
    // Rule wholeFloat: our writer writes a whole float without a fraction part, so RapidJSON
    // reads it back as an integer; its double is ours.
    return source == Source::Written && ours.kind == Kind::Float &&
           bits(ours.number) == bits(static_cast<double>(theirs.GetUint64()));
  }
  const std::int64_t i = theirs.GetInt64();
  if (ours.kind == Kind::Integer) return ours.integer == i;
  if (ours.kind != Kind::Float) return false;
  // Rule minusZero: "-0" is the float -0.0 for us and the integer 0 for RapidJSON.
  if (i == 0 && bits(ours.number) == bits(-0.0) && t == "-0") return true;
  return source == Source::Written && bits(ours.number) == bits(static_cast<double>(i));  // wholeFloat
}

std::string describe(const Value& v) {
  if (v.kind == Kind::Array || v.kind == Kind::Object) return v.kind == Kind::Array ? "our array" : "our object";
  std::pmr::monotonic_buffer_resource arena;
  json::Text text(&arena);
  check(json::writeValue(text, v), "writeValue refused a scalar");
  return "our " + std::string(text.substr(0, 80));
}

std::string describe(const OracleValue& v) {
  if (v.IsNull()) return "RapidJSON's null";
  if (v.IsBool()) return v.GetBool() ? "RapidJSON's true" : "RapidJSON's false";
  if (v.IsString()) return "RapidJSON's string of " + std::to_string(v.GetStringLength()) + " bytes";
  if (v.IsDouble()) {
    char d[40];
    std::snprintf(d, sizeof d, "%.17g", v.GetDouble());
    return std::string("RapidJSON's double ") + d;
  }
  if (v.IsInt64()) return "RapidJSON's integer " + std::to_string(v.GetInt64());
  if (v.IsUint64()) return "RapidJSON's integer " + std::to_string(v.GetUint64());
  return v.IsArray() ? "RapidJSON's array" : "RapidJSON's object";
}

// Compares our value with RapidJSON's reading of `text`, depth first in text order (no recursion),
// so that the n-th number met is the n-th number token of the text.
void compare(const Value& our_root, const Oracle& oracle, std::string_view text, Source source) {
  const char* what = source == Source::Input ? "values differ" : "our written text reads back differently";
  const std::vector<std::string_view> numbers = numberTokens(text);
  std::size_t next_number = 0;
  std::vector<std::pair<const Value*, const OracleValue*>> todo{{&our_root, &oracle.root()}};
  while (!todo.empty()) {
    const auto [ours, theirs] = todo.back();
    todo.pop_back();
    bool same = false;
    switch (ours->kind) {
      case Kind::Null: same = theirs->IsNull(); break;
      case Kind::Bool: same = theirs->IsBool() && theirs->GetBool() == ours->boolean; break;
      case Kind::String: same = theirs->IsString() && textOf(*theirs) == ours->text(); break;
      case Kind::Integer:
      case Kind::Float:
      case Kind::NumberString: {
        check(next_number < numbers.size(), "more numbers in our value than number tokens in the text");
        const std::string_view t = numbers[next_number++];
        same = oracle.stoodIn(static_cast<std::size_t>(t.data() - text.data()))
                   ? theirs->IsNumber() && sameAsText(*ours, t)
                   : sameNumber(*ours, *theirs, t, source);
        break;
      }
      case Kind::Array:
        same = theirs->IsArray() && theirs->Size() == ours->size;
        for (std::size_t i = ours->size; same && i-- > 0;) todo.emplace_back(&ours->items()[i], &(*theirs)[i]);
        break;
      case Kind::Object:
        same = theirs->IsObject() && theirs->MemberCount() == ours->size;
        for (std::size_t i = 0; same && i < ours->size; ++i)
          same = textOf(theirs->MemberBegin()[i].name) == ours->members()[i].key;
        for (std::size_t i = ours->size; same && i-- > 0;)
          todo.emplace_back(&ours->members()[i].value, &theirs->MemberBegin()[i].value);
        break;
    }
    if (!same) fail(what, describe(*ours) + ", " + describe(*theirs));
  }
  check(next_number == numbers.size(), "fewer numbers in our value than number tokens in the text");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  std::pmr::monotonic_buffer_resource arena;
  const std::optional<Value> ours = json::parse(arena, input);
  const Oracle oracle(input);
  if (!oracle.accepted()) {
    if (ours) fail("we accept a text RapidJSON rejects", oracle.error());
    return 0;
  }
  if (hasRepeatedName(oracle.root()) || hasLoneSurrogate(oracle.root())) {
    check(!ours, "we accept a repeated member name or a lone surrogate");
    return 0;
  }
  if (!ours) fail("we reject a text RapidJSON accepts");
  compare(*ours, oracle, input, Source::Input);

  // Values nested deeper than max_write_depth are refused by the writer (fuzz_json checks where).
  json::Text written(&arena);
  if (!json::writeValue(written, *ours)) return 0;
  const Oracle again(written);
  if (!again.accepted()) fail("RapidJSON rejects our written text", again.error());
  check(!hasRepeatedName(again.root()) && !hasLoneSurrogate(again.root()),
        "our written text repeats a member name or escapes a lone surrogate");
  compare(*ours, again, written, Source::Written);
  return 0;
}
