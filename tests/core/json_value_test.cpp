// What the JSON parser accepts and refuses, and how numbers beyond 64 bits or double range travel:
// kept digit for digit in the value tree, refused only by a typed decoder that reads them.
#include "tarno/core/json_value.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "tarno/core/json_record.hpp"

using namespace tarno::core;

namespace {

std::string nested(std::size_t depth) {
  return std::string(depth, '[') + std::string(depth, ']');
}

std::string compact(const JsonValue& v) {
  std::string out;
  JsonWriter(out).value(v);
  return out;
}

// A document holding a number simdjson cannot hold is read by the second parser; wrapping a text
// this way runs it through that parser.
std::string besideBigNumber(const std::string& text) {
  return "[1e400," + text + "]";
}

void expectInvalid(const std::string& text) {
  try {
    (void)parseJson(text);
    ADD_FAILURE() << "parsed: " << text.substr(0, 80);
  } catch (const DecodingError& e) {
    EXPECT_EQ(e.kind(), DecodingError::Kind::dataCorrupted);
    EXPECT_EQ(e.description().rfind("The given data was not valid JSON. (", 0), 0u)
        << e.description();
  }
}

TEST(JsonParser, AcceptsEveryValidTextAndWritesItBackCompactly) {
  const std::pair<std::string, std::string> rows[] = {
      {"12345678901234567890123", "12345678901234567890123"},
      {"-9223372036854775809", "-9223372036854775809"},
      {"18446744073709551616", "18446744073709551616"},
      {"-1E+400", "-1E+400"},
      {"123456789012345678901234567890.5e-3", "1.2345678901234568e+26"},
      {"-0", "0"},
      {"[-0.0,1e-400,1.5,1E2,18446744073709551615]", "[-0.0,0,1.5,100,18446744073709551615]"},
      {" \t\n\r{ \"a\" : [ ] , \"b\":{},\"\":null,\"a\":true } \n",
       R"({"a":[],"b":{},"":null,"a":true})"},
      {R"({"n":123456789012345678901234567890,"x":[1e400,{"y":false}]})",
       R"({"n":123456789012345678901234567890,"x":[1e400,{"y":false}]})"},
      {R"("\ud83d\ude00\u00e9\u0000\/\"\\\b\f\n\r\t")",
       "\"\U0001F600\u00e9\\u0000/\\\"\\\\\\b\\f\\n\\r\\t\""},
      {"\"\xE2\x82\xAC \xF0\x9F\x91\x8D\"", "\"\xE2\x82\xAC \xF0\x9F\x91\x8D\""},
      {nested(1023), nested(1023)},
  };
  for (const auto& [text, written] : rows) {
    SCOPED_TRACE(text.substr(0, 80));
    const JsonValue value = parseJson(text);
    EXPECT_EQ(compact(value), written);
    // Both parsers build the same tree.
    const JsonValue beside = parseJson(besideBigNumber(text));
    ASSERT_TRUE(beside.isArray());
    EXPECT_EQ(beside.asArray()->at(1), value);
  }
  EXPECT_EQ(parseJson("1e400"), JsonValue(JsonValue::BigNumber{"1e400"}));
  EXPECT_TRUE(parseJson("1e400").isNumber());
  EXPECT_EQ(*parseJson(R"({"a":1,"a":2})").find("a"), JsonValue(1));
}

TEST(JsonParser, RefusesEveryInvalidTextWithoutCrashing) {
  // Numbers and structure, then strings and encodings, then sizes and depths.
  std::vector<std::string> rows = {
      "",      " ",     "01",          "-01",         "1.",    ".5",       "+1",
      "-",     "1e",    "1e+",         "0x1",         "NaN",   "Infinity", "[1,]",
      "[,1]",  "[1 2]", R"({"a":1,})", R"({"a" 1})",  "{1:2}", R"({"a"})", "nul",
      "truex", "[",     "{",           R"({"a":1}x)", "1 2",
  };
  const std::string strings[] = {
      R"("abc)",  R"("\x")",  R"("\u12")", R"("\ud800")",      R"("\udc00")",  R"("\ud800\u0041")",
      "\"a\tb\"", "\"\xFF\"", "\"\xC3\"",  "\"\xED\xA0\x80\"", "\"\xC0\xAF\"",
  };
  rows.insert(rows.end(), std::begin(strings), std::end(strings));
  rows.insert(rows.end(),
              {std::string("\"a\0\"", 4), nested(1025), std::string(100000, '['), nested(100000)});
  for (const std::string& text : rows) {
    SCOPED_TRACE(text.substr(0, 80));
    expectInvalid(text);
    expectInvalid(besideBigNumber(text));
    EXPECT_FALSE(parseJsonIfValid(text).has_value());
  }
  // The depth bound holds in both parsers.
  EXPECT_NO_THROW((void)parseJson(nested(1024)));
  expectInvalid(besideBigNumber(nested(1024)));
  // A container at the deepest level may only be empty: what it held would be one level deeper.
  const auto around = [](std::size_t depth, const std::string& inner) {
    return std::string(depth, '[') + inner + std::string(depth, ']');
  };
  EXPECT_NO_THROW((void)parseJson(around(1023, "0")));
  expectInvalid(around(1024, "0"));
  expectInvalid(around(1023, R"({"a":1})"));
  EXPECT_NO_THROW((void)parseJson(besideBigNumber(around(1022, "0"))));
  EXPECT_NO_THROW((void)parseJson(besideBigNumber(around(1022, "{}"))));
  expectInvalid(besideBigNumber(around(1023, "0")));
  expectInvalid(besideBigNumber(around(1022, R"({"a":1})")));
}

struct Reading {
  std::int64_t id = 0;
  double scale = 0;
  float ratio = 1;
  static constexpr auto jsonFields =
      std::tuple{required("id", &Reading::id), required("scale", &Reading::scale),
                 withDefault("ratio", &Reading::ratio)};
};

TEST(JsonParser, BigNumbersFailOnlyInTheDecoderThatReadsThem) {
  const std::tuple<std::string, std::string, std::string> rows[] = {
      {R"({"id":12345678901234567890123,"scale":1})",
       "Parsed JSON number <12345678901234567890123> does not fit in Int.", "id"},
      {R"({"id":-9223372036854775809,"scale":1})",
       "Parsed JSON number <-9223372036854775809> does not fit in Int.", "id"},
      {R"({"id":1,"scale":-1e400})", "Parsed JSON number <-1e400> does not fit in Double.",
       "scale"},
      {R"({"id":1,"scale":2,"ratio":1e300})", "Parsed JSON number <1e300> does not fit in Float.",
       "ratio"},
  };
  for (const auto& [text, description, path] : rows) {
    SCOPED_TRACE(text);
    try {
      (void)decodeFromString<Reading>(text);
      ADD_FAILURE() << "decoded";
    } catch (const DecodingError& e) {
      EXPECT_EQ(e.kind(), DecodingError::Kind::dataCorrupted);
      EXPECT_EQ(e.description(), description);
      EXPECT_EQ(e.path(), path);
    }
  }
  const Reading r = decodeFromString<Reading>(R"({"id":7,"scale":0.5,"unread":1e400})");
  EXPECT_EQ(r.id, 7);
  EXPECT_EQ(r.scale, 0.5);
  // A double beyond any 64-bit integer but without a fraction is written as all its digits:
  // it must still read back.
  const std::string written = encodeToString(Reading{.id = 1, .scale = 9.123456789012346e19});
  EXPECT_EQ(decodeFromString<Reading>(written).scale, 9.123456789012346e19) << written;
  // So must negative zero, with its sign (a latitude of -1e-400 reads as -0).
  const std::string zero = encodeToString(decodeFromString<Reading>(R"({"id":1,"scale":-1e-400})"));
  EXPECT_TRUE(std::signbit(decodeFromString<Reading>(zero).scale)) << zero;
}

}  // namespace
