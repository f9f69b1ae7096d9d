// Fuzzes the JSON reader and writers with the properties the rest of the server relies on:
// - a text the parser accepts, written and parsed again, gives an equal value (a float comes back
//   as the same double, bit for bit, whatever kind its positional text reads back as), and writing
//   that value again gives the same text: what we echo is stable;
// - the value writer refuses exactly the values nested deeper than max_write_depth;
// - every float is written positionally (no exponent; no fraction part when whole);
// - the string writer's output parses back to the same string, or, for bytes that are not UTF-8,
//   to the array of their values; isUtf8 and the parser's string scanner agree with a plain
//   byte-by-byte UTF-8 decoder written here.
// Any violation aborts with a message, which libFuzzer reports as a crash.

#include <bit>
#include <charconv>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory_resource>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "protocol/json.h"

namespace {

using json::Kind;
using json::Value;

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "fuzz_json: %s\n", what);
  std::abort();
}

struct Arena {
  std::pmr::monotonic_buffer_resource resource{std::pmr::new_delete_resource()};
};

// Well-formed UTF-8 by the textbook rules, one code point at a time: no overlong forms, no
// surrogates, nothing above U+10FFFF, no truncated or stray sequences.
bool referenceUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto lead = static_cast<unsigned char>(s[i]);
    std::size_t n = 0;
    std::uint32_t cp = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    }
    if ((lead & 0xE0) == 0xC0) {
      n = 2;
      cp = lead & 0x1Fu;
    } else if ((lead & 0xF0) == 0xE0) {
      n = 3;
      cp = lead & 0x0Fu;
    } else if ((lead & 0xF8) == 0xF0) {
      n = 4;
      cp = lead & 0x07u;
    } else {
      return false;
    }
    if (s.size() - i < n) return false;
    for (std::size_t k = 1; k < n; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3Fu);
    }
    constexpr std::uint32_t least[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < least[n] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += n;
  }
  return true;
}

// Nesting depth of arrays and objects (a scalar is 0, "[]" is 1), without recursion: accepted
// texts may nest far deeper than any stack.
std::size_t depthOf(const Value& root) {
  std::size_t deepest = 0;
  std::vector<std::pair<const Value*, std::size_t>> todo{{&root, 0}};
  while (!todo.empty()) {
    auto [v, depth] = todo.back();
    todo.pop_back();
    if (v->kind == Kind::Array) {
      deepest = std::max(deepest, depth + 1);
      for (const Value& item : v->items()) todo.emplace_back(&item, depth + 1);
    } else if (v->kind == Kind::Object) {
      deepest = std::max(deepest, depth + 1);
      for (const json::Member& m : v->members()) todo.emplace_back(&m.value, depth + 1);
    }
  }
  return deepest;
}

std::uint64_t bits(double d) { return std::bit_cast<std::uint64_t>(d); }

// True when `again` is what a reader gets from the written text of the number `first`. A whole
// float is written without a fraction part, so it reads back as an integer, or as a number text
// when it lies outside 64 bits; either way the double it denotes must be `first` exactly.
bool sameNumber(const Value& first, const Value& again) {
  switch (first.kind) {
    case Kind::Integer: return again.kind == Kind::Integer && again.integer == first.integer;
    case Kind::NumberString: return again.kind == Kind::NumberString && again.text() == first.text();
    case Kind::Float: break;
    default: return false;
  }
  switch (again.kind) {
    case Kind::Float: return bits(again.number) == bits(first.number);
    case Kind::Integer: return bits(static_cast<double>(again.integer)) == bits(first.number);
    case Kind::NumberString: {
      double d = 0;
      const std::string_view t = again.text();
      if (std::from_chars(t.data(), t.data() + t.size(), d).ec != std::errc{}) return false;
      return bits(d) == bits(first.number);
    }
    default: return false;
  }
}

// Deep comparison of a parsed value with its written-and-parsed copy. Recursion is bounded: only
// values the writer accepted (at most max_write_depth levels) get here.
bool sameValue(const Value& first, const Value& again) {
  switch (first.kind) {
    case Kind::Null: return again.kind == Kind::Null;
    case Kind::Bool: return again.kind == Kind::Bool && again.boolean == first.boolean;
    case Kind::Integer:
    case Kind::Float:
    case Kind::NumberString: return sameNumber(first, again);
    case Kind::String: return again.kind == Kind::String && again.text() == first.text();
    case Kind::Array: {
      if (again.kind != Kind::Array || again.size != first.size) return false;
      for (std::size_t i = 0; i < first.size; ++i)
        if (!sameValue(first.items()[i], again.items()[i])) return false;
      return true;
    }
    case Kind::Object: {
      if (again.kind != Kind::Object || again.size != first.size) return false;
      for (std::size_t i = 0; i < first.size; ++i) {
        const json::Member& a = first.members()[i];
        const json::Member& b = again.members()[i];
        if (a.key != b.key || !sameValue(a.value, b.value)) return false;
      }
      return true;
    }
  }
  return false;
}

// Every float in `v`, written alone, is positional and reads back as the same double.
void checkFloats(const Value& root) {
  std::vector<const Value*> todo{&root};
  while (!todo.empty()) {
    const Value* v = todo.back();
    todo.pop_back();
    if (v->kind == Kind::Array) {
      for (const Value& item : v->items()) todo.push_back(&item);
    } else if (v->kind == Kind::Object) {
      for (const json::Member& m : v->members()) todo.push_back(&m.value);
    } else if (v->kind == Kind::Float) {
      Arena arena;
      json::Text text(&arena.resource);
      json::writeFloat(text, v->number);
      check(text.find_first_of("eE") == std::string::npos, "a float was written with an exponent");
      check(std::trunc(v->number) != v->number || text.find('.') == std::string::npos,
            "a whole float was written with a fraction part");
      std::optional<Value> back = json::parse(arena.resource, text);
      check(back && sameNumber(*v, *back), "a written float does not read back as the same double");
    }
  }
}

void checkRoundTrip(std::string_view input) {
  Arena arena;
  std::optional<Value> first = json::parse(arena.resource, input);
  if (!first) return;
  json::Text text(&arena.resource);
  const bool written = json::writeValue(text, *first);
  check(written == (depthOf(*first) <= json::max_write_depth),
        "writeValue refused a value it must write, or wrote one nested too deeply");
  if (!written) return;
  checkFloats(*first);
  std::optional<Value> again = json::parse(arena.resource, text);
  check(again.has_value(), "the parser rejects what the writer wrote");
  check(sameValue(*first, *again), "a written value reads back as a different value");
  json::Text text_again(&arena.resource);
  check(json::writeValue(text_again, *again), "writeValue refused a value it wrote before");
  check(text_again == text, "writing is not stable: a reparsed value is written differently");
}

void checkStringWriter(std::string_view bytes) {
  Arena arena;
  const bool utf8 = json::isUtf8(bytes);
  check(utf8 == referenceUtf8(bytes), "isUtf8 disagrees with the reference UTF-8 decoder");
  json::Text text(&arena.resource);
  json::writeString(text, bytes);
  std::optional<Value> back = json::parse(arena.resource, text);
  check(back.has_value(), "the parser rejects what writeString wrote");
  if (utf8) {
    check(back->kind == Kind::String && back->text() == bytes, "writeString does not read back as the same string");
  } else {
    check(back->kind == Kind::Array && back->size == bytes.size(),
          "bytes that are not UTF-8 are not written as an array");
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const Value& item = back->items()[i];
      check(item.kind == Kind::Integer && item.integer == static_cast<unsigned char>(bytes[i]),
            "the byte array does not hold the string's bytes");
    }
  }
  // The parser's own string scanner: raw bytes with nothing to unescape are accepted exactly when
  // they are well-formed UTF-8.
  for (char c : bytes)
    if (c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20) return;
  std::string quoted = "\"" + std::string(bytes) + "\"";
  std::optional<Value> raw = json::parse(arena.resource, quoted);
  check(raw.has_value() == utf8, "the parser's UTF-8 check disagrees with the reference decoder");
  check(!raw || raw->text() == bytes, "a string without escapes does not parse to its own bytes");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  checkRoundTrip(input);
  checkStringWriter(input);
  return 0;
}
