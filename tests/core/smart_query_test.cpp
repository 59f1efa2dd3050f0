// Smart queries: every rule through the JSON form the app stores, and bounded nesting.
#include "tarno/core/smart_query.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace tarno::core {
namespace {

using namespace std::chrono_literals;

const Date kNoon = std::chrono::sys_days{std::chrono::year{2024} / 5 / 1} + 12h;
const PhotoAttributes kPhoto{.rating = 3,
                             .flagRaw = 1,
                             .colorLabelRaw = 4,
                             .isEdited = true,
                             .isRAW = false,
                             .keywords = {"Sunset", "Beach"},
                             .filename = "IMG_1234.HEIC",
                             .captureDate = kNoon};
const PhotoAttributes kUndated{.rating = 0, .keywords = {}, .filename = "dsc_0001.arw"};

// `depth` negations around `inner`.
std::string negations(int depth, std::string_view inner = R"({"all":{}})") {
  std::string open;
  for (int i = 0; i < depth; ++i)
    open += R"({"not":{"_0":)";
  return open + std::string(inner) + std::string(2 * static_cast<std::size_t>(depth), '}');
}

TEST(SmartQuery, MatchesEachRuleAndWritesBackTheSameJSON) {
  const struct {
    std::string json;
    bool photo;
    bool undated;
  } rows[] = {
      {R"({"all":{}})", true, true},
      {R"({"ratingAtLeast":{"_0":3}})", true, false},
      {R"({"ratingAtLeast":{"_0":4}})", false, false},
      {R"({"ratingAtMost":{"_0":3}})", true, true},
      {R"({"ratingAtMost":{"_0":2}})", false, true},
      {R"({"flag":{"_0":1}})", true, false},
      {R"({"colorLabel":{"_0":4}})", true, false},
      {R"({"isEdited":{"_0":true}})", true, false},
      {R"({"isRAW":{"_0":false}})", true, true},
      {R"({"keyword":{"_0":"bEACH"}})", true, false},
      {R"({"keyword":{"_0":"Sun"}})", false, false},
      {R"({"filenameContains":{"_0":"img_12"}})", true, false},
      {R"({"filenameContains":{"_0":"DSC_"}})", false, true},
      {R"({"filenameContains":{"_0":""}})", false, false},
      {R"({"capturedBetween":{"_0":"2024-05-01T00:00:00Z","_1":"2024-05-01T12:00:00Z"}})", true,
       false},
      {R"({"capturedBetween":{"_0":"2024-05-01T12:00:00Z","_1":"2024-05-02T00:00:00Z"}})", true,
       false},
      {R"({"capturedBetween":{"_0":"2024-05-01T12:00:01Z","_1":"2024-05-02T00:00:00Z"}})", false,
       false},
      {R"({"capturedBetween":{"_0":"2024-05-02T00:00:00Z","_1":"2024-05-01T00:00:00Z"}})", false,
       false},
      {R"({"and":{"_0":[]}})", true, true},
      {R"({"or":{"_0":[]}})", false, false},
      {R"({"not":{"_0":{"all":{}}}})", false, false},
      {R"({"and":{"_0":[{"isRAW":{"_0":false}},{"not":{"_0":{"flag":{"_0":1}}}}]}})", false, true},
      {R"({"or":{"_0":[{"ratingAtLeast":{"_0":5}},{"keyword":{"_0":"SUNSET"}}]}})", true, false}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.json);
    const SmartQuery query = decodeFromString<SmartQuery>(row.json);
    EXPECT_EQ(query.matches(kPhoto), row.photo);
    EXPECT_EQ(query.matches(kUndated), row.undated);
    EXPECT_EQ(encodeToString(query), row.json);
  }
}

TEST(SmartQuery, EqualityIsStructural) {
  const auto q = [](std::string_view json) { return decodeFromString<SmartQuery>(json); };
  EXPECT_EQ(q(R"({"not":{"_0":{"flag":{"_0":2}}}})"),
            SmartQuery(SmartQuery::Not{Indirect(SmartQuery(SmartQuery::Flag{2}))}));
  EXPECT_NE(q(R"({"or":{"_0":[{"all":{}},{"flag":{"_0":2}}]}})"),
            q(R"({"or":{"_0":[{"flag":{"_0":2}},{"all":{}}]}})"));
  EXPECT_NE(q(R"({"ratingAtLeast":{"_0":2}})"), q(R"({"ratingAtMost":{"_0":2}})"));
}

TEST(SmartQuery, RefusesNestingBeyondItsBoundWhileTheBoundStillDecodes) {
  try {
    (void)decodeFromString<SmartQuery>(negations(257));
    ADD_FAILURE() << "decoded 257 negations";
  } catch (const DecodingError& e) {
    EXPECT_EQ(e.description(), "Smart query nested more than 512 levels deep.");
  }
  EXPECT_THROW((void)decodeFromString<SmartQuery>(negations(100'000, "{}")), DecodingError);
  // 256 negations sit exactly at the bound: the query decodes, and an even count is `all`.
  EXPECT_TRUE(decodeFromString<SmartQuery>(negations(256)).matches(kUndated));
}

}  // namespace
}  // namespace tarno::core
