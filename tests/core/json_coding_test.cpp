// The coding rules every record relies on: primitives, optionals, enumerations, dates, bytes,
// UUIDs, geometry, and how the parser copes with hostile input.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <random>
#include <string>

#include "core/simdjson_decoder.hpp"
#include "tarno/core/geometry.hpp"
#include "tarno/core/json_record.hpp"
#include "tarno/core/one_of.hpp"
#include "tarno/core/text.hpp"

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
  bool flag = true;
  static constexpr auto jsonFields =
      std::tuple{required("id", &Sample::id), optional("title", &Sample::title),
                 required("values", &Sample::values), withDefault("flag", &Sample::flag)};
  friend bool operator==(const Sample&, const Sample&) = default;
};

enum class Tone { warm, cool, neutralGray };
enum class Level { low = 1, high = 4 };
[[maybe_unused]] constexpr IntegerRawValues jsonRawValues(Level) {
  return {};
}
// Codes outside the reflected range, declared as a table like the texts below.
enum class Code { parse, busy };
[[maybe_unused]] constexpr std::array<std::pair<Code, std::int64_t>, 2> jsonRawValues(Code) {
  return {{{Code::parse, -32700}, {Code::busy, -32001}}};
}
enum class Method { photoList, editApply };
[[maybe_unused]] constexpr std::array<std::pair<Method, std::string_view>, 2> jsonRawValues(
    Method) {
  return {{{Method::photoList, "photo.list"}, {Method::editApply, "edit.apply"}}};
}

// A payload enumeration with the three kinds of case: labelled members, a bare value, nothing.
struct Adjust {
  Tone tone = Tone::warm;
  std::optional<Level> level;
  std::optional<Date> at;
  std::vector<Rect> areas;
  static constexpr auto jsonFields =
      std::tuple{required("tone", &Adjust::tone), optional("level", &Adjust::level),
                 optional("at", &Adjust::at), withDefault("areas", &Adjust::areas)};
  friend bool operator==(const Adjust&, const Adjust&) = default;
};
struct Reset {
  friend bool operator==(const Reset&, const Reset&) = default;
};
class Change : public OneOf<double, Adjust, Reset> {
 public:
  using OneOf::OneOf;
  static constexpr auto jsonCases =
      std::tuple{jsonCase<Adjust>("adjust"), jsonCase<double>("scalar"), jsonCase<Reset>("reset")};
};

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
  EXPECT_THROW(encodeToString(std::numeric_limits<double>::quiet_NaN()), EncodingError);
  EXPECT_THROW(encodeToString(std::numeric_limits<double>::infinity()), EncodingError);
}

// Whatever bytes a string holds, the line must parse on the other side: each ill-formed sequence
// is written as U+FFFD, one per maximal subpart, in values and keys alike, at any position.
TEST(JsonWriter, WritesIllFormedUTF8AsReplacementCharacters) {
  const std::string r = "\xEF\xBF\xBD";
  const std::string padding(20, 'x');  // past the writer's first eight-byte steps
  const std::pair<std::string, std::string> rows[] = {
      {"caf\xE9", "caf" + r},
      {"\xF0\x9F\x98", r},          // a character cut at the end
      {"\xF0\x9F\x98!", r + "!"},   // and in the middle
      {"\xC0\xAF", r + r},          // overlong
      {"\xED\xA0\x80", r + r + r},  // surrogate
      {"a\xE2\x82"
       "b\xF4\x90\x80\x80",
       "a" + r + "b" + r + r + r + r},
      {"\x80\"\xFF\n", r + "\\\"" + r + "\\n"},
      {padding + "\xFE" + padding + "\xE2\x82\xAC", padding + r + padding + "\xE2\x82\xAC"},
      {"\xC3\xBC\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD", "\xC3\xBC\xF0\x9F\x91\x8D\xF0\x9F\x8F\xBD"},
  };
  for (const auto& [bytes, escaped] : rows) {
    SCOPED_TRACE(::testing::PrintToString(bytes));
    std::string out;
    JsonWriter(out).string(bytes);
    EXPECT_EQ(out, "\"" + escaped + "\"");
    std::string keyed;
    JsonWriter(keyed).value(JsonValue(JsonValue::Object{{bytes, JsonValue(bytes)}}));
    EXPECT_EQ(keyed, "{\"" + escaped + "\":\"" + escaped + "\"}");
    EXPECT_NO_THROW((void)parseJson(keyed));
  }

  // Random bytes in a record: the line always decodes, to the text as outside text is read.
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    std::string bytes(rng() % 40, '\0');
    for (char& c : bytes)
      c = static_cast<char>(rng() % 3 == 0 ? 0x80 + rng() % 0x80 : rng() % 0x100);
    const Sample s{.id = i, .title = bytes, .values = {}};
    const std::string line = encodeToString(s);
    ASSERT_TRUE(isValidUTF8(line)) << ::testing::PrintToString(bytes);
    EXPECT_EQ(decodeFromString<Sample>(line).title, decodeUTF8Lossy(bytes));
  }
}

TEST(JsonWriter, SortsKeysOnRequestAtEveryLevel) {
  JsonValue v = parseJson(R"({"b":1,"a":{"d":[{"z":1,"y":2}],"c":null}})");
  std::string out;
  JsonWriter(out).value(v, true);
  EXPECT_EQ(out, R"({"a":{"c":null,"d":[{"y":2,"z":1}]},"b":1})");
}

TEST(JsonCoding, RecordsRoundTripAndReadMissingOrNullAsAbsentOrDefault) {
  Sample s{.id = -3, .title = "ü👍🏽", .values = {}, .flag = false};
  EXPECT_EQ(decodeFromString<Sample>(encodeToString(s)), s);

  Sample n = decodeFromString<Sample>(R"({"id":1,"title":null,"values":[2],"flag":null,"x":0})");
  EXPECT_EQ(n, (Sample{.id = 1, .title = std::nullopt, .values = {2}, .flag = true}));
  Sample reused{.title = "old", .flag = false};
  decodeJSON(parseJson(R"({"id":2,"values":[]})"), reused, {});
  EXPECT_EQ(reused, (Sample{.id = 2, .title = std::nullopt, .values = {}, .flag = true}));
}

TEST(JsonCoding, ReportsKindPathAndReasonOfTheFirstFailure) {
  using Kind = DecodingError::Kind;
  const std::tuple<std::string_view, Kind, std::string_view, std::string_view> rows[] = {
      {R"({"values":[]})", Kind::keyNotFound, "id", "No value associated with key \"id\"."},
      {R"({"id":1,"values":[1,"2"]})", Kind::typeMismatch, "values[1]",
       "Expected to decode Double but found a string instead."},
      {R"({"id":1,"values":{}})", Kind::typeMismatch, "values",
       "Expected to decode Array but found a dictionary instead."},
      {R"({"id":null,"values":[]})", Kind::valueNotFound, "id", ""},
      {"[]", Kind::typeMismatch, "", ""},
  };
  for (const auto& [json, kind, path, description] : rows) {
    const DecodingError e = decodeFailure<Sample>(json);
    EXPECT_EQ(e.kind(), kind) << json;
    EXPECT_EQ(e.path(), path) << json;
    if (!description.empty()) {
      EXPECT_EQ(e.description(), description) << json;
    }
  }
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

// The description quotes the number as the document wrote it, whichever parser read it.
TEST(JsonCoding, NumbersThatDoNotFitAreQuotedAsWritten) {
  for (std::string_view number :
       {"1.0", "1e0", "1E2", "1e-400", "-0.0", "2.50", "0.1000000000000000055511151231257827"}) {
    SCOPED_TRACE(number);
    EXPECT_EQ(decodeFailure<std::int64_t>(number).description(),
              "Parsed JSON number <" + std::string(number) + "> does not fit in Int.");
    EXPECT_EQ(decodeFailure<std::uint8_t>(number).description(),
              "Parsed JSON number <" + std::string(number) + "> does not fit in UInt8.");
  }
  EXPECT_EQ(decodeFailure<float>("1e39").description(),
            "Parsed JSON number <1e39> does not fit in Float.");
  EXPECT_EQ(decodeFailure<std::int32_t>("3000000000").description(),
            "Parsed JSON number <3000000000> does not fit in Int32.");

  // Digits inside strings and the numbers before it do not shift which text is quoted; a big
  // number elsewhere sends the document to the other parser.
  for (std::string_view json : {R"({"title":"3.0\"4.5e1","values":[1,2.0,3e0],"id":1.10})",
                                R"({"values":[1e400,2.0],"title":"\\","id":1.10})"}) {
    SCOPED_TRACE(json);
    const DecodingError e = decodeFailure<Sample>(json);
    EXPECT_EQ(e.description(), "Parsed JSON number <1.10> does not fit in Int.");
    EXPECT_EQ(e.path(), "id");
    try {
      (void)simdjson_decoder::decode<Sample>(json);
      ADD_FAILURE() << "decoded";
    } catch (const DecodingError& fast) {
      EXPECT_EQ(fast.description(), e.description());
    }
  }

  // A value built in code has no document: its shortest form is quoted. How a number was
  // written never changes what it equals.
  EXPECT_EQ(decodeFailure<std::int64_t>("2.5").description(),
            "Parsed JSON number <2.5> does not fit in Int.");
  try {
    (void)decodeJSON<std::int64_t>(JsonValue(0.25));
    ADD_FAILURE() << "decoded";
  } catch (const DecodingError& e) {
    EXPECT_EQ(e.description(), "Parsed JSON number <0.25> does not fit in Int.");
  }
  EXPECT_EQ(parseJson("[1.0,1e0,-0.0]"), JsonValue(JsonValue::Array{1.0, 1.0, -0.0}));
  EXPECT_EQ(encodeToString(parseJson("[1.0,2.50]")), "[1,2.5]");
}

TEST(JsonCoding, PayloadEnumerationsHaveExactlyOneKnownMember) {
  const std::pair<Change, std::string_view> rows[] = {
      {Change(0.35), R"({"scalar":{"_0":0.35}})"},
      {Change(Adjust{.tone = Tone::neutralGray, .level = Level::high}),
       R"({"adjust":{"tone":"neutralGray","level":4,"areas":[]}})"},
      {Change(Adjust{.tone = Tone::cool, .areas = {Rect{.size = {.width = 2}}}}),
       R"({"adjust":{"tone":"cool","areas":[[[0,0],[2,0]]]}})"},
      {Change(Reset{}), R"({"reset":{}})"},
  };
  for (const auto& [value, json] : rows) {
    EXPECT_EQ(encodeToString(value), json);
    EXPECT_EQ(decodeFromString<Change>(json), value) << json;
  }
  EXPECT_EQ(caseName(Change(Reset{})), "reset");
  EXPECT_EQ(decodeFromString<Change>(R"({"reset":{"x":1},"other":2})"), Change(Reset{}));

  for (std::string_view bad : {R"({})", R"({"other":{}})", R"({"reset":{},"scalar":{"_0":1}})"}) {
    DecodingError e = decodeFailure<Change>(bad);
    EXPECT_EQ(e.kind(), DecodingError::Kind::typeMismatch) << bad;
    EXPECT_EQ(e.description(), "Invalid number of keys found, expected one.") << bad;
  }
  EXPECT_EQ(decodeFailure<Change>(R"({"scalar":{}})").path(), "scalar._0");
  EXPECT_EQ(decodeFailure<Change>(R"({"adjust":{"tone":"hot"}})").description(),
            "Cannot initialize Tone from invalid String value hot");
  EXPECT_EQ(decodeFailure<Change>(R"({"adjust":{"tone":"cool","level":2}})").description(),
            "Cannot initialize Level from invalid Int value 2");
}

// The fast decoder must accept exactly what the generic one accepts, with the same result, and
// leave every failure to it.
TEST(JsonCoding, FastDecoderAgreesWithTheGenericOne) {
  const std::string_view texts[] = {
      R"({"scalar":{"_0":1}})",
      R"({"scalar":{"_0":1.5,"_0":"x"}})",
      R"({"adjust":{"tone":"cool","level":1,"at":"2024-05-01T12:00:00+02:00"}})",
      R"({"adjust":{"tone":"cool","at":"2024-05-01T12:00:00"}})",
      R"({"adjust":{"tone":"cool","level":3}})",
      R"({"adjust":{"tone":"cool","areas":[[[1,2],[3,4]]]}})",
      R"({"adjust":{"tone":"cool","areas":[[[1,2],[3]]]}})",
      R"({"adjust":{"tone":"cool","areas":null},"reset":{}})",
      R"({"adjust":{"tone":"cool","areas":null},"adjust":{}})",
      R"({"reset":[]})",
      R"({"scalar":{"_0":null}})",
      R"([1])",
      R"({"scalar":{"_0":1e400}})",
  };
  auto outcome = [](auto decode) -> std::string {
    try {
      return encodeToString(decode());
    } catch (const DecodingError& e) {
      return std::string(e.what());
    }
  };
  for (std::string_view text : texts) {
    EXPECT_EQ(outcome([&] { return simdjson_decoder::decode<Change>(text); }),
              outcome([&] { return decodeJSON<Change>(parseJson(text)); }))
        << text;
  }
}

TEST(JsonCoding, EnumerationsAreCodedByNameOrByTheirDeclaredRawValues) {
  EXPECT_EQ(allCases<Tone>, (std::array{Tone::warm, Tone::cool, Tone::neutralGray}));
  EXPECT_EQ(allCases<Level>, (std::array{Level::low, Level::high}));
  EXPECT_EQ(encodeToString(std::vector{Method::editApply, Method::photoList}),
            R"(["edit.apply","photo.list"])");
  EXPECT_EQ(caseWithRawValue<Method>("edit.apply"), Method::editApply);
  EXPECT_EQ(caseWithRawValue<Method>("editApply"), std::nullopt);
  EXPECT_EQ(caseWithRawValue<Tone>("Warm"), std::nullopt);
  EXPECT_EQ(caseWithRawValue<Level>(std::int64_t{1}), Level::low);
  EXPECT_EQ(encodeToString(std::vector{Code::busy, Code::parse}), "[-32001,-32700]");
  EXPECT_EQ(decodeFromString<Code>("-32700"), Code::parse);
  EXPECT_EQ(caseWithRawValue<Code>(std::int64_t{1}), std::nullopt);
  EXPECT_EQ(decodeFailure<Tone>("0").kind(), DecodingError::Kind::typeMismatch);
  EXPECT_EQ(decodeFailure<Level>(R"("low")").kind(), DecodingError::Kind::typeMismatch);
}

TEST(JsonCoding, DatesAreWholeSecondsWithAZone) {
  const Date noon = std::chrono::sys_days{std::chrono::year{2024} / 5 / 1} + 12h;
  EXPECT_EQ(encodeToString(noon), R"("2024-05-01T12:00:00Z")");
  EXPECT_EQ(decodeFromString<Date>(R"("2024-05-01T12:00:00Z")"), noon);
  EXPECT_EQ(decodeFromString<Date>(R"("2024-05-01T14:30:00+02:30")"), noon);
  EXPECT_EQ(decodeFromString<Date>(R"("2024-05-01T07:00:00-05:00")"), noon);
  for (std::string_view bad :
       {R"("2024-05-01T12:00:00")", R"("2024-05-01T12:00:00.5Z")", R"("2024-02-30T12:00:00Z")",
        R"("2024-05-01 12:00:00Z")", R"("2024-05-01T24:00:00Z")", R"("1900-02-29T00:00:00Z")",
        R"("10000-01-01T00:00:00Z")", R"("-001-01-01T00:00:00Z")", "0"}) {
    SCOPED_TRACE(bad);
    (void)decodeFailure<Date>(bad);
  }
}

// Seconds since 1970 of both ends of the calendar (0001-01-01 is 1969 years of 365 days and 477
// leap days before 1970), of the first seconds beyond a nanosecond count, and of leap days far
// from today.
TEST(JsonCoding, DatesOfEveryFourDigitYearReadAndWriteBackTheSameText) {
  const std::pair<std::string_view, std::int64_t> rows[] = {{"0001-01-01T00:00:00Z", -62135596800},
                                                            {"9999-12-31T23:59:59Z", 253402300799},
                                                            {"0000-01-01T00:00:00Z", -62167219200},
                                                            {"1600-02-29T12:00:00Z", -11670955200},
                                                            {"1677-09-21T00:12:43Z", -9223372037},
                                                            {"2262-04-11T23:47:17Z", 9223372037},
                                                            {"2400-02-29T00:00:00Z", 13574563200},
                                                            {"1970-01-01T00:00:00Z", 0},
                                                            {"1969-12-31T23:59:59Z", -1}};
  for (const auto& [text, seconds] : rows) {
    SCOPED_TRACE(text);
    const std::string json = "\"" + std::string(text) + "\"";
    const Date d = decodeFromString<Date>(json);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(d.time_since_epoch()).count(),
              seconds);
    EXPECT_EQ(encodeToString(Date{std::chrono::seconds{seconds}}), json);
    EXPECT_EQ(simdjson_decoder::decode<Date>(json), d);
  }
  // An offset is taken into account and written as Z, as long as the time in UTC has a year of
  // four digits.
  EXPECT_EQ(encodeToString(decodeFromString<Date>(R"("0001-01-01T01:30:00+01:30")")),
            R"("0001-01-01T00:00:00Z")");
  EXPECT_EQ(encodeToString(decodeFromString<Date>(R"("9999-12-31T18:59:59-05:00")")),
            R"("9999-12-31T23:59:59Z")");
  (void)decodeFailure<Date>(R"("9999-12-31T23:00:00-01:00")");
  (void)decodeFailure<Date>(R"("0000-01-01T00:00:00+00:01")");
  // A date built in code beyond those years has no text form.
  EXPECT_THROW(encodeToString(Date{std::chrono::seconds{253402300800}}), EncodingError);
  EXPECT_THROW(encodeToString(Date{std::chrono::seconds{-62167219201}}), EncodingError);
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
  const std::string upper = R"("6F9619FF-8B86-D011-B42D-00C04FC964FF")";
  const Uuid u = decodeFromString<Uuid>(R"("6f9619ff-8b86-d011-b42d-00c04fc964ff")");
  EXPECT_EQ(encodeToString(u), upper);
  EXPECT_EQ(decodeFromString<Uuid>(upper), u);
  const Uuid r = Uuid::random();
  EXPECT_EQ(r.bytes[6] >> 4, 4);  // version 4
  EXPECT_NE(r, Uuid::random());
  (void)decodeFailure<Uuid>(R"("not-a-uuid")");
  (void)decodeFailure<Uuid>(R"("6F9619FF-8B86-D011-B42D-00C04FC964FF0")");
}

TEST(JsonCoding, GeometryUsesNestedArrays) {
  Rect r{.origin = {.x = 1.5, .y = -2}, .size = {.width = 100, .height = 0.25}};
  EXPECT_EQ(encodeToString(r), "[[1.5,-2],[100,0.25]]");
  EXPECT_EQ(decodeFromString<Rect>("[[1.5,-2],[100,0.25]]"), r);
  EXPECT_EQ(decodeFromString<Size>("[3,4,5]"), (Size{.width = 3, .height = 4}));
  EXPECT_EQ(decodeFailure<Point>("[1]").kind(), DecodingError::Kind::valueNotFound);
  EXPECT_EQ(decodeFailure<Rect>("[[1,2],[3]]").path(), "[1][1]");
  (void)decodeFailure<Size>(R"({"width":1,"height":2})");
}
