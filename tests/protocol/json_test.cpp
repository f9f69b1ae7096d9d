#include "protocol/json.h"

#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <filesystem>
#include <limits>
#include <random>

#include "support/lines.h"

namespace {

using json::Kind;

// What the server would send back for `text`: the compact rewrite, or "rejected".
std::string rewrite(std::string_view text) {
  std::pmr::monotonic_buffer_resource arena;
  std::optional<json::Value> v = json::parse(arena, text);
  if (!v) return "rejected";
  json::Text out(&arena);
  if (!json::writeValue(out, *v)) return "too deep";
  return std::string(out);
}

TEST(Json, Corpus) {
  std::size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(DEMO_SOURCE_DIR "/tests/data/jsontestsuite/test_parsing/")) {
    const std::string name = entry.path().filename().string();
    const std::string text = readFile(entry.path().string());
    bool accepted = name.starts_with("y_") && name.find("duplicated_key") == std::string::npos;
    if (name.starts_with("i_"))
      accepted = name.starts_with("i_number_") || name == "i_structure_500_nested_arrays.json";
    SCOPED_TRACE(name);
    std::pmr::monotonic_buffer_resource arena;
    EXPECT_EQ(json::parse(arena, text).has_value(), accepted);
    ++files;
  }
  EXPECT_GE(files, 300u);
}

TEST(Json, RoundTrips) {
  struct Case { std::string_view text; std::string expected; } cases[] = {
      {R"({"b":1, "a":[true,null]})", R"({"b":1,"a":[true,null]})"},
      {" \t\r\n{\"id\":1}  \n", R"({"id":1})"}, {"[]", "[]"}, {"{}", "{}"}, {R"([{},[],""])", R"([{},[],""])"},
      {"", "rejected"}, {" \t\n", "rejected"}, {R"({"id":1} x)", "rejected"}, {R"({"id":1}{})", "rejected"},
      {"\xEF\xBB\xBF{}", "rejected"}, {"\f1", "rejected"}, {"1 /**/", "rejected"}, {"[1,]", "rejected"},
      {R"({"a":1,})", "rejected"}, {"['a']", "rejected"}, {"{a:1}", "rejected"}, {"[1 2]", "rejected"},
      {"nul", "rejected"}, {"truex", "rejected"}, {"[", "rejected"}, {"{\"a\"1}", "rejected"}, {"]", "rejected"},
      // Repeated names: byte-exact after decoding, per object.
      {R"({"a":1,"a":2})", "rejected"}, {R"({"x":{"a":1,"a":2}})", "rejected"}, {R"({"a":1,"\u0061":2})", "rejected"},
      {R"({"a":1,"A":2})", R"({"a":1,"A":2})"}, {R"([{"a":1},{"a":2}])", R"([{"a":1},{"a":2}])"},
      {R"({"a":{"a":1}})", R"({"a":{"a":1}})"}, {R"({"":1,"":2})", "rejected"},
      // Numbers: boundaries keep their text; floats are reprinted.
      {"1", "1"}, {"-5", "-5"}, {"9223372036854775807", "9223372036854775807"},
      {"-9223372036854775808", "-9223372036854775808"}, {"9223372036854775808", "9223372036854775808"},
      {"-9223372036854775809", "-9223372036854775809"}, {"999999999999999999", "999999999999999999"},
      {"-999999999999999999", "-999999999999999999"}, {"1000000000000000000", "1000000000000000000"},
      {"00", "rejected"}, {"-0 1", "rejected"}, {"1.0", "1"}, {"1E2", "100"}, {"-0", "-0"}, {"-0.0", "-0"},
      {"0e0", "0"}, {"1e400", "1e400"}, {"-1.5E+9999", "-1.5E+9999"}, {"1e-400", "0"}, {"123.456e-789", "0"},
      {"-1e-400", "-0"}, {"1.7976931348623159e308", "1.7976931348623159e308"}, {"0.1", "0.1"},
      {"2.5e-324", "0." + std::string(323, '0') + "5"}, {"[0.00001e400]", "[0.00001e400]"}, {"100000e-329", "0"},
      {"01", "rejected"}, {"1.", "rejected"}, {".5", "rejected"}, {"+1", "rejected"}, {"NaN", "rejected"},
      {"0x10", "rejected"}, {"-", "rejected"}, {"1e", "rejected"}, {"1e+", "rejected"}, {"-01", "rejected"},
      {"Infinity", "rejected"}, {"1.e5", "rejected"}, {"- 1", "rejected"},
      // Escapes and surrogates.
      {R"("\ud83d\ude00")", "\"\xF0\x9F\x98\x80\""}, {R"("\uDBFF\uDFFF")", "\"\xF4\x8F\xBF\xBF\""},
      {R"("\u00e9\u20AC")", "\"\xC3\xA9\xE2\x82\xAC\""}, {R"("\u0000\/\b\f\n\r\t\"\\")", R"("\u0000/\b\f\n\r\t\"\\")"},
      {R"("\udc00")", "rejected"}, {R"("\ud83d x")", "rejected"}, {R"("\ud83d")", "rejected"},
      {R"("\ud83d\u0041")", "rejected"}, {R"("\ud83d\ud83d")", "rejected"}, {R"("\ude00\ud83d")", "rejected"},
      {R"("\x")", "rejected"}, {R"("\u12")", "rejected"}, {R"("\u12G4")", "rejected"}, {R"("\U0041")", "rejected"},
      {R"({"k\"\u0001":1})", R"({"k\"\u0001":1})"}, {"\"abc", "rejected"}, {"\"abcdefghijklmnop\\", "rejected"},
      // Raw bytes, also past the first eight bytes of a string.
      {"\"a\tb\"", "rejected"}, {"\"abcdefghijk\x01\"", "rejected"}, {"\"\x7F\"", "\"\x7F\""},
      {"\"abcdefghij\xC3\xA9klmnopq\\\"r\"", "\"abcdefghij\xC3\xA9klmnopq\\\"r\""},
      {"\"\xE2\x80\xA8\xEF\xBF\xBF\xF0\x9F\x98\x80\"", "\"\xE2\x80\xA8\xEF\xBF\xBF\xF0\x9F\x98\x80\""},
      {"\"\x80\"", "rejected"}, {"\"\xC0\xAF\"", "rejected"}, {"\"\xC1\xBF\"", "rejected"},
      {"\"\xE0\x80\xAF\"", "rejected"}, {"\"\xF0\x80\x80\xAF\"", "rejected"}, {"\"\xED\xA0\x80\"", "rejected"},
      {"\"\xF4\x90\x80\x80\"", "rejected"}, {"\"\xF5\x80\x80\x80\"", "rejected"}, {"\"\xFF\"", "rejected"},
      {"\"\xE2\x82\"", "rejected"}, {"\"\xC3\"", "rejected"},
      {"\"abcdefgh\xE2\x28\xA1\"", "rejected"}, {"[\"\xC3\xA9\",1]\xFF", "rejected"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(rewrite(c.text), c.expected);
  }
}

TEST(Json, NumberKinds) {
  struct Case { std::string_view text; Kind kind; } cases[] = {
      {"0", Kind::Integer}, {"-9223372036854775808", Kind::Integer}, {"9223372036854775808", Kind::NumberString},
      {"-0", Kind::Float}, {"1.0", Kind::Float}, {"1e400", Kind::NumberString}, {"-1e400", Kind::NumberString},
      {"1e-400", Kind::Float}, {"123e-10000000", Kind::Float}, {"0.4e0066999999999999999999999", Kind::NumberString},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    std::pmr::monotonic_buffer_resource arena;
    std::optional<json::Value> v = json::parse(arena, c.text);
    ASSERT_TRUE(v);
    EXPECT_EQ(v->kind, c.kind);
  }
}

TEST(Json, WriteString) {
  struct Case { std::string_view raw; std::string_view expected; } cases[] = {
      {"hi\xFF", "[104,105,255]"}, {"\xED\xA0\x80", "[237,160,128]"}, {"\xC0\x80", "[192,128]"}, {"", "\"\""},
      {std::string_view("\x00\x09\x0A\x63\x64\xFF", 6), "[0,9,10,99,100,255]"},
      {"\"\\", R"("\"\\")"}, {"\b\t\n\f\r", R"("\b\t\n\f\r")"},
      {std::string_view("\x01\x1b\x00\x1f", 4), R"("\u0001\u001b\u0000\u001f")"}, {"</script>", R"("</script>")"},
      {"\x7F", "\"\x7F\""}, {"\xC3\xA9 \xE2\x80\xA9", "\"\xC3\xA9 \xE2\x80\xA9\""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.raw);
    json::Text out;
    json::writeString(out, c.raw);
    EXPECT_EQ(std::string_view(out), c.expected);
  }
}

TEST(Json, WriteNumbers) {
  struct Case { double d; std::string expected; } cases[] = {
      {0.1, "0.1"}, {0.1 + 0.2, "0.30000000000000004"}, {1e21, "1" + std::string(21, '0')}, {2.0, "2"}, {100.0, "100"},
      {-2.25, "-2.25"}, {0.5, "0.5"}, {-0.0, "-0"}, {0.0, "0"}, {1.5e-7, "0.00000015"}, {123456.789, "123456.789"},
      {5e-324, "0." + std::string(323, '0') + "5"},
      {1.7976931348623157e308, "17976931348623157" + std::string(292, '0')},
      {std::numeric_limits<double>::infinity(), "Infinity"}, {-std::numeric_limits<double>::infinity(), "-Infinity"},
      {std::nan(""), "NaN"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    json::Text out;
    json::writeFloat(out, c.d);
    EXPECT_EQ(std::string_view(out), c.expected);
  }
  json::Text out;
  for (std::int64_t n : {std::numeric_limits<std::int64_t>::min(), std::int64_t{-1}, std::int64_t{0},
                         std::numeric_limits<std::int64_t>::max()}) {
    json::writeDecimal(out, n);
    out += ' ';
  }
  EXPECT_EQ(out, "-9223372036854775808 -1 0 9223372036854775807 ");
}

// Whatever the magnitude, the positional text reads back as the same double.
TEST(Json, WriteFloatReadsBack) {
  std::mt19937_64 random(7);
  for (int i = 0; i < 20000; ++i) {
    const double d = std::bit_cast<double>(random());
    if (!std::isfinite(d)) continue;
    json::Text out;
    json::writeFloat(out, d);
    double back = 1;
    std::from_chars(out.data(), out.data() + out.size(), back);
    ASSERT_EQ(std::bit_cast<std::uint64_t>(back), std::bit_cast<std::uint64_t>(d)) << out;
  }
}

TEST(Json, Depth) {
  EXPECT_EQ(rewrite(nested(256)), nested(256));
  EXPECT_EQ(rewrite("[" + nested(255) + "," + nested(255) + "]"), "[" + nested(255) + "," + nested(255) + "]");
  EXPECT_EQ(rewrite(nested(257)), "too deep");
  EXPECT_EQ(rewrite(std::string(257, '[') + "1" + std::string(257, ']')), "too deep");

  const std::size_t deep = 1'000'000;
  std::pmr::monotonic_buffer_resource arena;
  std::optional<json::Value> v = json::parse(arena, nested(deep));
  ASSERT_TRUE(v);
  std::size_t depth = 1;
  for (const json::Value* p = &*v; p->size != 0; p = &p->items()[0]) ++depth;
  EXPECT_EQ(depth, deep);
  json::Text out(&arena);
  EXPECT_FALSE(json::writeValue(out, *v));
  EXPECT_FALSE(json::parse(arena, std::string(deep, '[') + std::string(deep - 1, ']')));
}

TEST(Json, WideObject) {
  std::string text = "{";
  for (int i = 0; i < 100'000; ++i) text += "\"k" + std::to_string(i) + "\":" + std::to_string(i) + ",";
  std::pmr::monotonic_buffer_resource arena;
  std::optional<json::Value> v = json::parse(arena, text + "\"last\":0}");
  ASSERT_TRUE(v);
  ASSERT_EQ(v->size, 100'001u);
  for (int i = 0; i < 100'000; i += 997) EXPECT_EQ(v->members()[i].key, "k" + std::to_string(i));
  EXPECT_EQ(json::member(*v, "k99999")->integer, 99999);
  EXPECT_FALSE(json::parse(arena, text + "\"k5\":0}"));
}

TEST(Json, Members) {
  std::pmr::monotonic_buffer_resource arena;
  std::string text = R"({"a":"x","b":null,"c":1,"d":{"e":"y"},"":"empty"})";
  std::optional<json::Value> v = json::parse(arena, text);
  ASSERT_TRUE(v);
  text.assign(text.size(), '?');  // nothing may point into the text
  struct Case { std::string_view key; std::optional<std::string_view> expected; } cases[] = {
      {"a", "x"}, {"b", std::nullopt}, {"c", std::nullopt}, {"d", std::nullopt}, {"e", std::nullopt},
      {"A", std::nullopt}, {"", "empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.key);
    EXPECT_EQ(json::stringField(*v, c.key), c.expected);
  }
  EXPECT_EQ(json::member(v->members()[0].value, "a"), nullptr);
  EXPECT_EQ(json::member(json::empty_object, "a"), nullptr);
}

// An arena that counts its allocations and throws on the `fail_at`-th.
struct CountingArena : std::pmr::memory_resource {
  explicit CountingArena(std::size_t fail_at = 0) : fail_at(fail_at) {}
  void* do_allocate(std::size_t bytes, std::size_t align) override {
    if (++count == fail_at) throw std::bad_alloc();
    return arena.allocate(bytes, align);
  }
  void do_deallocate(void*, std::size_t, std::size_t) override {}
  bool do_is_equal(const memory_resource& other) const noexcept override { return this == &other; }

  std::pmr::monotonic_buffer_resource arena;
  std::size_t count = 0, fail_at;
};

TEST(Json, Allocation) {
  CountingArena ping;
  EXPECT_TRUE(json::parse(ping, R"({"jsonrpc":"2.0","id":1,"method":"ping"})"));
  EXPECT_LE(ping.count, 2u);

  // Running out of memory at any point is reported as such, never as a rejected text.
  std::string text = R"({"a":[)" + nested(100) + R"(,"\u00e9",1e400],"b":{)" + std::string(40, ' ') + "}";
  for (int i = 0; i < 20; ++i) text += ",\"" + std::to_string(i) + "\":" + std::to_string(i);
  text += "}";
  for (std::size_t fail_at = 1;; ++fail_at) {
    SCOPED_TRACE(fail_at);
    CountingArena r(fail_at);
    try {
      EXPECT_TRUE(json::parse(r, text));
      break;
    } catch (const std::bad_alloc&) {
    }
  }
}

}  // namespace
