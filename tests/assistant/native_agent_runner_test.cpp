// The native loop against the loopback fake server, with the app played by a dispatch function:
// event sequences, what reaches the app and the model, the step limit, cancellation.
#include "tarno/assistant/native/native_agent_runner.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

#include "assistant/engine_test_support.hpp"
#include "fakes/fake-chat-server/fake_chat_server.hpp"
#include "tarno/core/json_coding.hpp"

namespace tarno::assistant {
namespace {

using core::JsonValue;
using fakes::ChatReply;
using fakes::toolCall;
using test_support::drain;
using E = AssistantEvent;
using Events = std::vector<E>;
using Object = JsonValue::Object;
namespace Runner = NativeAgentRunner;

struct Turn {
  fakes::FakeChatServer server;
  std::vector<std::string> sentToApp;
  explicit Turn(std::vector<ChatReply> script) : server(std::move(script)) {}

  Events run(const std::string& addendum = "", std::optional<std::string> context = {},
             const std::string& endpointAround = "") {
    const std::string endpoint = endpointAround + server.endpoint() + endpointAround;
    return drain(Runner::stream(
        {.prompt = "Rate them", .context = std::move(context)},
        [endpoint] {
          return NativeModelConfig{endpoint, "m", ""};
        },
        addendum,
        [this](const std::string& request) {
          sentToApp.push_back(request);
          return std::string(R"({"jsonrpc":"2.0","id":1,"result":{"updated":2}})");
        }));
  }
  // The messages of the model request number `index`.
  JsonValue::Array messages(std::size_t index) const {
    return *core::parseJson(server.requests().at(index).body).find("messages")->asArray();
  }
};

TEST(NativeAgentRunner, PlainAnswerIsOneFinishedEventAfterTheSystemAndUserMessages) {
  using Row = std::tuple<std::string, std::optional<std::string>, std::string>;
  for (const auto& [addendum, context, system] :
       {Row{"A", "X", "A\n\nX"}, Row{"", "X", "X"}, Row{"A", "", "A"}, Row{"", {}, ""}}) {
    Turn turn({ChatReply::content("Hello")});
    EXPECT_EQ(turn.run(addendum, context), Events{E::finished("Hello", false)});
    EXPECT_EQ(turn.messages(0),
              (JsonValue::Array{Object{{"role", "system"}, {"content", system}},
                                Object{{"role", "user"}, {"content", "Rate them"}}}));
  }
}

TEST(NativeAgentRunner, CarriesOutToolCallsInOrderAndFeedsTheResultsBack) {
  const JsonValue calls = JsonValue::Array{
      toolCall("c1", "tarno_rate", R"({"ids":["a"],"rating":5})"),
      Object{{"function", Object{{"name", "tarno_get"}, {"arguments", "not json"}}}},
      toolCall("c3", "tarno_delete", "{}"), Object{{"id", "c4"}, {"function", 7}}};
  Turn turn({ChatReply::toolCalls(*calls.asArray()),
             ChatReply{.body = R"({"choices":[{"message":{"content":7,"tool_calls":[]}}]})"}});
  const Events events = turn.run();
  ASSERT_EQ(events.size(), 9u);
  const std::string made = events[2].as<E::ToolUse>()->id;
  EXPECT_TRUE(core::Uuid::parse(made));
  const std::string updated = R"({"updated":2})";
  EXPECT_EQ(events,
            (Events{E::toolUse("c1", "mcp__tarno__tarno_rate", R"({"ids":["a"],"rating":5})"),
                    E::toolResult("c1", false, updated),
                    E::toolUse(made, "mcp__tarno__tarno_get", "not json"),
                    E::toolResult(made, false, updated),
                    E::toolUse("c3", "mcp__tarno__tarno_delete", "{}"),
                    E::toolResult("c3", true, "unknown tool 'tarno_delete'"),
                    E::toolUse("c4", "mcp__tarno__tool", "{}"),
                    E::toolResult("c4", true, "unknown tool 'tool'"), E::finished("", false)}));
  EXPECT_EQ(
      turn.sentToApp,
      (std::vector<std::string>{
          R"({"jsonrpc":"2.0","id":1,"method":"photo.rate","params":{"ids":["a"],"rating":5}})",
          R"({"jsonrpc":"2.0","id":1,"method":"photo.get","params":{}})"}));
  const JsonValue::Array second = turn.messages(1);
  ASSERT_EQ(second.size(), 7u);
  EXPECT_EQ(second[2],
            (Object{{"role", "assistant"}, {"content", nullptr}, {"tool_calls", calls}}));
  for (std::size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(second[3 + i], (Object{{"role", "tool"},
                                     {"tool_call_id", events[2 * i].as<E::ToolUse>()->id},
                                     {"content", events[2 * i + 1].as<E::ToolResult>()->summary}}));
  }
}

TEST(NativeAgentRunner, ToolOutcomeFollowsTheAppsAnswer) {
  std::string accents;
  for (int i = 0; i < 2000; ++i)
    accents += "e\u0301";  // one character, three bytes
  using Row = std::pair<std::string, Runner::ToolOutcome>;
  for (const Row& row : {
           Row{R"({"error":{"code":-32001,"message":"store gone"},"result":1})",
               {"store gone", true}},
           Row{R"({"error":{"code":-32001,"message":5}})", {"tool error", true}},
           Row{R"({"error":"text","result":5})", {"5", false}},
           Row{R"([{"result":1}])", {"no response", true}},
           Row{R"({"result":"plain"})", {"plain", false}},
           Row{R"({"result":{"a":[1,2.5]}})", {R"({"a":[1,2.5]})", false}},
           Row{R"({"result":")" + accents + R"("})", {accents.substr(0, 3 * 1500), false}},
           Row{R"({"jsonrpc":"2.0","id":1})", {"ok", false}},
       }) {
    EXPECT_EQ(Runner::runTool(
                  "tarno_list", "[1]",
                  [&](const std::string& request) {
                    EXPECT_EQ(request,
                              R"({"jsonrpc":"2.0","id":1,"method":"library.list","params":{}})");
                    return row.first;
                  }),
              row.second)
        << row.first.substr(0, 60);
  }
}

TEST(NativeAgentRunner, StopsAfterEightStepsAndReportsAFailedModelCallWithTheEndpointAsGiven) {
  Turn endless({ChatReply::toolCalls({toolCall("c", "tarno_context", "{}")})});
  const Events events = endless.run();
  EXPECT_EQ(endless.server.requests().size(), 8u);
  EXPECT_EQ(endless.sentToApp.size(), 8u);
  ASSERT_EQ(events.size(), 17u);
  EXPECT_EQ(events.back(), E::finished("Stopped after 8 steps.", false));

  Turn failing({ChatReply::toolCalls({toolCall("c", "tarno_context", "{}")}),
                ChatReply{.status = 503, .body = "overloaded"}});
  const Events failed = failing.run("", {}, " ");
  ASSERT_EQ(failed.size(), 3u);
  EXPECT_EQ(failed[2],
            E::finished("Couldn't reach the local model at  " + failing.server.endpoint() +
                            "  (m). Is your model server running? (overloaded)",
                        true));
}

TEST(NativeAgentRunner, ACancelledTurnMakesNoFurtherModelOrToolCall) {
  for (const bool duringModelCall : {false, true}) {
    fakes::FakeChatServer server(
        {duringModelCall ? ChatReply{.delay = std::chrono::seconds(60)}
                         : ChatReply::toolCalls({toolCall("c", "tarno_context", "{}"),
                                                 toolCall("d", "tarno_context", "{}")})});
    std::promise<void> release;
    auto held = std::make_shared<std::shared_future<void>>(release.get_future().share());
    auto dispatched = std::make_shared<std::atomic<int>>(0);
    auto events = Runner::stream(
        {.prompt = "p"},
        [endpoint = server.endpoint()] {
          return NativeModelConfig{endpoint, "m", ""};
        },
        "",
        [held, dispatched](const std::string&) {
          ++*dispatched;
          held->wait();
          return std::string("{}");
        });
    ASSERT_TRUE(test_support::eventually([&] { return server.requests().size() == 1; }));
    if (!duringModelCall) {
      ASSERT_TRUE(test_support::nextWithin(events));  // the app has the call
    }
    events.cancel();
    release.set_value();
    // The turn's thread lets go of the dispatch function when it ends.
    EXPECT_TRUE(test_support::eventually([&] { return held.use_count() == 1; }));
    EXPECT_EQ(server.requests().size(), 1u) << duringModelCall;
    EXPECT_EQ(*dispatched, duringModelCall ? 0 : 1);
  }
}

}  // namespace
}  // namespace tarno::assistant
