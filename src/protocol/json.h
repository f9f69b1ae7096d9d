#pragma once
// JSON as the server reads and writes it. The parser is strict (no comments, no byte-order mark,
// no repeated member names, well-formed UTF-8 only), never recurses and has no depth limit; all it
// returns lives in the caller's arena, mostly in a copy of the text it takes first. The writers
// produce compact text with a fixed escaping table. Nothing here owns memory of its own: callers
// pass the arena.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory_resource>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace json {

enum class Kind : std::uint8_t { Null, Bool, Integer, Float, NumberString, String, Array, Object };

struct Member;

// One parsed value. Trivially copyable and destructible: everything it points to lives in the
// arena it was parsed into and is released only with that arena.
struct Value {
  Kind kind = Kind::Null;
  union {
    bool boolean = false;  // Bool
    std::int64_t integer;  // Integer
    double number;         // Float
  };
  const void* data = nullptr;  // bytes of String / NumberString, elements of Array / Object
  std::size_t size = 0;        // byte count, or element count

  bool isObject() const { return kind == Kind::Object; }
  // The bytes of a String (escapes decoded) or of a NumberString (the number's own text).
  std::string_view text() const { return {static_cast<const char*>(data), size}; }
  std::span<const Value> items() const { return {static_cast<const Value*>(data), size}; }
  std::span<const Member> members() const;
};

struct Member {
  std::string_view key;
  Value value;
};

inline std::span<const Member> Value::members() const {
  return {static_cast<const Member*>(data), size};
}

// An empty object, for a missing "params" or "arguments".
inline constexpr Value empty_object = [] {
  Value v;
  v.kind = Kind::Object;
  return v;
}();

// Parses exactly one JSON text, surrounded by optional whitespace. Returns nullopt when the text is
// rejected. Throws std::bad_alloc when `a` runs out. The result and all it holds live in `a`.
std::optional<Value> parse(std::pmr::memory_resource& a, std::string_view text);

// A copy of `v` whose every byte lives in `a`, kinds and texts unchanged, however deep `v` nests.
// Work lists go into `scratch`. Throws std::bad_alloc.
Value copy(std::pmr::memory_resource& a, const Value& v, std::pmr::memory_resource& scratch);

// The member named `key` (byte-exact), or nullptr when absent or when `object` is not an object.
// Inline, so that a literal key's length is known where it is compared: most names differ in length
// and the rest are settled by a compare of known size.
inline const Value* member(const Value& object, std::string_view key) {
  if (!object.isObject()) return nullptr;
  for (const Member& m : object.members())
    if (m.key.size() == key.size() && (key.empty() || std::memcmp(m.key.data(), key.data(), key.size()) == 0))
      return &m.value;
  return nullptr;
}

// The text of member `key` when it exists and is a string; nullopt otherwise (absent, null, any other
// kind). A member of the wrong kind is thus treated as absent.
inline std::optional<std::string_view> stringField(const Value& object, std::string_view key) {
  const Value* v = member(object, key);
  if (v == nullptr || v->kind != Kind::String) return std::nullopt;
  return v->text();
}

// Text buffers grow in the message's arena; appending throws std::bad_alloc when it runs out.
using Text = std::pmr::string;

// A new empty text that lives as long as the arena `a`, so views into it may be returned.
// REQUIRES: `a` is an arena: it frees nothing until it is released as a whole.
inline Text& newText(std::pmr::memory_resource& a) {
  // Uses-allocator construction hands `a` on to the text.
  return *std::pmr::polymorphic_allocator<Text>(&a).new_object<Text>();
}

// Deepest nesting of arrays and objects the value writer accepts.
inline constexpr std::size_t max_write_depth = 256;

// Appends the compact text of `v`. Returns false, leaving `out` partly written, when `v` nests
// arrays and objects deeper than max_write_depth; the caller drops what it was building.
[[nodiscard]] bool writeValue(Text& out, const Value& v);

// Appends `s` as a JSON string: quoted with the escaping table, or, when `s` is not well-formed
// UTF-8, as an array of its byte values in decimal.
void writeString(Text& out, std::string_view s);

// Appends the plain decimal digits of `n`, with "-" when negative.
void writeDecimal(Text& out, std::int64_t n);

// Appends the shortest digit string that reads back as `d`, positionally: no exponent, and no
// fraction part for whole values (2.0 -> 2, 1e21 -> 1 and 21 zeros, -0.0 -> -0). A value that is
// not finite (the sum of two huge addends) is written Infinity, -Infinity or NaN, which are not
// JSON numbers: the server writes such texts only inside JSON strings.
void writeFloat(Text& out, double d);

// True when `s` is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool isUtf8(std::string_view s);

}  // namespace json
