// The coding rules every record relies on: primitives, optionals, enumerations, dates, bytes,
// UUIDs, geometry, and how the parser copes with hostile input.
#include "tarno/core/json_coding.hpp"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>

using namespace tarno::core;
using namespace std::chrono_literals;

namespace {

template <class T>
DecodingError decodeFailure(std::string_view json) {
  try {
    (void)decodeFromString<T>(json);
  } catch (const DecodingError& e) {
    return e;
  }
  ADD_FAILURE() << "decoded unexpectedly: " << json;
  return DecodingError(DecodingError::Kind::dataCorrupted, "", "");
}

struct Sample {
  std::int64_t id = 0;
  std::optional<std::string> title;
  std::vector<double> values;
  bool flag = false;
  friend bool operator==(const Sample&, const Sample&) = default;
};
void toJSON(JsonWriter& w, const Sample& s) {
  w.beginObject();
  w.member("id", s.id);
  w.optionalMember("title", s.title);
  w.member("values", s.values);
  w.member("flag", s.flag);
  w.endObject();
}
void fromJSON(const JsonValue& j, Sample& s, const CodingPath& path) {
  ObjectReader r(j, path);
  r.required("id", s.id);
  r.optional("title", s.title);
  r.required("values", s.values);
  r.withDefault("flag", s.flag, false);
}

}  // namespace

TEST(JsonWriter, WritesCompactTextInMemberOrderWithEscapes) {
  Sample s{.id = 7, .title = "a\"b\\c\nd\x01/", .values = {0.35, 1, 1e-7, -2.5}, .flag = true};
  EXPECT_EQ(encodeToString(s),
            R"({"id":7,"title":"a\"b\\c\nd\u0001/","values":[0.35,1,1e-07,-2.5],"flag":true})");
  s.title.reset();
  EXPECT_EQ(encodeToString(s), R"({"id":7,"values":[0.35,1,1e-07,-2.5],"flag":true})");

  std::string out;
  JsonWriter slashes(out, JsonWriter::Options{.escapeSlashes = true});
  slashes.string("/usr/bin");
  EXPECT_EQ(out, R"("\/usr\/bin")");
}

TEST(JsonWriter, RefusesNonFiniteNumbers) {
  EXPECT_THROW(encodeToString(std::numeric_limits<double>::quiet_NaN()), EncodingError);
  EXPECT_THROW(encodeToString(std::numeric_limits<double>::infinity()), EncodingError);
}

TEST(JsonWriter, SortsKeysOnRequestAtEveryLevel) {
  JsonValue v = parseJson(R"({"b":1,"a":{"d":[{"z":1,"y":2}],"c":null}})");
  std::string out;
  JsonWriter(out).value(v, true);
  EXPECT_EQ(out, R"({"a":{"c":null,"d":[{"y":2,"z":1}]},"b":1})");
}

TEST(JsonCoding, RoundTripsRecordsAndReadsNullOptionalsAsAbsent) {
  Sample s{.id = -3, .title = "ü👍🏽", .values = {}, .flag = false};
  EXPECT_EQ(decodeFromString<Sample>(encodeToString(s)), s);

  Sample n = decodeFromString<Sample>(R"({"id":1,"title":null,"values":[2],"flag":null,"x":0})");
  EXPECT_EQ(n, (Sample{.id = 1, .title = std::nullopt, .values = {2}, .flag = false}));
}

TEST(JsonCoding, ReportsKindAndPathOfTheFirstFailure) {
  DecodingError missing = decodeFailure<Sample>(R"({"values":[]})");
  EXPECT_EQ(missing.kind(), DecodingError::Kind::keyNotFound);
  EXPECT_EQ(missing.path(), "id");

  DecodingError nested = decodeFailure<Sample>(R"({"id":1,"values":[1,"2"]})");
  EXPECT_EQ(nested.kind(), DecodingError::Kind::typeMismatch);
  EXPECT_EQ(nested.path(), "values[1]");

  DecodingError nullRequired = decodeFailure<Sample>(R"({"id":null,"values":[]})");
  EXPECT_EQ(nullRequired.kind(), DecodingError::Kind::valueNotFound);

  EXPECT_EQ(decodeFailure<Sample>("[]").kind(), DecodingError::Kind::typeMismatch);
}

TEST(JsonCoding, IntegersAreStrictAndRangeChecked) {
  EXPECT_EQ(decodeFromString<std::int64_t>("-9223372036854775808"), INT64_MIN);
  EXPECT_EQ(decodeFromString<std::uint64_t>("18446744073709551615"), UINT64_MAX);
  EXPECT_EQ(decodeFromString<std::int32_t>("2147483647"), INT32_MAX);

  for (std::string_view bad : {"1.5", "1.0", "1e2", "9223372036854775808", "true", "\"1\""}) {
    SCOPED_TRACE(bad);
    (void)decodeFailure<std::int64_t>(bad);
  }
  EXPECT_EQ(decodeFailure<std::int32_t>("2147483648").kind(), DecodingError::Kind::dataCorrupted);
  EXPECT_EQ(decodeFailure<std::uint32_t>("-1").kind(), DecodingError::Kind::dataCorrupted);
  EXPECT_EQ(decodeFailure<bool>("1").kind(), DecodingError::Kind::typeMismatch);
  EXPECT_EQ(decodeFailure<std::string>("1").kind(), DecodingError::Kind::typeMismatch);
  EXPECT_EQ(decodeFromString<double>("3"), 3.0);
}

TEST(JsonCoding, SingleCaseEnumerationNeedsExactlyOneKnownMember) {
  static constexpr std::array<std::string_view, 2> cases = {"run", "status"};
  auto pick = [](std::string_view json) {
    JsonValue v = parseJson(json);
    return std::string(singleCase(v, cases, {}).name);
  };
  EXPECT_EQ(pick(R"({"status":{},"other":1})"), "status");
  EXPECT_EQ(pick(R"({"run":{"_0":1}})"), "run");
  for (std::string_view bad : {R"({})", R"({"other":{}})", R"({"run":{},"status":{}})"}) {
    SCOPED_TRACE(bad);
    try {
      (void)pick(bad);
      ADD_FAILURE();
    } catch (const DecodingError& e) {
      EXPECT_EQ(e.kind(), DecodingError::Kind::typeMismatch);
      EXPECT_EQ(e.description(), "Invalid number of keys found, expected one.");
    }
  }
}

TEST(JsonCoding, DatesAreWholeSecondsWithAZone) {
  const Date noon = std::chrono::sys_days{std::chrono::year{2024} / 5 / 1} + 12h;
  EXPECT_EQ(encodeToString(noon), R"("2024-05-01T12:00:00Z")");
  EXPECT_EQ(encodeToString(noon + 999ms), R"("2024-05-01T12:00:00Z")");
  EXPECT_EQ(decodeFromString<Date>(R"("2024-05-01T12:00:00Z")"), noon);
  EXPECT_EQ(decodeFromString<Date>(R"("2024-05-01T14:30:00+02:30")"), noon);
  EXPECT_EQ(decodeFromString<Date>(R"("2024-05-01T07:00:00-05:00")"), noon);
  for (std::string_view bad :
       {R"("2024-05-01T12:00:00")", R"("2024-05-01T12:00:00.5Z")", R"("2024-02-30T12:00:00Z")",
        R"("2024-05-01 12:00:00Z")", R"("2024-05-01T24:00:00Z")", "0"}) {
    SCOPED_TRACE(bad);
    (void)decodeFailure<Date>(bad);
  }
}

TEST(JsonCoding, BytesAreStandardBase64) {
  for (std::string raw : {std::string(), std::string("f"), std::string("fo"), std::string("foo"),
                          std::string("\0\xff\x10", 3)}) {
    EXPECT_EQ(decodeFromString<Bytes>(encodeToString(Bytes{raw})).data, raw);
  }
  EXPECT_EQ(encodeToString(Bytes{"foob"}), R"("Zm9vYg==")");
  for (std::string_view bad :
       {R"("Zm9vYg=")", R"("Zm9v Yg==")", R"("Zm=vYg==")", R"("Zm9vYg-_")"}) {
    SCOPED_TRACE(bad);
    EXPECT_EQ(decodeFailure<Bytes>(bad).kind(), DecodingError::Kind::dataCorrupted);
  }
}

TEST(JsonCoding, UuidsWriteUpperCaseAndReadEitherCase) {
  Uuid u = Uuid::random();
  EXPECT_EQ(u.bytes[6] >> 4, 4);  // version 4
  EXPECT_NE(u, Uuid::random());
  const std::string text = u.string();
  for (char c : text)
    EXPECT_FALSE(c >= 'a' && c <= 'z');
  std::string lower = text;
  for (char& c : lower)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  EXPECT_EQ(decodeFromString<Uuid>("\"" + lower + "\""), u);
  EXPECT_EQ(encodeToString(u), "\"" + text + "\"");
  (void)decodeFailure<Uuid>(R"("not-a-uuid")");
  (void)decodeFailure<Uuid>("\"" + text + "0\"");
}

TEST(JsonCoding, GeometryUsesNestedArrays) {
  Rect r{.origin = {.x = 1.5, .y = -2}, .size = {.width = 100, .height = 0.25}};
  EXPECT_EQ(encodeToString(r), "[[1.5,-2],[100,0.25]]");
  EXPECT_EQ(decodeFromString<Rect>("[[1.5,-2],[100,0.25]]"), r);
  EXPECT_EQ(decodeFailure<Point>("[1]").kind(), DecodingError::Kind::valueNotFound);
  (void)decodeFailure<Size>(R"({"width":1,"height":2})");
}
