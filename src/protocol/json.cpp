// The parser reads the text once, left to right, with an explicit stack instead of recursion. The
// elements of every open array and object wait on one shared scratch stack (member names on a second
// one); when a container closes, its elements are copied contiguously into the arena and popped, so
// each element is copied once and the work stays linear however deep or wide the text is. Decoded
// strings and kept number texts go into one arena buffer as long as the rest of the text, each at its
// own offset: decoding never lengthens a string, so a typical message costs two arena allocations
// (that buffer and its object's members).

#include "protocol/json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <system_error>
#include <vector>

namespace json {
namespace {

constexpr std::uint64_t ones = 0x0101010101010101;
constexpr std::uint64_t high_bits = 0x8080808080808080;

std::uint64_t load8(const char* p) {
  std::uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
}

// Nonzero when some byte of `x` is zero; exact as a yes/no answer.
std::uint64_t hasZeroByte(std::uint64_t x) { return (x - ones) & ~x & high_bits; }

// Nonzero when some byte of `x` needs a second look inside a string: a control byte, '"', '\' or
// anything non-ASCII.
std::uint64_t hasSpecialByte(std::uint64_t x) {
  return ((x - ones * 0x20) & ~x & high_bits) | hasZeroByte(x ^ (ones * '"')) |
         hasZeroByte(x ^ (ones * '\\')) | (x & high_bits);
}

bool isContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// Length of the well-formed UTF-8 sequence that starts with the non-ASCII byte at `p`, or 0. The
// second byte's range is what excludes overlong forms, surrogates and code points above U+10FFFF.
std::size_t sequenceLength(const char* p, const char* end) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  const std::size_t avail = static_cast<std::size_t>(end - p);
  const unsigned c = u[0];
  if (c < 0xC2) return 0;  // stray continuation byte, or C0/C1 (always overlong)
  if (c < 0xE0) return avail >= 2 && isContinuation(u[1]) ? 2 : 0;
  if (c < 0xF0) {
    const unsigned lo = c == 0xE0 ? 0xA0 : 0x80, hi = c == 0xED ? 0x9F : 0xBF;
    return avail >= 3 && u[1] >= lo && u[1] <= hi && isContinuation(u[2]) ? 3 : 0;
  }
  if (c < 0xF5) {
    const unsigned lo = c == 0xF0 ? 0x90 : 0x80, hi = c == 0xF4 ? 0x8F : 0xBF;
    return avail >= 4 && u[1] >= lo && u[1] <= hi && isContinuation(u[2]) && isContinuation(u[3]) ? 4 : 0;
  }
  return 0;
}

bool isPlainAscii(unsigned char c) { return c >= 0x20 && c < 0x80 && c != '"' && c != '\\'; }

// Skips string bytes that need no decoding and no UTF-8 check.
const char* skipPlainAscii(const char* p, const char* end) {
  while (end - p >= 8) {
    // Borrows only ever mark bytes after a true match, so the lowest mark is the first special byte.
    if (std::uint64_t special = hasSpecialByte(load8(p))) {
      if constexpr (std::endian::native == std::endian::little) return p + std::countr_zero(special) / 8;
      break;
    }
    p += 8;
  }
  while (p != end && isPlainAscii(static_cast<unsigned char>(*p))) ++p;
  return p;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits after "\u" at `p`, or -1.
long hex4(const char* p, const char* end) {
  if (end - p < 4) return -1;
  long v = 0;
  for (int i = 0; i < 4; ++i) {
    const int d = hexDigit(p[i]);
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

char* putUtf8(char* d, unsigned long cp) {
  if (cp < 0x80) {
    *d++ = static_cast<char>(cp);
  } else if (cp < 0x800) {
    *d++ = static_cast<char>(0xC0 | (cp >> 6));
    *d++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    *d++ = static_cast<char>(0xE0 | (cp >> 12));
    *d++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *d++ = static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    *d++ = static_cast<char>(0xF0 | (cp >> 18));
    *d++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    *d++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    *d++ = static_cast<char>(0x80 | (cp & 0x3F));
  }
  return d;
}

// from_chars reports overflow and underflow alike and leaves the result untouched, so the direction
// is read from the text: the decimal exponent of the first significant digit. Only values beyond
// about 1e308 or below about 1e-324 get here, so its sign alone decides.
bool overflows(std::string_view t) {
  std::int64_t position = 0, first = 0, int_digits = -1;  // positions of digits count from 1
  std::size_t i = t[0] == '-' ? 1 : 0;
  for (; i < t.size() && t[i] != 'e' && t[i] != 'E'; ++i) {
    if (t[i] == '.') {
      int_digits = position;
      continue;
    }
    ++position;
    if (first == 0 && t[i] != '0') first = position;
  }
  if (int_digits < 0) int_digits = position;
  std::int64_t exponent = 0;
  if (i < t.size()) {
    const bool negative = t[++i] == '-';
    if (t[i] == '-' || t[i] == '+') ++i;
    // Saturates far beyond any digit position a text in memory can have.
    for (; i < t.size(); ++i)
      exponent = std::min<std::int64_t>(exponent * 10 + (t[i] - '0'), 1'000'000'000'000'000);
    if (negative) exponent = -exponent;
  }
  return int_digits - first + exponent >= 0;
}

// A stack for the parser's scratch that grows by chaining chunks, each twice as large as the one
// before, so nothing it holds ever moves: pointers to items stay valid until they are popped, and
// no item is copied twice. The first chunk lives inside the stack, so small texts never allocate
// for it; later chunks come from the arena and are reused when the stack shrinks and grows again.
template <class T, std::size_t N>
class Scratch {
 public:
  explicit Scratch(std::pmr::memory_resource& a) : a_(a) {}
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    for (Chunk* c = first_.next; c != nullptr;) {
      Chunk* next = c->next;
      a_.deallocate(c, sizeof(Chunk) + c->cap * sizeof(T), alignof(Chunk));
      c = next;
    }
  }

  T& push(const T& v) {
    if (used_ == top_->cap) advance();
    return *std::construct_at(top_->items + used_++, v);
  }
  T& back() { return top_->items[used_ - 1]; }
  void pop() { take(1, [](std::size_t, const T&) {}); }
  bool empty() const { return used_ == 0; }

  // Calls put(i, item) for each of the top `n` items, i = 0 for the oldest, then pops them.
  template <class Put>
  void take(std::size_t n, Put put) {
    std::size_t left = n;
    for (;;) {
      const std::size_t k = std::min(left, used_);
      for (std::size_t j = 0; j < k; ++j) put(left - k + j, top_->items[used_ - k + j]);
      left -= k;
      used_ -= k;
      if (used_ != 0 || top_->prev == nullptr) break;
      top_ = top_->prev;  // chunks below the top one are always full
      used_ = top_->cap;
      if (left == 0) break;
    }
  }

 private:
  struct Chunk {
    T* items;
    std::size_t cap;
    Chunk* prev;
    Chunk* next;
  };

  void advance() {
    if (top_->next == nullptr) {
      static_assert(alignof(T) <= alignof(Chunk));
      const std::size_t cap = 2 * top_->cap;
      auto* c = static_cast<Chunk*>(a_.allocate(sizeof(Chunk) + cap * sizeof(T), alignof(Chunk)));
      top_->next = std::construct_at(c, Chunk{reinterpret_cast<T*>(c + 1), cap, top_, nullptr});
    }
    top_ = top_->next;
    used_ = 0;
  }

  std::pmr::memory_resource& a_;
  alignas(T) unsigned char local_[N * sizeof(T)];
  Chunk first_{reinterpret_cast<T*>(local_), N, nullptr, nullptr};
  Chunk* top_ = &first_;
  std::size_t used_ = 0;  // items in *top_
};

// Objects up to this size are checked for repeated names pair by pair; larger ones sort a copy of
// their names, which keeps hostile texts at n log n.
constexpr std::size_t pairwise_limit = 16;

class Parser {
 public:
  Parser(std::pmr::memory_resource& a, std::string_view text)
      : a_(a), p_(text.data()), end_(text.data() + text.size()), values_(a), names_(a), open_(a) {}
  ~Parser() {
    if (sorted_) a_.deallocate(sorted_, sorted_cap_ * sizeof(std::string_view), alignof(std::string_view));
  }
  std::optional<Value> run();

 private:
  Value* startElement(Value& container);
  bool close(Value& container);
  bool scalar(Value& v);
  // The text of a number, as the grammar reads it.
  struct NumberText {
    std::string_view text;
    bool negative = false;
    bool real = false;           // it has a fraction or an exponent
    bool short_integer = false;  // an integer of at most 18 digits, whose value is `whole`
    std::uint64_t whole = 0;
  };
  // Reads the text of the number under p_; false when it breaks the grammar.
  bool numberText(NumberText& n);
  // Reads the number under p_ and converts it to the kind that keeps its value.
  bool number(Value& v);
  bool string(std::string_view& out);
  bool escape(char*& d);
  bool literal(std::string_view word);
  bool hasRepeatedName(const Member* m, std::size_t n);
  char* storage(const char* at);
  // Most tokens follow one another directly: one comparison settles that case.
  void skipSpace() {
    while (p_ != end_ && static_cast<unsigned char>(*p_) <= ' ' &&
           (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t'))
      ++p_;
  }

  std::pmr::memory_resource& a_;
  const char* p_;
  const char* end_;
  char* store_ = nullptr;  // decoded strings and kept number texts, at their offsets from store_from_
  const char* store_from_ = nullptr;
  std::string_view* sorted_ = nullptr;  // sort buffer for the names of large objects
  std::size_t sorted_cap_ = 0;
  // The elements of every open container so far, innermost last, and the names of open objects'
  // members. An open container counts its elements in its `size`.
  Scratch<Value, 32> values_;
  Scratch<std::string_view, 16> names_;
  Scratch<Value*, 16> open_;
};

std::optional<Value> Parser::run() {
  Value root;
  Value* due = &root;  // where the next value goes
  for (;;) {
    skipSpace();
    if (p_ == end_) return std::nullopt;
    const char c = *p_;
    if (c == '[' || c == '{') {
      due->kind = c == '[' ? Kind::Array : Kind::Object;
      ++p_;
      skipSpace();
      if (p_ == end_ || *p_ != (c == '[' ? ']' : '}')) {
        open_.push(due);
        due = startElement(*due);
        if (due == nullptr) return std::nullopt;
        continue;
      }
      ++p_;  // empty: no elements, nothing to allocate
    } else if (!scalar(*due)) {
      return std::nullopt;
    }
    // The value is complete: close what ends here, then find where the next value goes.
    for (;;) {
      skipSpace();
      if (open_.empty()) return p_ == end_ ? std::optional(root) : std::nullopt;
      if (p_ == end_) return std::nullopt;
      Value& container = *open_.back();
      if (*p_ == ',') {
        ++p_;
        due = startElement(container);
        if (due == nullptr) return std::nullopt;
        break;
      }
      if (*p_ != (container.kind == Kind::Array ? ']' : '}')) return std::nullopt;
      ++p_;
      if (!close(container)) return std::nullopt;
      open_.pop();
    }
  }
}

// Makes room for the next element and returns it; for an object, reads its name and the colon first.
Value* Parser::startElement(Value& container) {
  if (container.kind == Kind::Object) {
    skipSpace();
    std::string_view name;
    if (p_ == end_ || *p_ != '"' || !string(name)) return nullptr;
    skipSpace();
    if (p_ == end_ || *p_ != ':') return nullptr;
    ++p_;
    names_.push(name);
  }
  ++container.size;
  return &values_.push({});
}

bool Parser::close(Value& container) {
  const std::size_t n = container.size;
  if (container.kind == Kind::Array) {
    auto* items = static_cast<Value*>(a_.allocate(n * sizeof(Value), alignof(Value)));
    values_.take(n, [items](std::size_t i, const Value& v) { std::construct_at(items + i, v); });
    container.data = items;
    return true;
  }
  auto* members = static_cast<Member*>(a_.allocate(n * sizeof(Member), alignof(Member)));
  values_.take(n, [members](std::size_t i, const Value& v) { std::construct_at(members + i, Member{{}, v}); });
  names_.take(n, [members](std::size_t i, std::string_view name) { members[i].key = name; });
  container.data = members;
  return !hasRepeatedName(members, n);
}

bool Parser::hasRepeatedName(const Member* m, std::size_t n) {
  if (n <= pairwise_limit) {
    for (std::size_t i = 1; i < n; ++i)
      for (std::size_t j = 0; j < i; ++j)
        if (m[i].key == m[j].key) return true;
    return false;
  }
  if (n > sorted_cap_) {
    if (sorted_) a_.deallocate(sorted_, sorted_cap_ * sizeof(std::string_view), alignof(std::string_view));
    sorted_ = nullptr;  // stays consistent if the allocation below throws
    sorted_cap_ = 0;
    sorted_ = static_cast<std::string_view*>(a_.allocate(n * sizeof(std::string_view), alignof(std::string_view)));
    sorted_cap_ = n;
  }
  for (std::size_t i = 0; i < n; ++i) std::construct_at(sorted_ + i, m[i].key);
  // Any strict order does; length first settles most comparisons without reading bytes.
  std::sort(sorted_, sorted_ + n, [](std::string_view x, std::string_view y) {
    return x.size() != y.size() ? x.size() < y.size() : std::memcmp(x.data(), y.data(), x.size()) < 0;
  });
  return std::adjacent_find(sorted_, sorted_ + n) != sorted_ + n;
}

bool Parser::scalar(Value& v) {
  switch (*p_) {
    case '"': {
      std::string_view s;
      if (!string(s)) return false;
      v.kind = Kind::String;
      v.data = s.data();
      v.size = s.size();
      return true;
    }
    case 't': v.kind = Kind::Bool; v.boolean = true; return literal("true");
    case 'f': v.kind = Kind::Bool; v.boolean = false; return literal("false");
    case 'n': v.kind = Kind::Null; return literal("null");
    default: return number(v);
  }
}

bool Parser::literal(std::string_view word) {
  if (static_cast<std::size_t>(end_ - p_) < word.size() || std::memcmp(p_, word.data(), word.size()) != 0)
    return false;
  p_ += word.size();
  return true;
}

bool Parser::numberText(NumberText& n) {
  const char* start = p_;
  n.negative = *p_ == '-';
  if (n.negative) ++p_;
  if (p_ == end_ || !isDigit(*p_)) return false;
  // The integer part's value, exact while it has at most 18 digits (both signs then fit 64 bits).
  const char* digits = p_;
  n.whole = static_cast<std::uint64_t>(*p_ - '0');
  if (*p_++ != '0')
    for (; p_ != end_ && isDigit(*p_); ++p_) n.whole = n.whole * 10 + static_cast<std::uint64_t>(*p_ - '0');
  const bool short_whole = p_ - digits <= 18;
  if (p_ != end_ && *p_ == '.') {
    n.real = true;
    if (++p_ == end_ || !isDigit(*p_)) return false;
    while (p_ != end_ && isDigit(*p_)) ++p_;
  }
  if (p_ != end_ && (*p_ == 'e' || *p_ == 'E')) {
    n.real = true;
    if (++p_ != end_ && (*p_ == '+' || *p_ == '-')) ++p_;
    if (p_ == end_ || !isDigit(*p_)) return false;
    while (p_ != end_ && isDigit(*p_)) ++p_;
  }
  n.text = {start, static_cast<std::size_t>(p_ - start)};
  n.short_integer = short_whole && !n.real;
  return true;
}

bool Parser::number(Value& v) {
  NumberText n;
  if (!numberText(n)) return false;
  // Most numbers in messages are short integers, and skip from_chars.
  if (n.short_integer && !(n.negative && n.whole == 0)) {  // "-0" is the float -0.0
    v.kind = Kind::Integer;
    v.integer = n.negative ? -static_cast<std::int64_t>(n.whole) : static_cast<std::int64_t>(n.whole);
    return true;
  }
  const char* first = n.text.data();
  const char* last = first + n.text.size();
  if (n.real || n.text == "-0") {
    double d = 0;
    if (std::from_chars(first, last, d).ec == std::errc{}) {
      v.kind = Kind::Float;
      v.number = d;
      return true;
    }
    if (!overflows(n.text)) {
      v.kind = Kind::Float;
      v.number = n.negative ? -0.0 : 0.0;
      return true;
    }
  } else if (std::from_chars(first, last, v.integer).ec == std::errc{}) {
    v.kind = Kind::Integer;
    return true;
  }
  // Too large for both: the number keeps its own text.
  char* kept = storage(first);
  std::memcpy(kept, first, n.text.size());
  v.kind = Kind::NumberString;
  v.data = kept;
  v.size = n.text.size();
  return true;
}

// Where the decoded form of the token starting at `at` goes.
char* Parser::storage(const char* at) {
  if (!store_) {
    store_ = static_cast<char*>(a_.allocate(static_cast<std::size_t>(end_ - at), 1));
    store_from_ = at;
  }
  return store_ + (at - store_from_);
}

// Reads the string that starts at the quote under p_; `out` gets its decoded bytes.
bool Parser::string(std::string_view& out) {
  const char* run = ++p_;
  char* const begin = storage(run);
  char* d = begin;
  for (;;) {
    p_ = skipPlainAscii(p_, end_);
    if (p_ == end_) return false;
    const auto c = static_cast<unsigned char>(*p_);
    if (c >= 0x80) {
      const std::size_t n = sequenceLength(p_, end_);
      if (n == 0) return false;
      p_ += n;
      continue;
    }
    std::memcpy(d, run, static_cast<std::size_t>(p_ - run));
    d += p_ - run;
    if (c == '"') {
      ++p_;
      out = {begin, static_cast<std::size_t>(d - begin)};
      return true;
    }
    if (c != '\\' || !escape(d)) return false;  // a raw control byte, or a bad escape
    run = p_;
  }
}

// Decodes the escape under p_ into `d`. A \u escape never yields more bytes than its own text.
bool Parser::escape(char*& d) {
  if (++p_ == end_) return false;
  const char c = *p_++;
  switch (c) {
    case '"': case '\\': case '/': *d++ = c; return true;
    case 'b': *d++ = '\b'; return true;
    case 'f': *d++ = '\f'; return true;
    case 'n': *d++ = '\n'; return true;
    case 'r': *d++ = '\r'; return true;
    case 't': *d++ = '\t'; return true;
    case 'u': break;
    default: return false;
  }
  long cp = hex4(p_, end_);
  if (cp < 0 || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;  // a low surrogate needs a high one before it
  p_ += 4;
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    // A high surrogate counts only with a \u low surrogate right after it.
    if (end_ - p_ < 2 || p_[0] != '\\' || p_[1] != 'u') return false;
    const long low = hex4(p_ + 2, end_);
    if (low < 0xDC00 || low > 0xDFFF) return false;
    p_ += 6;
    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
  }
  d = putUtf8(d, static_cast<unsigned long>(cp));
  return true;
}

// How the quoted writer renders each byte: 0 copies it, 'u' writes \u00xx, anything else follows a
// backslash.
constexpr auto escapes = [] {
  std::array<char, 256> t{};
  for (int c = 0; c < 0x20; ++c) t[c] = 'u';
  t['"'] = '"';
  t['\\'] = '\\';
  t['\b'] = 'b';
  t['\t'] = 't';
  t['\n'] = 'n';
  t['\f'] = 'f';
  t['\r'] = 'r';
  return t;
}();

// Writes `s` quoted, with the escaping table and no UTF-8 check.
void writeQuoted(Text& out, std::string_view s) {
  out += '"';
  const char* p = s.data();
  const char* const end = p + s.size();
  for (;;) {
    const char* run = p;
    while (p != end && escapes[static_cast<unsigned char>(*p)] == 0) ++p;
    out.append(run, p);
    if (p == end) break;
    const auto c = static_cast<unsigned char>(*p++);
    const char e = escapes[c];
    out += '\\';
    out += e;
    if (e == 'u') {
      out += "00";
      out += "0123456789abcdef"[c >> 4];
      out += "0123456789abcdef"[c & 0xF];
    }
  }
  out += '"';
}

// Writes a scalar, or the opening bracket of a container.
void writeScalar(Text& out, const Value& v) {
  switch (v.kind) {
    case Kind::Null: out += "null"; break;
    case Kind::Bool: out += v.boolean ? "true" : "false"; break;
    case Kind::Integer: writeDecimal(out, v.integer); break;
    case Kind::Float: writeFloat(out, v.number); break;
    case Kind::NumberString: out += v.text(); break;
    case Kind::String: writeString(out, v.text()); break;
    case Kind::Array: out += '['; break;
    case Kind::Object: out += '{'; break;
  }
}

// The element of container `c` at index `i`, after writing its name when `c` is an object.
const Value& elementAt(Text& out, const Value& c, std::size_t i) {
  if (c.kind == Kind::Array) return c.items()[i];
  const Member& m = c.members()[i];
  writeQuoted(out, m.key);
  out += ':';
  return m.value;
}

}  // namespace

std::optional<Value> parse(std::pmr::memory_resource& a, std::string_view text) {
  return Parser(a, text).run();
}

const Value* member(const Value& object, std::string_view key) {
  if (!object.isObject()) return nullptr;
  for (const Member& m : object.members())
    if (m.key == key) return &m.value;
  return nullptr;
}

std::optional<std::string_view> stringField(const Value& object, std::string_view key) {
  const Value* v = member(object, key);
  if (v == nullptr || v->kind != Kind::String) return std::nullopt;
  return v->text();
}

Value copy(std::pmr::memory_resource& a, const Value& v, std::pmr::memory_resource& scratch) {
  std::pmr::polymorphic_allocator<> into(&a);
  auto bytes = [&](std::string_view text) {
    char* copied = into.allocate_object<char>(text.size());
    std::memcpy(copied, text.data(), text.size());
    return std::string_view(copied, text.size());
  };
  // Each value on the list already sits in its final place and still points at the original's
  // contents; taking it off the list copies those, and puts the copies' children on the list.
  Value root = v;
  std::pmr::vector<Value*> todo(&scratch);
  todo.push_back(&root);
  while (!todo.empty()) {
    Value& x = *todo.back();
    todo.pop_back();
    if (x.size == 0) {
      x.data = nullptr;  // nothing of the original stays referred to
      continue;
    }
    if (x.kind == Kind::String || x.kind == Kind::NumberString) {
      x.data = bytes(x.text()).data();
    } else if (x.kind == Kind::Array) {
      Value* items = into.allocate_object<Value>(x.size);
      std::uninitialized_copy(x.items().begin(), x.items().end(), items);
      x.data = items;
      for (std::size_t i = 0; i < x.size; ++i) todo.push_back(&items[i]);
    } else if (x.kind == Kind::Object) {
      Member* members = into.allocate_object<Member>(x.size);
      std::uninitialized_copy(x.members().begin(), x.members().end(), members);
      x.data = members;
      for (std::size_t i = 0; i < x.size; ++i) {
        members[i].key = bytes(members[i].key);
        todo.push_back(&members[i].value);
      }
    }
  }
  return root;
}

bool writeValue(Text& out, const Value& v) {
  struct Level {
    const Value* container;
    std::size_t next;  // index of the element to write after the current one
  };
  Level levels[max_write_depth];
  std::size_t depth = 0;
  const Value* current = &v;
  for (;;) {
    const bool container = current->kind == Kind::Array || current->kind == Kind::Object;
    if (container && depth == max_write_depth) return false;
    writeScalar(out, *current);
    if (container && current->size != 0) {
      levels[depth++] = {current, 1};
      current = &elementAt(out, *current, 0);
      continue;
    }
    if (container) out += current->kind == Kind::Array ? ']' : '}';
    // Close every container whose last element this was, then step to the next element.
    for (;;) {
      if (depth == 0) return true;
      Level& level = levels[depth - 1];
      if (level.next < level.container->size) {
        out += ',';
        current = &elementAt(out, *level.container, level.next++);
        break;
      }
      out += level.container->kind == Kind::Array ? ']' : '}';
      --depth;
    }
  }
}

void writeString(Text& out, std::string_view s) {
  if (isUtf8(s)) return writeQuoted(out, s);
  // The byte values go out through a small buffer: appending them one by one to `out` costs
  // several times more than the digits themselves.
  char chunk[256];
  char* d = chunk;
  *d++ = '[';
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (chunk + sizeof chunk - d < 4) {
      out.append(chunk, d);
      d = chunk;
    }
    if (i != 0) *d++ = ',';
    const unsigned b = static_cast<unsigned char>(s[i]);
    if (b >= 100) *d++ = static_cast<char>('0' + b / 100);
    if (b >= 10) *d++ = static_cast<char>('0' + b / 10 % 10);
    *d++ = static_cast<char>('0' + b % 10);
  }
  out.append(chunk, d);
  out += ']';
}

void writeDecimal(Text& out, std::int64_t n) {
  char digits[20];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, n).ptr);
}

void writeFloat(Text& out, double d) {
  if (std::isnan(d)) {
    out += "NaN";
    return;
  }
  if (std::isinf(d)) {
    out += d < 0 ? "-Infinity" : "Infinity";
    return;
  }
  // The shortest round-trip form comes as [-]d[.ddd]e±x; it is laid out again positionally.
  char sci[32];
  const char* end = std::to_chars(sci, sci + sizeof sci, d, std::chars_format::scientific).ptr;
  const char* p = sci;
  if (*p == '-') out += *p++;
  char digits[17];
  std::size_t n = 0;
  for (; *p != 'e'; ++p)
    if (*p != '.') digits[n++] = *p;
  int exponent = 0;
  std::from_chars(p + (p[1] == '+' ? 2 : 1), end, exponent);
  const std::string_view ds(digits, n);
  const std::int64_t point = exponent + 1;  // digits before the decimal point
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += ds;
  } else if (static_cast<std::size_t>(point) >= n) {
    out += ds;
    out.append(static_cast<std::size_t>(point) - n, '0');
  } else {
    out += ds.substr(0, static_cast<std::size_t>(point));
    out += '.';
    out += ds.substr(static_cast<std::size_t>(point));
  }
}

bool isUtf8(std::string_view s) {
  const char* p = s.data();
  const char* const end = p + s.size();
  while (p != end) {
    if (end - p >= 8 && (load8(p) & high_bits) == 0) {
      p += 8;
    } else if (static_cast<unsigned char>(*p) < 0x80) {
      ++p;
    } else {
      const std::size_t n = sequenceLength(p, end);
      if (n == 0) return false;
      p += n;
    }
  }
  return true;
}

}  // namespace json
