// Commands, run requests and model tiers: wire forms, defaults and failures.
#include "tarno/assistant/session/assistant_command.hpp"

#include <gtest/gtest.h>

#include <string>

#include "engine_test_support.hpp"

namespace tarno::assistant {
namespace {

using core::DecodingError;

DecodingError decodeFailure(const std::string& json) {
  return test_support::decodeFailure<AssistantCommand>(json);
}

AssistantRunRequest decodeRun(const std::string& json) {
  const auto command = core::decodeFromString<AssistantCommand>(json);
  const auto* run = command.as<AssistantCommand::Run>();
  if (run == nullptr) {
    ADD_FAILURE() << "not a run command: " << json;
    return {};
  }
  return run->request;
}

TEST(ClaudeModelTest, NamesOfEveryTierAndExactParsing) {
  struct Row {
    ClaudeModel model;
    const char* raw;
    const char* display;
    const char* tagline;
  };
  const Row rows[] = {
      {ClaudeModel::sonnet, "sonnet", "Claude Sonnet",
       "Balanced \xE2\x80\x94 the everyday default"},
      {ClaudeModel::opus, "opus", "Claude Opus", "Most capable \xE2\x80\x94 for complex edits"},
      {ClaudeModel::haiku, "haiku", "Claude Haiku",
       "Fastest \xE2\x80\x94 best for simple tasks in bulk"},
  };
  ASSERT_EQ(core::allCases<ClaudeModel>.size(), std::size(rows));
  for (std::size_t i = 0; i < std::size(rows); ++i) {
    const Row& r = rows[i];
    EXPECT_EQ(core::allCases<ClaudeModel>[i], r.model);
    EXPECT_EQ(alias(r.model), r.raw);
    EXPECT_EQ(displayName(r.model), r.display);
    EXPECT_EQ(tagline(r.model), r.tagline);
    EXPECT_EQ(parseClaudeModel(r.raw), r.model);
    EXPECT_EQ(core::encodeToString(r.model), std::string("\"") + r.raw + "\"");
  }
  for (const char* raw : {"Sonnet", "OPUS", "", " haiku", "sonnet "}) {
    EXPECT_EQ(parseClaudeModel(raw), std::nullopt) << raw;
  }
}

TEST(RunRequestCoding, RoundTripsInListedOrderWithDefaults) {
  const std::pair<AssistantRunRequest, std::string> rows[] = {
      {{.prompt = "Brighten it", .model = ClaudeModel::opus},
       R"({"run":{"_0":{"prompt":"Brighten it","model":"opus","allowCommit":false,)"
       R"("engineID":"claude"}}})"},
      {{.prompt = "Crop \u00e9",
        .model = ClaudeModel::haiku,
        .resumeSessionID = "sess-1",
        .allowCommit = true,
        .context = "3 photos selected",
        .engineID = "native"},
       "{\"run\":{\"_0\":{\"prompt\":\"Crop \u00e9\",\"model\":\"haiku\","
       "\"resumeSessionID\":\"sess-1\",\"allowCommit\":true,\"context\":\"3 photos "
       "selected\",\"engineID\":\"native\"}}}"},
  };
  for (const auto& [request, json] : rows) {
    EXPECT_EQ(core::encodeToString(AssistantCommand::run(request)), json);
    EXPECT_EQ(decodeRun(json), request) << json;
  }
  // The smallest run takes defaults; nulls read as defaults, unknown members are ignored, an
  // unregistered engine is kept.
  EXPECT_EQ(decodeRun(R"({"run":{"_0":{"prompt":"p","model":"sonnet"}}})"),
            (AssistantRunRequest{.prompt = "p", .allowCommit = false, .engineID = "claude"}));
  EXPECT_EQ(
      decodeRun(R"({"run":{"_0":{"engineID":null,"prompt":"p","allowCommit":null,"context":null,)"
                R"("resumeSessionID":null,"model":"sonnet","temperature":0.3},"x":1}})"),
      (AssistantRunRequest{.prompt = "p"}));
  EXPECT_EQ(
      decodeRun(R"({"run":{"_0":{"prompt":"p","model":"sonnet","engineID":"gpt"}}})").engineID,
      "gpt");
}

TEST(RunRequestCoding, FailuresNameTheMember) {
  using Kind = DecodingError::Kind;
  struct Bad {
    const char* json;
    Kind kind;
    const char* path;
    const char* description;
  };
  const Bad cases[] = {
      {R"({"run":{"_0":{"prompt":"p","model":"Sonnet"}}})", Kind::dataCorrupted, "run._0.model",
       "Cannot initialize ClaudeModel from invalid String value Sonnet"},
      {R"({"run":{"_0":{"model":"opus"}}})", Kind::keyNotFound, "run._0.prompt",
       "No value associated with key \"prompt\"."},
      {R"({"run":{"_0":{"prompt":"p","model":"opus","allowCommit":1}}})", Kind::typeMismatch,
       "run._0.allowCommit", "Expected to decode Bool but found a number instead."},
      {R"({"run":{"_0":{"prompt":"p","model":"opus","engineID":false}}})", Kind::typeMismatch,
       "run._0.engineID", "Expected to decode String but found a boolean instead."},
      {R"({"run":{}})", Kind::keyNotFound, "run._0", "No value associated with key \"_0\"."},
      {R"({"run":{"_0":"p"}})", Kind::typeMismatch, "run._0",
       "Expected to decode Dictionary<String, Any> but found a string instead."},
  };
  for (const Bad& c : cases) {
    const DecodingError e = decodeFailure(c.json);
    EXPECT_EQ(e.kind(), c.kind) << c.json;
    EXPECT_EQ(e.path(), c.path) << c.json;
    EXPECT_EQ(e.description(), c.description) << c.json;
  }
}

TEST(AssistantCommandCoding, PayloadlessAndCodeCommands) {
  EXPECT_EQ(core::encodeToString(AssistantCommand::status()), R"({"status":{}})");
  EXPECT_EQ(core::encodeToString(AssistantCommand::login()), R"({"login":{}})");
  EXPECT_EQ(core::encodeToString(AssistantCommand::loginCode("ab#12")),
            R"({"loginCode":{"_0":"ab#12"}})");

  EXPECT_TRUE(
      core::decodeFromString<AssistantCommand>(R"({"status":{}})").is<AssistantCommand::Status>());
  EXPECT_TRUE(core::decodeFromString<AssistantCommand>(R"({"login":{"since":1},"x":null})")
                  .is<AssistantCommand::Login>());
  const auto code = core::decodeFromString<AssistantCommand>(R"({"loginCode":{"_0":"xyz"}})");
  ASSERT_TRUE(code.is<AssistantCommand::LoginCode>());
  EXPECT_EQ(code.as<AssistantCommand::LoginCode>()->code, "xyz");
}

TEST(AssistantCommandCoding, CaseMemberMustBeOneObject) {
  for (const char* json : {R"({"login":{},"status":{}})", R"({})", R"({"logout":{}})"}) {
    const DecodingError e = decodeFailure(json);
    EXPECT_EQ(e.kind(), DecodingError::Kind::typeMismatch) << json;
    EXPECT_EQ(e.description(), "Invalid number of keys found, expected one.") << json;
  }
  for (const char* json : {R"({"status":null})", R"({"login":[]})", R"({"loginCode":{"_0":1}})",
                           R"({"loginCode":{}})", R"("status")", "{\"status\":{}"}) {
    decodeFailure(json);
  }
}

}  // namespace
}  // namespace tarno::assistant
