// The parser reads the text once, left to right, with an explicit stack instead of recursion. It
// first copies the text into the arena with a few zero bytes behind it, and reads that copy: the
// zero after the last byte ends every scan without a bounds check (no JSON token may hold a zero
// byte, so it is always an error where it is met), and vector loads may read past the last byte.
// Strings without escapes and kept number texts are then views into the copy; a string with escapes
// is decoded in place, since decoding never lengthens it. The elements of open arrays wait on one
// scratch stack and the members of open objects on another; when a container closes, its elements
// are copied contiguously into the arena and popped, so each element is copied once and the work
// stays linear however deep or wide the text is. A typical message costs one arena allocation: the
// copy, with room behind it for the elements of its few containers.

#include "protocol/json.h"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <system_error>
#include <type_traits>
#include <vector>

namespace json {
namespace {

constexpr std::uint64_t high_bits = 0x8080808080808080;

std::uint64_t load8(const char* p) {
  std::uint64_t x;
  std::memcpy(&x, p, 8);
  return x;
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

// Sixteen bytes of a string at once, in the compilers' own vector type: one register on x86-64
// (SSE2) and on aarch64 (NEON), and a few plain words where there is none.
using Bytes16 [[gnu::vector_size(16)]] = signed char;

// The first string byte at or after `p` that needs a second look: a control byte, '"', '\' or
// anything non-ASCII. Read as signed, the control bytes and the non-ASCII ones are those below 0x20.
// REQUIRES: such a byte lies within the readable bytes, and sixteen bytes can be read from every
// position before it.
char* skipPlainAscii(char* p) {
  for (;; p += 16) {
    Bytes16 x;
    std::memcpy(&x, p, sizeof x);
    const Bytes16 special = (x < 0x20) | (x == '"') | (x == '\\');
    std::uint64_t half[2];
    std::memcpy(half, &special, sizeof half);
    if ((half[0] | half[1]) == 0) continue;
    if constexpr (std::endian::native == std::endian::little) {
      return p + (half[0] != 0 ? std::countr_zero(half[0]) : 64 + std::countr_zero(half[1])) / 8;
    }
    while (isPlainAscii(static_cast<unsigned char>(*p))) ++p;  // a true match lies in these bytes
    return p;
  }
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

int hexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The four hex digits after "\u" at `p`, or -1. Reads no further than the first byte that is no
// hex digit, so the zero behind the text stops it.
long hex4(const char* p) {
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
// Every chunk below the top one is full, and the top one is empty only when it is the first. A
// cursor and the top chunk's end make a push one compare.
template <class T, std::size_t N>
class Scratch {
  static_assert(std::is_trivially_copyable_v<T>);

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

  T& push(const T& v) { return *std::construct_at(room(), v); }
  // Room for one more item on top, where the caller constructs it.
  T* room() {
    if (next_ == end_) advance();
    return next_++;
  }
  bool empty() const { return next_ == first_.items; }

  // Removes the top item and returns it.
  T pop() {
    const T v = *--next_;
    if (next_ == top_->items && top_->prev != nullptr) down();
    return v;
  }

  // Copies the top `n` items to out[0..n), oldest first, and pops them.
  void take(std::size_t n, T* out) {
    for (;;) {
      const std::size_t k = std::min(n, static_cast<std::size_t>(next_ - top_->items));
      n -= k;
      next_ -= k;
      std::memcpy(static_cast<void*>(out + n), next_, k * sizeof(T));  // T is trivially copyable
      if (next_ != top_->items || top_->prev == nullptr) break;
      down();
      if (n == 0) break;
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
    next_ = top_->items;
    end_ = next_ + top_->cap;
  }
  // Makes the full chunk below the top one the top.
  void down() {
    top_ = top_->prev;
    next_ = end_ = top_->items + top_->cap;
  }

  std::pmr::memory_resource& a_;
  alignas(T) unsigned char local_[N * sizeof(T)];
  Chunk first_{reinterpret_cast<T*>(local_), N, nullptr, nullptr};
  Chunk* top_ = &first_;
  T* next_ = first_.items;      // where the next item goes, in *top_
  T* end_ = first_.items + N;   // the end of *top_
};

// Objects up to this size are checked for repeated names pair by pair; larger ones sort a copy of
// their names, which keeps hostile texts at n log n.
constexpr std::size_t pairwise_limit = 16;

// Zero bytes behind the copy of the text: one sixteen-byte load from any position up to the end.
constexpr std::size_t padding = 16;

// The closed containers' elements go to room taken with the copy of the text, four bytes of it per
// byte of text up to this much: a message's few objects cost no allocation of their own, and what
// is left over is never more than this.
constexpr std::size_t max_room = 1024;

// Most tokens follow one another directly: one comparison settles that case.
char* skipSpace(char* p) {
  while (static_cast<unsigned char>(*p) <= ' ' && (*p == ' ' || *p == '\n' || *p == '\r' || *p == '\t')) ++p;
  return p;
}

// Equal names: lengths first, then the first byte, before the bytes in full.
bool sameName(std::string_view x, std::string_view y) {
  return x.size() == y.size() && (x.empty() || (x[0] == y[0] && std::memcmp(x.data(), y.data(), x.size()) == 0));
}

// Each reading step takes the position of the token's first byte and returns the position after
// the token, or nullptr when the token breaks the grammar.
class Parser {
 public:
  // Copies `text` into `a`. Throws std::bad_alloc.
  Parser(std::pmr::memory_resource& a, std::string_view text);
  ~Parser() {
    if (sorted_) a_.deallocate(sorted_, sorted_cap_ * sizeof(std::string_view), alignof(std::string_view));
  }
  std::optional<Value> run();

 private:
  // After '{' or ',' in an object: reads a member's name and colon, pushes the member to `object`
  // and makes its value the one due next.
  inline char* startMember(char* p, Value& object, Value*& due);
  bool close(Value& container);
  // `bytes` for a closed container's elements, aligned for them: from the room, or from the arena
  // when the room has too little left.
  void* place(std::size_t bytes);
  bool hasRepeatedName(const Member* m, std::size_t n);
  char* number(char* p, Value& v);
  // A string read: the position after its closing quote (nullptr when it breaks the grammar) and the
  // length of its decoded bytes, which start where its text did. Two words, so that it comes back in
  // registers.
  struct Read {
    char* next;
    std::size_t size;
  };
  // Reads the string whose opening quote is at begin[-1]. Inline: most strings are short, plain
  // ASCII and settled by one word.
  inline Read string(char* begin);
  // The rest of a string from the first byte at `p` that needs a second look.
  [[gnu::noinline]] Read stringRest(char* p, char* begin);
  // The rest of a string from its first backslash at `p`, decoded in place down to `d`.
  Read unescape(char* p, char* d, const char* begin);
  // Decodes the escape at `p` down to `d`; advances both.
  bool escape(char*& p, char*& d);

  std::pmr::memory_resource& a_;
  char* text_;  // the copy of the text, zeros behind it
  char* end_;
  char* room_;       // what is left of the room behind the zeros
  std::size_t room_left_;
  std::string_view* sorted_ = nullptr;  // sort buffer for the names of large objects
  std::size_t sorted_cap_ = 0;
  // The elements of open arrays and the members of open objects, innermost last; each open
  // container counts its own in its `size`. The open containers but the innermost wait on open_.
  Scratch<Value, 32> items_;
  Scratch<Member, 16> members_;
  Scratch<Value*, 16> open_;
};

Parser::Parser(std::pmr::memory_resource& a, std::string_view text)
    : a_(a), items_(a), members_(a), open_(a) {
  static_assert(alignof(Member) == alignof(Value) && sizeof(Value) % alignof(Value) == 0);
  const std::size_t copy = (text.size() + padding + alignof(Value) - 1) / alignof(Value) * alignof(Value);
  room_left_ = std::min(4 * text.size(), max_room) / alignof(Value) * alignof(Value);
  text_ = static_cast<char*>(a_.allocate(copy + room_left_, alignof(Value)));
  if (!text.empty()) std::memcpy(text_, text.data(), text.size());  // an empty view may hold no pointer
  end_ = text_ + text.size();
  std::memset(end_, 0, padding);
  room_ = text_ + copy;
}

std::optional<Value> Parser::run() {
  char* p = text_;
  Value root;
  Value* due = &root;     // where the next value goes
  Value* open = nullptr;  // the innermost open container
  for (;;) {
    p = skipSpace(p);
    switch (*p) {
      case '{':
        due->kind = Kind::Object;
        p = skipSpace(p + 1);
        if (*p == '}') {  // empty: no members, nothing to allocate
          ++p;
          break;
        }
        if (open != nullptr) open_.push(open);
        open = due;
        if ((p = startMember(p, *open, due)) == nullptr) return std::nullopt;
        continue;
      case '[':
        due->kind = Kind::Array;
        p = skipSpace(p + 1);
        if (*p == ']') {
          ++p;
          break;
        }
        if (open != nullptr) open_.push(open);
        open = due;
        ++open->size;
        due = new (items_.room()) Value{};
        continue;
      case '"': {
        const Read s = string(p + 1);
        if (s.next == nullptr) return std::nullopt;
        due->kind = Kind::String;
        due->data = p + 1;
        due->size = s.size;
        p = s.next;
        break;
      }
      case 't':
        if (std::memcmp(p, "true", 4) != 0) return std::nullopt;
        due->kind = Kind::Bool;
        due->boolean = true;
        p += 4;
        break;
      case 'f':
        if (std::memcmp(p, "false", 5) != 0) return std::nullopt;
        due->kind = Kind::Bool;
        due->boolean = false;
        p += 5;
        break;
      case 'n':
        if (std::memcmp(p, "null", 4) != 0) return std::nullopt;
        due->kind = Kind::Null;
        p += 4;
        break;
      default:
        if ((p = number(p, *due)) == nullptr) return std::nullopt;
    }
    // The value is complete: close what ends here, then find where the next value goes.
    for (;;) {
      p = skipSpace(p);
      if (open == nullptr) return p == end_ ? std::optional(root) : std::nullopt;
      if (*p == ',') {
        p = skipSpace(p + 1);
        if (open->kind == Kind::Array) {
          ++open->size;
          due = new (items_.room()) Value{};
        } else if ((p = startMember(p, *open, due)) == nullptr) {
          return std::nullopt;
        }
        break;
      }
      if (*p != (open->kind == Kind::Array ? ']' : '}')) return std::nullopt;
      ++p;
      if (!close(*open)) return std::nullopt;
      open = open_.empty() ? nullptr : open_.pop();
    }
  }
}

char* Parser::startMember(char* p, Value& object, Value*& due) {
  if (*p != '"') return nullptr;
  const Read name = string(p + 1);
  if (name.next == nullptr) return nullptr;
  const std::string_view key(p + 1, name.size);
  p = skipSpace(name.next);
  if (*p != ':') return nullptr;
  ++object.size;
  due = &(new (members_.room()) Member{key, {}})->value;
  return p + 1;
}

bool Parser::close(Value& container) {
  const std::size_t n = container.size;
  if (container.kind == Kind::Array) {
    auto* items = static_cast<Value*>(place(n * sizeof(Value)));
    items_.take(n, items);
    container.data = items;
    return true;
  }
  auto* members = static_cast<Member*>(place(n * sizeof(Member)));
  members_.take(n, members);
  container.data = members;
  return !hasRepeatedName(members, n);
}

void* Parser::place(std::size_t bytes) {
  if (bytes > room_left_) return a_.allocate(bytes, alignof(Value));
  void* at = room_;
  room_ += bytes;
  room_left_ -= bytes;
  return at;
}

bool Parser::hasRepeatedName(const Member* m, std::size_t n) {
  if (n <= pairwise_limit) {
    for (std::size_t i = 1; i < n; ++i)
      for (std::size_t j = 0; j < i; ++j)
        if (sameName(m[i].key, m[j].key)) return true;
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

char* Parser::number(char* p, Value& v) {
  char* const start = p;
  const bool negative = *p == '-';
  if (negative) ++p;
  if (!isDigit(*p)) return nullptr;
  // The integer part's value, exact while it has at most 18 digits (both signs then fit 64 bits).
  const char* const digits = p;
  std::uint64_t whole = static_cast<std::uint64_t>(*p - '0');
  if (*p++ != '0')
    for (; isDigit(*p); ++p) whole = whole * 10 + static_cast<std::uint64_t>(*p - '0');
  const bool short_whole = p - digits <= 18;
  bool real = false;  // it has a fraction or an exponent
  if (*p == '.') {
    real = true;
    if (!isDigit(*++p)) return nullptr;
    while (isDigit(*p)) ++p;
  }
  if (*p == 'e' || *p == 'E') {
    real = true;
    if (*++p == '+' || *p == '-') ++p;
    if (!isDigit(*p)) return nullptr;
    while (isDigit(*p)) ++p;
  }
  // Most numbers in messages are short integers, and skip from_chars.
  if (short_whole && !real && !(negative && whole == 0)) {  // "-0" is the float -0.0
    v.kind = Kind::Integer;
    v.integer = negative ? -static_cast<std::int64_t>(whole) : static_cast<std::int64_t>(whole);
    return p;
  }
  const std::string_view text(start, static_cast<std::size_t>(p - start));
  if (real || text == "-0") {
    double d = 0;
    if (std::from_chars(start, p, d).ec == std::errc{}) {
      v.kind = Kind::Float;
      v.number = d;
      return p;
    }
    if (!overflows(text)) {
      v.kind = Kind::Float;
      v.number = negative ? -0.0 : 0.0;
      return p;
    }
  } else if (std::from_chars(start, p, v.integer).ec == std::errc{}) {
    v.kind = Kind::Integer;
    return p;
  }
  // Too large for both: the number keeps its own text, which stays as it is in the copy.
  v.kind = Kind::NumberString;
  v.data = start;
  v.size = text.size();
  return p;
}

Parser::Read Parser::string(char* begin) {
  char* const p = skipPlainAscii(begin);
  if (*p == '"') return {p + 1, static_cast<std::size_t>(p - begin)};
  return stringRest(p, begin);
}

Parser::Read Parser::stringRest(char* p, char* begin) {
  for (;;) {
    const auto c = static_cast<unsigned char>(*p);
    if (c == '"') return {p + 1, static_cast<std::size_t>(p - begin)};
    if (c < 0x80) return c == '\\' ? unescape(p, p, begin) : Read{};  // or a raw control byte
    const std::size_t n = sequenceLength(p, end_);
    if (n == 0) return {};
    p = skipPlainAscii(p + n);
  }
}

Parser::Read Parser::unescape(char* p, char* d, const char* begin) {
  // Every write lands before p, on bytes already read.
  for (;;) {
    if (!escape(p, d)) return {};
    char* const run = p;
    for (;;) {
      p = skipPlainAscii(p);
      if (static_cast<unsigned char>(*p) < 0x80) break;
      const std::size_t n = sequenceLength(p, end_);
      if (n == 0) return {};
      p += n;
    }
    std::memmove(d, run, static_cast<std::size_t>(p - run));
    d += p - run;
    if (*p == '"') return {p + 1, static_cast<std::size_t>(d - begin)};
    if (*p != '\\') return {};
  }
}

// A \u escape never yields more bytes than its own text.
bool Parser::escape(char*& p, char*& d) {
  const char c = p[1];
  p += 2;
  switch (c) {
    case '"': case '\\': case '/': *d++ = c; return true;
    case 'b': *d++ = '\b'; return true;
    case 'f': *d++ = '\f'; return true;
    case 'n': *d++ = '\n'; return true;
    case 'r': *d++ = '\r'; return true;
    case 't': *d++ = '\t'; return true;
    case 'u': break;
    default: return false;  // any other letter, or the end of the text
  }
  long cp = hex4(p);
  if (cp < 0 || (cp >= 0xDC00 && cp <= 0xDFFF)) return false;  // a low surrogate needs a high one before it
  p += 4;
  if (cp >= 0xD800 && cp <= 0xDBFF) {
    // A high surrogate counts only with a \u low surrogate right after it.
    if (p[0] != '\\' || p[1] != 'u') return false;
    const long low = hex4(p + 2);
    if (low < 0xDC00 || low > 0xDFFF) return false;
    p += 6;
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
