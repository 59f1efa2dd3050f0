// The claude CLI's stream-JSON lines, rule by rule, and the short forms of tool data.
#include "tarno/assistant/engine/stream_json_parser.hpp"

#include <gtest/gtest.h>

#include <limits>
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
  const std::string lines[] = {
      "",
      "   \t  \r\n",
      "not json",
      "{\"type\":\"result\"",
      "[{\"type\":\"result\"}]",
      "null",
      "{\"type\":7,\"result\":\"x\"}",
      "{\"type\":\"Result\",\"result\":\"x\"}",
      "{\"type\":\"rate_limit\",\"result\":\"x\"}",
      "{\"type\":\"result\"} {\"type\":\"result\"}",
      "{\"type\":\"result\",}",
      std::string("{\"type\":\"result\"\0}", 18),
      "{\"type\":\"result\",\"result\":\"\xC3\"}",  // not UTF-8
      R"({"type":"result","x":)" + std::string(5000, '[') + std::string(5000, ']') + "}",
      // Message content must be an array whose every element is an object.
      R"({"type":"assistant","message":{"content":"Hello"}})",
      R"({"type":"assistant","message":{"content":[{"type":"text","text":"Hello"},"stray"]}})",
      R"({"type":"assistant","message":"Hello"})",
      R"({"type":"assistant","content":[{"type":"text","text":"Hello"}]})",
      R"({"type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"t","content":"x"},1]}})",
  };
  for (const std::string& line : lines) {
    EXPECT_EQ(parse(line), Events{}) << line;
  }
}

TEST(StreamJSONParserTest, SystemResultAndStreamLines) {
  struct Row {
    std::string line;
    Events events;
  };
  const Row rows[] = {
      {R"({"type":"system","subtype":"init","session_id":"5f1c","model":"claude-opus-4-1","tools":["Read"],"cwd":"/home/a/.tarno/agent"})",
       {Event::sessionStarted("5f1c", "claude-opus-4-1")}},
      {R"({"type":"system","subtype":"init","session_id":"5f1c","model":3})",
       {Event::sessionStarted("5f1c")}},
      {R"({"type":"system","subtype":"init","session_id":12345})", {}},
      {R"({"type":"system","subtype":"compact_boundary","session_id":"5f1c"})", {}},

      {R"({"type":"result","subtype":"success","is_error":false,"result":"Rated 3 photos.","session_id":"s1","total_cost_usd":0.02})",
       {Event::finished("Rated 3 photos.", false, "s1")}},
      {"\u00a0\u2028{\"type\":\"result\"}\u3000\r\n", {Event::finished("", false)}},
      {R"({"type":"result","result":null,"error":"boom"})", {Event::finished("boom", false)}},
      {R"({"type":"result","result":"r","error":"e"})", {Event::finished("r", false)}},
      {R"({"type":"result","result":5,"error":7,"session_id":42})", {Event::finished("", false)}},
      {R"({"type":"result","subtype":"error_max_turns"})", {Event::finished("", true)}},
      {R"({"type":"result","subtype":"max_error"})", {Event::finished("", true)}},
      {R"({"type":"result","subtype":"Error"})", {Event::finished("", false)}},
      {R"({"type":"result","subtype":"error_during_execution","is_error":false})",
       {Event::finished("", false)}},
      {R"({"type":"result","subtype":"success","is_error":true})", {Event::finished("", true)}},
      {R"({"type":"result","subtype":"error","is_error":0})", {Event::finished("", true)}},

      {R"({"type":"stream_event","event":{"type":"content_block_delta","index":0,"delta":{"type":"text_delta","text":"Bonjour \u00e0 "}},"session_id":"s"})",
       {Event::textDelta("Bonjour \u00e0 ")}},
      {R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":"\n"}}})",
       {Event::textDelta("\n")}},
      {R"({"type":"stream_event","event":{"type":"content_block_delta","delta":{"type":"input_json_delta","partial_json":"{\"q\":"}}})",
       {}},
      {R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":""}}})", {}},
      {R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":5}}})", {}},
      {R"({"type":"stream_event","delta":{"type":"text_delta","text":"x"}})", {}},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(parse(r.line), r.events) << r.line;
  }
}

TEST(StreamJSONParserTest, AssistantMessageBlocksInOrder) {
  const std::string line =
      R"({"type":"assistant","message":{"id":"msg_1","role":"assistant","model":"claude-sonnet-4",)"
      R"("content":[{"type":"thinking","thinking":"hmm"},{"type":"text","text":"Let me look."},)"
      R"({"type":"tool_use","id":"toolu_1","input":{"query":"beach","limit":20}},)"
      R"({"type":"text","text":""},{"text":"untyped"},{"type":7,"text":"numeric type"},)"
      R"({"type":"tool_use","name":7,"input":null},{"type":"tool_use","id":"t","name":"n","input":"  raw  "},)"
      R"({"type":"mcp_tool_use","id":"mcptoolu_2","name":"mcp__tarno__tarno_get","server_name":"tarno"}]},)"
      R"("session_id":"s1"})";
  EXPECT_EQ(parse(line), (Events{
                             Event::assistantText("Let me look."),
                             Event::toolUse("toolu_1", "tool", R"({"query":"beach","limit":20})"),
                             Event::toolUse("", "tool", "null"),
                             Event::toolUse("t", "n", "raw"),
                             Event::toolUse("mcptoolu_2", "mcp__tarno__tarno_get", ""),
                         }));
}

TEST(StreamJSONParserTest, UserToolResultsAreSummarised) {
  const std::string line =
      R"({"type":"user","message":{"role":"user","content":[)"
      R"({"type":"tool_result","tool_use_id":"toolu_1","content":[{"type":"text","text":"a"},{"type":"text","text":"b"}]},)"
      R"({"type":"text","text":"ignored"},)"
      R"({"type":"mcp_tool_result","tool_use_id":"mcptoolu_2","is_error":true,"content":"photo not found\n"},)"
      R"({"type":"tool_result","is_error":"yes","content":{"count":2}},)"
      R"({"type":"tool_result","tool_use_id":"t","content":")" +
      std::string(250, 'q') + R"("}]},"session_id":"s1"})";
  EXPECT_EQ(parse(line), (Events{
                             Event::toolResult("toolu_1", false, "a b"),
                             Event::toolResult("mcptoolu_2", true, "photo not found"),
                             Event::toolResult("", false, R"({"count":2})"),
                             Event::toolResult("t", false, std::string(200, 'q') + kEllipsis),
                         }));
}

TEST(StreamJSONParserTest, NumbersBeyondSixtyFourBitsKeepTheirLineAndDigits) {
  EXPECT_EQ(
      parse(R"({"type":"assistant","message":{"content":[{"type":"text","text":"Done."},)"
            R"({"type":"tool_use","id":"t1","name":"n","input":{"id":12345678901234567890123,)"
            R"("scale":-1E+400,"x":1e-400}}]}})"),
      (Events{
          Event::assistantText("Done."),
          Event::toolUse("t1", "n", R"({"id":12345678901234567890123,"scale":-1E+400,"x":0})")}));
  EXPECT_EQ(parse(R"({"type":"result","subtype":"success","result":"ok","session_id":"s",)"
                  R"("total_cost_usd":1e999,"usage":{"input_tokens":-9223372036854775809}})"),
            (Events{Event::finished("ok", false, "s")}));
  // A malformed number still spoils the line.
  EXPECT_EQ(parse(R"({"type":"result","result":"ok","n":1e400,"m":01})"), Events{});
}

TEST(StreamJSONParserTest, EscapesRepairedTextAndHugeLinesComeThrough) {
  EXPECT_EQ(parse(R"({"type":"result","result":"tab\there \"q\" \ud83d\ude00 nul\u0000"})"),
            (Events{Event::finished(std::string("tab\there \"q\" \U0001F600 nul") + '\0', false)}));
  // What the accumulator hands over after replacing a bad byte still parses.
  LineAccumulator acc;
  const auto lines = acc.append("{\"type\":\"result\",\"result\":\"a\xFF\"}\n");
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(parse(lines[0]), (Events{Event::finished("a\uFFFD", false)}));

  const std::string text(8 << 20, 'z');
  EXPECT_EQ(parse(R"({"type":"assistant","message":{"content":[{"type":"text","text":")" + text +
                  R"("}]}})"),
            Events{Event::assistantText(text)});
}

std::string summary(std::string_view json, std::size_t max = 200) {
  const core::JsonValue v = core::parseJson(json);
  return StreamJSONParser::summarize(&v, max);
}

TEST(StreamJSONParserSummary, ShapesOfValues) {
  const std::pair<const char*, const char*> rows[] = {
      {R"("  \n padded \t ")", "padded"},
      {R"([{"text":"a"},{"image":"..."},{"text":""},{"text":"c"}])", "a  c"},
      {R"([{"type":"image"},{"text":7}])", R"([{"type":"image"},{"text":7}])"},
      {R"([{"text":"a"},"b"])", R"([{"text":"a"},"b"])"},
      {R"({ "z" : 1, "a" : [ true, null, 2.5, -0.001, 1.0 ] })",
       R"({"z":1,"a":[true,null,2.5,-0.001,1]})"},
      {R"({"path":"/Users/a/b.jpg","note":"caf\u00e9\n"})",
       "{\"path\":\"/Users/a/b.jpg\",\"note\":\"caf\u00e9\\n\"}"},
      {R"(18446744073709551615)", "18446744073709551615"},
  };
  for (const auto& [json, text] : rows) {
    EXPECT_EQ(summary(json), text) << json;
  }
  EXPECT_EQ(StreamJSONParser::summarize(nullptr, 200), "");
  // A value with no JSON form falls back to a description.
  const core::JsonValue v(core::JsonValue::Array{
      core::JsonValue(1.5), core::JsonValue(std::numeric_limits<double>::quiet_NaN())});
  EXPECT_EQ(StreamJSONParser::summarize(&v, 200), "[1.5,nan]");
}

TEST(StreamJSONParserSummary, CutsAtUserPerceivedCharacters) {
  std::string exactly;  // 200 characters of three bytes each
  for (int i = 0; i < 200; ++i)
    exactly += "e\u0301";
  EXPECT_EQ(summary("\"" + exactly + "\""), exactly);
  EXPECT_EQ(summary("\"" + exactly + "x\""), exactly + kEllipsis);

  const std::string thumb = "\U0001F44D\U0001F3FD";
  const std::string thumbs = thumb + thumb + thumb + thumb + thumb;
  EXPECT_EQ(summary("\"" + thumbs + "\"", 5), thumbs);
  EXPECT_EQ(summary("\"" + thumbs + "\"", 3), thumb + thumb + thumb + kEllipsis);
  EXPECT_EQ(summary(R"("abcdef")", 0), kEllipsis);
  // Trimming comes before counting.
  EXPECT_EQ(summary(R"("   abc   ")", 3), "abc");
  EXPECT_EQ(summary(R"([{"text":"abcd"},{"text":"efgh"}])", 6), "abcd e" + kEllipsis);
}

}  // namespace
}  // namespace tarno::assistant
