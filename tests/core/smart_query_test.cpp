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

TEST(SmartQuery, RejectsMalformedQueriesWithTheirReason) {
  const struct {
    std::string json;
    std::string description;
  } rows[] = {
      {R"({"ratingAtLeast":{"_0":3},"flag":{"_0":1}})",
       "Invalid number of keys found, expected one."},
      {R"({"ratingAbove":{"_0":3}})", "Invalid number of keys found, expected one."},
      {R"({"keyword":{}})", "No value associated with key \"_0\"."},
      {R"({"capturedBetween":{"_0":"2024-05-01T00:00:00Z"}})",
       "No value associated with key \"_1\"."},
      {R"({"and":{"_0":{"all":{}}}})", "Expected to decode Array but found a dictionary instead."},
      {negations(257), "Smart query nested more than 512 levels deep."}};
  for (const auto& row : rows) {
    try {
      (void)decodeFromString<SmartQuery>(row.json);
      ADD_FAILURE() << "decoded: " << row.json.substr(0, 80);
    } catch (const DecodingError& e) {
      EXPECT_EQ(e.description(), row.description) << row.json.substr(0, 80);
    }
  }
}

TEST(SmartQuery, DeepNestingFailsCleanlyWhileTheBoundStillDecodes) {
  EXPECT_THROW((void)decodeFromString<SmartQuery>(negations(100'000, "{}")), DecodingError);
  // 256 negations sit exactly at the bound (257 fail, above): the query decodes, and an even
  // count is `all`.
  const SmartQuery deepest = decodeFromString<SmartQuery>(negations(256));
  EXPECT_TRUE(deepest.matches(kUndated));
}

}  // namespace
}  // namespace tarno::core
