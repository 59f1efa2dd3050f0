// Assistant events: wire form, decoding rules and the tool-name label.
#include "tarno/assistant/session/assistant_event.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

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
      {Event::textDelta("Hel"), R"({"textDelta":{"_0":"Hel"}})"},
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
      {Event::textDelta("caf\u00e9 \U0001F600"),
       "{\"textDelta\":{\"_0\":\"caf\u00e9 \U0001F600\"}}"},
  };
  return cases;
}

TEST(AssistantEventCoding, EncodesCompactlyInListedMemberOrder) {
  for (const WireCase& c : wireCases()) {
    EXPECT_EQ(core::encodeToString(c.event), c.json);
  }
}

TEST(AssistantEventCoding, EveryCaseRoundTrips) {
  for (const WireCase& c : wireCases()) {
    EXPECT_EQ(core::decodeFromString<Event>(core::encodeToString(c.event)), c.event) << c.json;
  }
}

TEST(AssistantEventCoding, MemberOrderIsFreeOnReading) {
  EXPECT_EQ(
      core::decodeFromString<Event>(R"({"finished":{"sessionID":"s","isError":true,"text":"t"}})"),
      Event::finished("t", true, "s"));
}

TEST(AssistantEventCoding, NullOrMissingOptionalsReadAsAbsent) {
  EXPECT_EQ(core::decodeFromString<Event>(
                R"({"finished":{"text":"x","isError":false,"sessionID":null}})"),
            Event::finished("x", false));
  EXPECT_EQ(core::decodeFromString<Event>(R"({"sessionStarted":{"sessionID":"a","model":null}})"),
            Event::sessionStarted("a"));
}

TEST(AssistantEventCoding, IgnoresUnknownMembersOutsideAndInside) {
  EXPECT_EQ(core::decodeFromString<Event>(R"({"textDelta":{"_0":"hi","extra":1},"v":2})"),
            Event::textDelta("hi"));
  EXPECT_EQ(core::decodeFromString<Event>(R"({"awaitingLoginCode":{"anything":[1,2]}})"),
            Event::awaitingLoginCode());
}

DecodingError decodeFailure(const std::string& json) {
  try {
    core::decodeFromString<Event>(json);
  } catch (const DecodingError& e) {
    return e;
  }
  ADD_FAILURE() << "decoded: " << json;
  return DecodingError(DecodingError::Kind::dataCorrupted, "", "");
}

TEST(AssistantEventCoding, NeedsExactlyOneKnownCaseMember) {
  for (const char* json : {R"({"textDelta":{"_0":"a"},"finished":{"text":"","isError":false}})",
                           R"({})", R"({"unknown":{}})"}) {
    const DecodingError e = decodeFailure(json);
    EXPECT_EQ(e.kind(), DecodingError::Kind::typeMismatch) << json;
    EXPECT_EQ(e.description(), "Invalid number of keys found, expected one.") << json;
  }
}

TEST(AssistantEventCoding, RejectsMalformedPayloads) {
  struct Bad {
    const char* json;
    DecodingError::Kind kind;
    const char* path;
  };
  const Bad cases[] = {
      {R"({"awaitingLoginCode":null})", DecodingError::Kind::typeMismatch, "awaitingLoginCode"},
      {R"({"awaitingLoginCode":true})", DecodingError::Kind::typeMismatch, "awaitingLoginCode"},
      {R"({"textDelta":{"text":"a"}})", DecodingError::Kind::keyNotFound, "textDelta._0"},
      {R"({"textDelta":{"_0":null}})", DecodingError::Kind::valueNotFound, "textDelta._0"},
      {R"({"assistantText":{"_0":5}})", DecodingError::Kind::typeMismatch, "assistantText._0"},
      {R"({"toolResult":{"id":"a","isError":1,"summary":""}})", DecodingError::Kind::typeMismatch,
       "toolResult.isError"},
      {R"({"toolUse":{"id":"a","name":"b"}})", DecodingError::Kind::keyNotFound,
       "toolUse.inputSummary"},
      {R"({"finished":{"text":"a"}})", DecodingError::Kind::keyNotFound, "finished.isError"},
      {R"({"sessionStarted":{"sessionID":"a","model":7}})", DecodingError::Kind::typeMismatch,
       "sessionStarted.model"},
      {R"({"sessionStarted":{}})", DecodingError::Kind::keyNotFound, "sessionStarted.sessionID"},
      {R"(["textDelta"])", DecodingError::Kind::typeMismatch, ""},
      {R"({"textDelta":{"_0":"a"})", DecodingError::Kind::dataCorrupted, ""},
  };
  for (const Bad& c : cases) {
    const DecodingError e = decodeFailure(c.json);
    EXPECT_EQ(e.kind(), c.kind) << c.json << ": " << e.what();
    EXPECT_EQ(e.path(), c.path) << c.json;
  }
}

// What a decoder made of a text: the event, or the error's kind, description and path.
struct Outcome {
  std::optional<Event> event;
  std::string error;
  bool operator==(const Outcome&) const = default;
};

template <class Decode>
Outcome outcomeOf(Decode&& decode) {
  try {
    return {decode(), ""};
  } catch (const DecodingError& e) {
    return {std::nullopt,
            std::to_string(static_cast<int>(e.kind())) + "|" + e.description() + "|" + e.path()};
  }
}

// decodeFromString has a direct decoder of its own; it must agree with the generic one on
// every input, accepted or not.
TEST(AssistantEventCoding, DirectDecoderAgreesWithTheGenericOne) {
  std::vector<std::string> texts = {
      R"({"textDelta":{"_0":"a"},"textDelta":{"_0":"b"}})",
      R"({"textDelta":{"_0":"a","_0":"b"}})",
      R"({"textDelta":{"_0":"a"},"textDelta":5})",
      R"({"x":1,"toolUse":{"inputSummary":"s","name":"n","id":"i","more":{}}})",
      R"({"toolResult":{"id":"i","isError":false,"summary":null}})",
      R"({"toolResult":{"id":"i","isError":null,"summary":"s"}})",
      R"({"finished":{"text":"t","isError":true,"sessionID":5}})",
      R"({"finished":{"text":"t","isError":"true"}})",
      R"({"sessionStarted":{"sessionID":"s","model":"m","model":null}})",
      R"({"sessionStarted":{"sessionID":null}})",
      R"({"awaitingLoginCode":{},"finished":{}})",
      R"({"awaitingLoginCode":[]})",
      R"(  {"awaitingLoginCode":{}}  )",
      R"({"textDelta":{"_0":"\u00e9\ud83d\ude00\n"}})",
      R"({"textDelta":{"_0":"a"}} x)",
      "{\"textDelta\":{\"_0\":\"\xC3\"}}",
      R"(null)",
      R"("textDelta")",
      R"()",
  };
  for (const WireCase& c : wireCases())
    texts.push_back(c.json);
  for (const std::string& text : texts) {
    const Outcome direct = outcomeOf([&] { return core::decodeFromString<Event>(text); });
    const Outcome generic =
        outcomeOf([&] { return core::decodeJSON<Event>(core::parseJson(text)); });
    EXPECT_EQ(direct, generic) << text << "\n direct: " << direct.error
                               << "\n generic: " << generic.error;
  }
}

TEST(AssistantEventEquality, ComparesCaseAndEveryField) {
  EXPECT_EQ(Event::finished("a", true, "s"), Event(Event::Finished{"a", true, "s"}));
  EXPECT_NE(Event::finished("a", true), Event::finished("a", true, "s"));
  EXPECT_NE(Event::finished("a", true), Event::finished("a", false));
  EXPECT_NE(Event::textDelta("a"), Event::assistantText("a"));
  EXPECT_NE(Event::sessionStarted("a", "m"), Event::sessionStarted("a"));
  EXPECT_NE(Event::toolUse("1", "n", "s"), Event::toolUse("1", "n", "t"));
}

TEST(AssistantEventAccess, CaseNameAndPayload) {
  const Event e = Event::toolResult("id", false, "ok");
  EXPECT_EQ(e.caseName(), "toolResult");
  ASSERT_TRUE(e.is<Event::ToolResult>());
  EXPECT_EQ(e.as<Event::ToolResult>()->summary, "ok");
  EXPECT_EQ(e.as<Event::Finished>(), nullptr);
}

TEST(AssistantEventDisplayName, KeepsWhatFollowsTheLastDoubleUnderscore) {
  const std::pair<const char*, const char*> cases[] = {
      {"mcp__tarno__tarno_list", "tarno_list"},
      {"Read", "Read"},
      {"", ""},
      {"tarno_set_rating", "tarno_set_rating"},
      {"a___b", "b"},
      {"mcp__tarno__", ""},
      {"__x", "x"},
      {"mcp__srv__tool__sub", "sub"},
  };
  for (const auto& [name, shown] : cases) {
    EXPECT_EQ(Event::displayName(name), shown) << name;
  }
}

}  // namespace
}  // namespace tarno::assistant
