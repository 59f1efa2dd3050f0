// The claude CLI's stream-JSON lines, rule by rule, and the short forms of tool data.
#include "tarno/assistant/engine/stream_json_parser.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tarno/assistant/engine/line_accumulator.hpp"
#include "tarno/core/json_value.hpp"

namespace tarno::assistant {
namespace {

using Event = AssistantEvent;
using Events = std::vector<Event>;

Events parse(std::string_view line) {
  return StreamJSONParser::events(line);
}

const std::string kEllipsis = "\u2026";

TEST(StreamJSONParserTest, LinesWithoutMeaningYieldNothing) {
  const char* lines[] = {
      "",
      "   \t  ",
      "\r\n",
      "not json",
      "{\"type\":\"result\"",
      "[{\"type\":\"result\"}]",
      "42",
      "\"result\"",
      "null",
      "{}",
      "{\"type\":7,\"result\":\"x\"}",
      "{\"type\":null}",
      "{\"type\":\"Result\",\"result\":\"x\"}",
      "{\"type\":\"rate_limit\",\"result\":\"x\"}",
      "{\"type\":\"result\"} {\"type\":\"result\"}",
      "{\"type\":\"result\",}",
  };
  for (const char* line : lines) {
    EXPECT_EQ(parse(line), Events{}) << line;
  }
}

TEST(StreamJSONParserTest, SurroundingWhitespaceOfAnyKindIsTrimmed) {
  const Events done{Event::finished("ok", false)};
  EXPECT_EQ(parse("  {\"type\":\"result\",\"result\":\"ok\"}\r"), done);
  EXPECT_EQ(parse("\u00a0\u2028{\"type\":\"result\",\"result\":\"ok\"}\u3000\n"), done);
}

TEST(StreamJSONParserTest, SystemInitStartsASession) {
  struct Row {
    const char* line;
    Events events;
  };
  const Row rows[] = {
      {R"({"type":"system","subtype":"init","session_id":"5f1c","model":"claude-opus-4-1","tools":["Read"],"cwd":"/home/a/.tarno/agent"})",
       {Event::sessionStarted("5f1c", "claude-opus-4-1")}},
      {R"({"type":"system","subtype":"init","session_id":"5f1c"})",
       {Event::sessionStarted("5f1c")}},
      {R"({"type":"system","subtype":"init","session_id":"5f1c","model":3})",
       {Event::sessionStarted("5f1c")}},
      {R"({"type":"system","subtype":"init","session_id":12345})", {}},
      {R"({"type":"system","subtype":"init"})", {}},
      {R"({"type":"system","subtype":"compact_boundary","session_id":"5f1c"})", {}},
      {R"({"type":"system","session_id":"5f1c"})", {}},
      {R"({"type":"system","subtype":"Init","session_id":"5f1c"})", {}},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(parse(r.line), r.events) << r.line;
  }
}

TEST(StreamJSONParserTest, ResultLineFinishesExactlyOnce) {
  struct Row {
    const char* line;
    Event finished;
  };
  const Row rows[] = {
      {R"({"type":"result","subtype":"success","is_error":false,"result":"Rated 3 photos.","session_id":"s1","total_cost_usd":0.02})",
       Event::finished("Rated 3 photos.", false, "s1")},
      {R"({"type":"result"})", Event::finished("", false)},
      {R"({"type":"result","error":"rate limited"})", Event::finished("rate limited", false)},
      {R"({"type":"result","result":null,"error":"boom"})", Event::finished("boom", false)},
      {R"({"type":"result","result":"r","error":"e"})", Event::finished("r", false)},
      {R"({"type":"result","result":5,"error":7})", Event::finished("", false)},
      {R"({"type":"result","subtype":"error_max_turns"})", Event::finished("", true)},
      {R"({"type":"result","subtype":"tool_error_x"})", Event::finished("", true)},
      {R"({"type":"result","subtype":"max_error"})", Event::finished("", true)},
      {R"({"type":"result","subtype":"Error"})", Event::finished("", false)},
      {R"({"type":"result","subtype":"error_during_execution","is_error":false})",
       Event::finished("", false)},
      {R"({"type":"result","subtype":"success","is_error":true})", Event::finished("", true)},
      {R"({"type":"result","subtype":"error","is_error":0})", Event::finished("", true)},
      {R"({"type":"result","subtype":"success","is_error":"true"})", Event::finished("", false)},
      {R"({"type":"result","subtype":["error"]})", Event::finished("", false)},
      {R"({"type":"result","session_id":42})", Event::finished("", false)},
      {R"({"type":"result","session_id":null,"result":"x"})", Event::finished("x", false)},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(parse(r.line), Events{r.finished}) << r.line;
  }
}

TEST(StreamJSONParserTest, AssistantMessageBlocksInOrder) {
  const std::string line =
      R"({"type":"assistant","message":{"id":"msg_1","role":"assistant","model":"claude-sonnet-4",)"
      R"("content":[{"type":"thinking","thinking":"hmm"},{"type":"text","text":"Let me look."},)"
      R"({"type":"tool_use","id":"toolu_1","input":{"query":"beach","limit":20}},)"
      R"({"type":"text","text":""},{"text":"untyped"},{"type":7,"text":"numeric type"},)"
      R"({"type":"mcp_tool_use","id":"mcptoolu_2","name":"mcp__tarno__tarno_get","server_name":"tarno"}]},)"
      R"("session_id":"s1"})";
  EXPECT_EQ(parse(line), (Events{
                             Event::assistantText("Let me look."),
                             Event::toolUse("toolu_1", "tool", R"({"query":"beach","limit":20})"),
                             Event::toolUse("mcptoolu_2", "mcp__tarno__tarno_get", ""),
                         }));
}

TEST(StreamJSONParserTest, AssistantToolUseFallbacks) {
  EXPECT_EQ(
      parse(
          R"({"type":"assistant","message":{"content":[{"type":"tool_use","name":7,"input":null}]}})"),
      (Events{Event::toolUse("", "tool", "null")}));
  EXPECT_EQ(
      parse(
          R"({"type":"assistant","message":{"content":[{"type":"tool_use","id":"t","name":"n","input":"  raw text  "}]}})"),
      (Events{Event::toolUse("t", "n", "raw text")}));
  EXPECT_EQ(
      parse(
          R"({"type":"assistant","message":{"content":[{"type":"tool_use","id":"t","name":"n","input":{}}]}})"),
      (Events{Event::toolUse("t", "n", "{}")}));
}

TEST(StreamJSONParserTest, MessageContentMustBeAnArrayOfObjects) {
  const char* lines[] = {
      R"({"type":"assistant","message":{"content":"Hello"}})",
      R"({"type":"assistant","message":{"content":[{"type":"text","text":"Hello"},"stray"]}})",
      R"({"type":"assistant","message":{"content":[{"type":"text","text":"Hello"},null]}})",
      R"({"type":"assistant","message":"Hello"})",
      R"({"type":"assistant"})",
      R"({"type":"assistant","content":[{"type":"text","text":"Hello"}]})",
      R"({"type":"user","message":{"content":"a prompt"}})",
      R"({"type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"t","content":"x"},1]}})",
      R"({"type":"user","message":[{"type":"tool_result","content":"x"}]})",
  };
  for (const char* line : lines) {
    EXPECT_EQ(parse(line), Events{}) << line;
  }
}

TEST(StreamJSONParserTest, UserToolResults) {
  const std::string line =
      R"({"type":"user","message":{"role":"user","content":[)"
      R"({"type":"tool_result","tool_use_id":"toolu_1","content":[{"type":"text","text":"a"},{"type":"text","text":"b"}]},)"
      R"({"type":"text","text":"ignored"},)"
      R"({"type":"mcp_tool_result","tool_use_id":"mcptoolu_2","is_error":true,"content":"photo not found\n"},)"
      R"({"type":"tool_result","is_error":"yes","content":{"count":2}},)"
      R"({"type":"tool_result","tool_use_id":9}]},"session_id":"s1"})";
  EXPECT_EQ(parse(line), (Events{
                             Event::toolResult("toolu_1", false, "a b"),
                             Event::toolResult("mcptoolu_2", true, "photo not found"),
                             Event::toolResult("", false, R"({"count":2})"),
                             Event::toolResult("", false, ""),
                         }));
}

TEST(StreamJSONParserTest, LongToolResultIsCut) {
  const std::string content(250, 'q');
  const std::string line =
      R"({"type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"t","content":")" +
      content + R"("}]}})";
  EXPECT_EQ(parse(line), Events{Event::toolResult("t", false, std::string(200, 'q') + kEllipsis)});
}

TEST(StreamJSONParserTest, StreamEventTextDeltas) {
  struct Row {
    const char* line;
    Events events;
  };
  const Row rows[] = {
      {R"({"type":"stream_event","event":{"type":"content_block_delta","index":0,"delta":{"type":"text_delta","text":"Bonjour \u00e0 "}},"session_id":"s"})",
       {Event::textDelta("Bonjour \u00e0 ")}},
      {R"({"type":"stream_event","event":{"type":"anything","delta":{"type":"text_delta","text":"x"}}})",
       {Event::textDelta("x")}},
      {R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":"\n"}}})",
       {Event::textDelta("\n")}},
      {R"({"type":"stream_event","event":{"type":"content_block_delta","delta":{"type":"input_json_delta","partial_json":"{\"q\":"}}})",
       {}},
      {R"({"type":"stream_event","event":{"type":"content_block_delta","delta":{"type":"thinking_delta","text":"x"}}})",
       {}},
      {R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":""}}})", {}},
      {R"({"type":"stream_event","event":{"delta":{"type":"text_delta"}}})", {}},
      {R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":5}}})", {}},
      {R"({"type":"stream_event","event":{"delta":"text_delta"}})", {}},
      {R"({"type":"stream_event","event":{"type":"message_start"}})", {}},
      {R"({"type":"stream_event","event":"x"})", {}},
      {R"({"type":"stream_event","delta":{"type":"text_delta","text":"x"}})", {}},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(parse(r.line), r.events) << r.line;
  }
}

TEST(StreamJSONParserTest, EscapesAndRepairedTextComeThrough) {
  EXPECT_EQ(parse(R"({"type":"result","result":"tab\there \"q\" \ud83d\ude00 nul\u0000"})"),
            (Events{Event::finished(std::string("tab\there \"q\" \U0001F600 nul") + '\0', false)}));
  // What the accumulator hands over after replacing a bad byte still parses.
  LineAccumulator acc;
  const auto lines = acc.append("{\"type\":\"result\",\"result\":\"a\xFF\"}\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(parse(lines[0]), (Events{Event::finished("a\uFFFD", false)}));
}

TEST(StreamJSONParserTest, HostileLinesYieldNothingWithoutCrashing) {
  const std::string deep =
      R"({"type":"result","x":)" + std::string(5000, '[') + std::string(5000, ']') + "}";
  EXPECT_EQ(parse(deep), Events{});
  EXPECT_EQ(parse(std::string("{\"type\":\"result\"\0}", 18)), Events{});
  EXPECT_EQ(parse("{\"type\":\"result\",\"result\":\"\xC3\"}"), Events{});  // not UTF-8
  EXPECT_EQ(parse(R"({"type":"result","result":1e999})"), Events{});
}

TEST(StreamJSONParserTest, HugeLineParses) {
  const std::string text(8 << 20, 'z');
  const auto events = parse(R"({"type":"assistant","message":{"content":[{"type":"text","text":")" +
                            text + R"("}]}})");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], Event::assistantText(text));
}

// ---- summaries ----------------------------------------------------------------------------------

std::string summary(std::string_view json, std::size_t max = 200) {
  const core::JsonValue v = core::parseJson(json);
  return StreamJSONParser::summarize(&v, max);
}

TEST(StreamJSONParserSummary, ShapesOfValues) {
  struct Row {
    const char* json;
    const char* text;
  };
  const Row rows[] = {
      {R"("plain")", "plain"},
      {R"("  \n padded \t ")", "padded"},
      {R"([{"type":"text","text":"a"},{"type":"text","text":"b"}])", "a b"},
      {R"([{"text":"a"},{"image":"..."},{"text":""},{"text":"c"}])", "a  c"},
      {R"([{"text":" a"},{"text":"b "}])", "a b"},
      {R"([{"type":"image"},{"text":7}])", R"([{"type":"image"},{"text":7}])"},
      {R"([])", "[]"},
      {R"([{"text":"a"},"b"])", R"([{"text":"a"},"b"])"},
      {R"(["a","b"])", R"(["a","b"])"},
      {R"({ "z" : 1, "a" : [ true, null, 2.5, -0.001, 1.0 ] })",
       R"({"z":1,"a":[true,null,2.5,-0.001,1]})"},
      {R"({"path":"/Users/a/b.jpg","note":"caf\u00e9\n"})",
       "{\"path\":\"/Users/a/b.jpg\",\"note\":\"caf\u00e9\\n\"}"},
      {R"(42)", "42"},
      {R"(true)", "true"},
      {R"(null)", "null"},
      {R"(18446744073709551615)", "18446744073709551615"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(summary(r.json), r.text) << r.json;
  }
  EXPECT_EQ(StreamJSONParser::summarize(nullptr, 200), "");
}

TEST(StreamJSONParserSummary, CutsAtUserPerceivedCharacters) {
  const std::string e = "e\u0301";                   // one character, three bytes
  const std::string thumb = "\U0001F44D\U0001F3FD";  // one character, eight bytes
  std::string exactly;
  for (int i = 0; i < 200; ++i)
    exactly += e;
  EXPECT_EQ(summary("\"" + exactly + "\""), exactly);
  EXPECT_EQ(summary("\"" + exactly + "x\""), exactly + kEllipsis);

  std::string thumbs;
  for (int i = 0; i < 5; ++i)
    thumbs += thumb;
  EXPECT_EQ(summary("\"" + thumbs + "\"", 5), thumbs);
  EXPECT_EQ(summary("\"" + thumbs + "\"", 3), thumb + thumb + thumb + kEllipsis);
  EXPECT_EQ(summary(R"("abcdef")", 0), kEllipsis);
  // Trimming comes before counting.
  EXPECT_EQ(summary(R"("   abc   ")", 3), "abc");
  EXPECT_EQ(summary(R"([{"text":"abcd"},{"text":"efgh"}])", 6), "abcd e" + kEllipsis);
}

TEST(StreamJSONParserSummary, NonFiniteNumbersFallBackToADescription) {
  const core::JsonValue v(core::JsonValue::Array{
      core::JsonValue(1.5), core::JsonValue(std::numeric_limits<double>::quiet_NaN())});
  EXPECT_EQ(StreamJSONParser::summarize(&v, 200), "[1.5,nan]");
}

}  // namespace
}  // namespace tarno::assistant
