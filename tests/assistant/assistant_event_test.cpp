// Assistant events: wire form, decoding rules and the tool-name label. That the direct decoder
// agrees with the generic one is the coding layer's own test.
#include "tarno/assistant/session/assistant_event.hpp"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "engine_test_support.hpp"

namespace tarno::assistant {
namespace {

using core::DecodingError;
using Event = AssistantEvent;

struct WireCase {
  Event event;
  std::string json;
};

// Every case, with and without its optional members, in the member order clients expect.
const std::vector<WireCase>& wireCases() {
  static const std::vector<WireCase> cases = {
      {Event::sessionStarted("s-1", "claude-sonnet-4"),
       R"({"sessionStarted":{"sessionID":"s-1","model":"claude-sonnet-4"}})"},
      {Event::sessionStarted("s-1"), R"({"sessionStarted":{"sessionID":"s-1"}})"},
      {Event::textDelta("caf\u00e9 \U0001F600"),
       "{\"textDelta\":{\"_0\":\"caf\u00e9 \U0001F600\"}}"},
      {Event::assistantText("Done.\nTwo lines"), R"({"assistantText":{"_0":"Done.\nTwo lines"}})"},
      {Event::toolUse("tu_1", "mcp__tarno__tarno_list", "{\"limit\":5}"),
       R"({"toolUse":{"id":"tu_1","name":"mcp__tarno__tarno_list","inputSummary":"{\"limit\":5}"}})"},
      {Event::toolResult("tu_1", true, "no such photo"),
       R"({"toolResult":{"id":"tu_1","isError":true,"summary":"no such photo"}})"},
      {Event::finished("All set", false, "s-9"),
       R"({"finished":{"text":"All set","isError":false,"sessionID":"s-9"}})"},
      {Event::finished("claude exited with status 1", true),
       R"({"finished":{"text":"claude exited with status 1","isError":true}})"},
      {Event::awaitingLoginCode(), R"({"awaitingLoginCode":{}})"},
  };
  return cases;
}

TEST(AssistantEventCoding, EncodesCompactlyInListedOrderAndRoundTrips) {
  for (const WireCase& c : wireCases()) {
    EXPECT_EQ(core::encodeToString(c.event), c.json);
    EXPECT_EQ(core::decodeFromString<Event>(c.json), c.event) << c.json;
  }
}

const std::pair<const char*, Event> kLenientCases[] = {
    {R"({"finished":{"sessionID":"s","isError":true,"text":"t"}})",
     Event::finished("t", true, "s")},
    {R"({"finished":{"text":"x","isError":false,"sessionID":null}})", Event::finished("x", false)},
    {R"({"sessionStarted":{"sessionID":"a","model":null}})", Event::sessionStarted("a")},
    {R"({"textDelta":{"_0":"hi","extra":1},"v":2})", Event::textDelta("hi")},
    {R"({"awaitingLoginCode":{"anything":[1,2]}})", Event::awaitingLoginCode()},
};

TEST(AssistantEventCoding, ReadingIgnoresOrderNullsAndUnknownMembers) {
  for (const auto& [json, event] : kLenientCases) {
    EXPECT_EQ(core::decodeFromString<Event>(json), event) << json;
  }
}

const char* const kWrongCaseCounts[] = {
    R"({"textDelta":{"_0":"a"},"finished":{"text":"","isError":false}})", R"({})",
    R"({"unknown":{}})"};

using Kind = DecodingError::Kind;
const std::tuple<const char*, Kind, const char*> kMalformed[] = {
    {R"({"awaitingLoginCode":null})", Kind::typeMismatch, "awaitingLoginCode"},
    {R"({"textDelta":{"text":"a"}})", Kind::keyNotFound, "textDelta._0"},
    {R"({"textDelta":{"_0":null}})", Kind::valueNotFound, "textDelta._0"},
    {R"({"toolResult":{"id":"a","isError":1,"summary":""}})", Kind::typeMismatch,
     "toolResult.isError"},
    {R"({"toolUse":{"id":"a","name":"b"}})", Kind::keyNotFound, "toolUse.inputSummary"},
    {R"({"sessionStarted":{"sessionID":"a","model":7}})", Kind::typeMismatch,
     "sessionStarted.model"},
    {R"(["textDelta"])", Kind::typeMismatch, ""},
    {R"({"textDelta":{"_0":"a"})", Kind::dataCorrupted, ""},
    {R"({"textDelta":{"_0":"a"}} x)", Kind::dataCorrupted, ""},
    {"{\"textDelta\":{\"_0\":\"\xC3\"}}", Kind::dataCorrupted, ""},
    {"", Kind::dataCorrupted, ""},
};

TEST(AssistantEventCoding, RejectsWrongCaseCountsAndMalformedPayloads) {
  for (const char* json : kWrongCaseCounts) {
    const DecodingError e = test_support::decodeFailure<Event>(json);
    EXPECT_EQ(e.kind(), Kind::typeMismatch) << json;
    EXPECT_EQ(e.description(), "Invalid number of keys found, expected one.") << json;
  }
  for (const auto& [json, kind, path] : kMalformed) {
    const DecodingError e = test_support::decodeFailure<Event>(json);
    EXPECT_EQ(e.kind(), kind) << json << ": " << e.what();
    EXPECT_EQ(e.path(), path) << json;
  }
}

TEST(AssistantEventDisplayName, KeepsWhatFollowsTheLastDoubleUnderscore) {
  const std::pair<const char*, const char*> cases[] = {
      {"mcp__tarno__tarno_list", "tarno_list"}, {"Read", "Read"}, {"", ""},
      {"tarno_set_rating", "tarno_set_rating"}, {"a___b", "b"},   {"mcp__tarno__", ""},
      {"mcp__srv__tool__sub", "sub"},
  };
  for (const auto& [name, shown] : cases) {
    EXPECT_EQ(Event::displayName(name), shown) << name;
  }
}

}  // namespace
}  // namespace tarno::assistant
