// tarno-mcp's tools: one per app method, their derived schemas against the app's decoder, bad
// arguments as error results, and previews as images the model can see.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <set>
#include <string>
#include <vector>

#include "fakes/fake-app-peer/fake_app_peer.hpp"
#include "mcp_session.hpp"
#include "protocol/smallest_document.hpp"
#include "tarno/assistant/native/native_tool_catalog.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/core/json_writer.hpp"
#include "tarno/protocol/ipc_method.hpp"
#include "tarno/protocol/library_records.hpp"
#include "tarno/protocol/rpc.hpp"

namespace tarno::testing {
namespace {

using core::JsonValue;

const std::vector<std::string> expectedNames{
    // the native catalog's, in its order
    "tarno_list", "tarno_query", "tarno_context", "tarno_get", "tarno_rate", "tarno_flag",
    "tarno_show", "tarno_select",
    // the rest in method order
    "tarno_ping", "tarno_selection", "tarno_label", "tarno_edit_get", "tarno_edit",
    "tarno_edit_commit", "tarno_preview", "tarno_annotate_pending", "tarno_annotate_set",
    "tarno_similar", "tarno_open_editor", "tarno_favorite", "tarno_hide", "tarno_delete",
    "tarno_edit_reset", "tarno_collection_list", "tarno_collection_create", "tarno_collection_add",
    "tarno_collection_remove", "tarno_keyword_list", "tarno_keyword_create", "tarno_keyword_assign",
    "tarno_keyword_remove", "tarno_album_list", "tarno_album_create", "tarno_album_add",
    "tarno_album_remove", "tarno_snapshot_list", "tarno_snapshot_save", "tarno_snapshot_restore",
    "tarno_export", "tarno_exif", "tarno_import", "tarno_video_commit", "tarno_lut_list",
    "tarno_geotag", "tarno_movie_make", "tarno_movie_list"};

std::string compact(const JsonValue& v) {
  std::string out;
  core::JsonWriter(out).value(v);
  return out;
}

const JsonValue& member(const JsonValue& v, std::string_view key) {
  static const JsonValue missing;
  const JsonValue* found = v.find(key);
  return found ? *found : missing;
}

std::string text(const JsonValue& v) {
  const std::string* s = v.asString();
  return s ? *s : std::string("<not a string>");
}

std::string listRequest(int id) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":"tools/list"})" + "\n";
}

std::string callRequest(int id, std::string_view name, const std::string& arguments) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) +
         R"(,"method":"tools/call","params":{"name":")" + std::string(name) + R"(","arguments":)" +
         arguments + "}}\n";
}

std::string rateDecoderSays(const std::string& line) {
  try {
    (void)protocol::RPC::decodeParams<protocol::RateParams>(line);
    return "accepted";
  } catch (const core::DecodingError& e) {
    return e.what();
  }
}

class TarnoMCPTools : public ::testing::Test {
 protected:
  // The app answers every request with the request itself as its result.
  fakes::FakeAppPeer app{[](const std::string& request) -> std::optional<std::string> {
    return R"({"jsonrpc":"2.0","id":1,"result":)" + request + "}";
  }};

  std::vector<JsonValue> session(const std::string& input) {
    return answerLines(mcpSession(TARNO_MCP_PATH, app.socketPath(), input));
  }

  JsonValue toolList() {
    const std::vector<JsonValue> answers = session(listRequest(1));
    return answers.size() == 1 ? member(member(answers[0], "result"), "tools") : JsonValue();
  }
};

TEST_F(TarnoMCPTools, OffersOneToolPerMethodTheCatalogsFirstWithinTheSizeBound) {
  const std::string printed = mcpSession(TARNO_MCP_PATH, app.socketPath(), listRequest(1));
  // The model pays for the list on every turn.
  EXPECT_LE(printed.size(), 32u * 1024u);
  const JsonValue tools = member(member(answerLines(printed).at(0), "result"), "tools");
  ASSERT_TRUE(tools.isArray());

  std::vector<std::string> names;
  for (const JsonValue& tool : *tools.asArray()) {
    names.push_back(text(member(tool, "name")));
    EXPECT_GE(text(member(tool, "description")).size(), 20u) << names.back();
    EXPECT_EQ(text(member(member(tool, "inputSchema"), "type")), "object") << names.back();
    EXPECT_TRUE(member(member(tool, "inputSchema"), "properties").isObject()) << names.back();
  }
  EXPECT_EQ(names, expectedNames);

  // The catalog's eight exactly as the native engine describes them.
  const auto& catalog = assistant::NativeToolCatalog::tools();
  for (std::size_t i = 0; i < catalog.size(); ++i) {
    const JsonValue& tool = tools.asArray()->at(i);
    EXPECT_EQ(text(member(tool, "description")), catalog[i].description);
    EXPECT_EQ(member(tool, "inputSchema"), catalog[i].parameters);
  }

  // Methods without parameters take an empty object.
  for (const char* name : {"tarno_ping", "tarno_selection", "tarno_collection_list",
                           "tarno_lut_list", "tarno_movie_list"}) {
    const auto at = std::find(names.begin(), names.end(), name) - names.begin();
    EXPECT_EQ(compact(member(tools.asArray()->at(at), "inputSchema")),
              R"({"type":"object","properties":{}})");
  }
}

TEST_F(TarnoMCPTools, EveryToolReachesItsOwnMethodWithItsArgumentsUnchanged) {
  const JsonValue tools = toolList();
  ASSERT_TRUE(tools.isArray());
  std::string input;
  std::vector<std::string> sent;
  int id = 0;
  for (const JsonValue& tool : *tools.asArray()) {
    // What the schema asks for (which the app must take), plus a member no record declares: passed
    // through as it is.
    JsonValue arguments = smallestDocument(member(tool, "inputSchema"));
    arguments.asObject()->emplace_back("extra", JsonValue::Array{1, "two"});
    sent.push_back(compact(arguments));
    input += callRequest(++id, text(member(tool, "name")), sent.back());
  }
  const std::vector<JsonValue> answers = session(input);
  ASSERT_EQ(answers.size(), sent.size());

  std::set<std::string> methods;
  for (std::size_t i = 0; i < answers.size(); ++i) {
    const std::string name = text(member(tools.asArray()->at(i), "name"));
    const JsonValue& result = member(answers[i], "result");
    ASSERT_EQ(member(result, "isError"), JsonValue(false))
        << name << ": " << compact(member(result, "content"));
    const JsonValue& content = member(result, "content");
    ASSERT_EQ(content.asArray()->size(), 1u) << name;
    const std::optional<JsonValue> request =
        core::parseJsonIfValid(text(member(content.asArray()->front(), "text")));
    ASSERT_TRUE(request) << name;
    EXPECT_EQ(compact(member(*request, "params")), sent[i]) << name;
    methods.insert(text(member(*request, "method")));
  }
  std::set<std::string> all;
  for (const protocol::IPCMethod m : core::allCases<protocol::IPCMethod>) {
    all.insert(std::string(core::rawValue(m)));
  }
  EXPECT_EQ(methods, all);
}

TEST_F(TarnoMCPTools, ArgumentsThatDoNotFitTheRecordAreErrorResultsThatNeverReachTheApp) {
  std::atomic<int> reached = 0;
  fakes::FakeAppPeer counting([&](const std::string&) -> std::optional<std::string> {
    ++reached;
    return R"({"jsonrpc":"2.0","id":1,"result":{}})";
  });
  struct Case {
    std::string tool, arguments, line;
  };
  const std::vector<Case> cases{
      {"tarno_rate", R"({"ids":"a","rating":5})", R"({"params":{"ids":"a","rating":5}})"},
      {"tarno_rate", R"({"ids":["a"]})", R"({"params":{"ids":["a"]}})"},
      {"tarno_edit", R"({"id":"p","ops":[{"kind":"brightness","scalar":1}]})",
       R"({"params":{"id":"p","ops":[{"kind":"brightness","scalar":1}]}})"},
      {"tarno_delete", R"({"ids":[1]})", R"({"params":{"ids":[1]}})"},
      {"tarno_query", R"({"dateFrom":"yesterday"})", R"({"params":{"dateFrom":"yesterday"}})"},
  };
  std::string input;
  for (std::size_t i = 0; i < cases.size(); ++i) {
    input += callRequest(static_cast<int>(i) + 1, cases[i].tool, cases[i].arguments);
  }
  const std::vector<JsonValue> answers =
      answerLines(mcpSession(TARNO_MCP_PATH, counting.socketPath(), input));
  ASSERT_EQ(answers.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].arguments);
    const JsonValue& result = member(answers[i], "result");
    EXPECT_EQ(member(result, "isError"), JsonValue(true));
    const std::string said = text(member(member(result, "content").asArray()->front(), "text"));
    // The text the app's own decoder gives for the same parameters.
    if (cases[i].tool == "tarno_rate") {
      EXPECT_EQ(said, rateDecoderSays(cases[i].line));
    }
    EXPECT_NE(said.find("params."), std::string::npos) << said;  // says where
  }
  EXPECT_EQ(reached, 0);
}

TEST_F(TarnoMCPTools, TheListIsTheSameBytesEveryTime) {
  std::string input;
  for (int i = 0; i < 1000; ++i)
    input += listRequest(7);
  const std::string printed = mcpSession(TARNO_MCP_PATH, app.socketPath(), input);
  const std::string first = printed.substr(0, printed.find('\n') + 1);
  ASSERT_GT(first.size(), 1000u);
  std::string repeated;
  for (int i = 0; i < 1000; ++i)
    repeated += first;
  EXPECT_TRUE(printed == repeated);
}

TEST(TarnoMCPPreviews, ComeAsImagesWithANoteAndOversizedOnesAsAnError) {
  const std::string png = "iVBORw0KGgoAAAANSUhEUgAAAAEAAAABCAYAAAAfFcSJAAAADUlEQVR42mNk";
  const std::string preview = R"({"pngBase64":")" + png +
                              R"(","width":640,"height":427,"appliedStackVersion":3,)"
                              R"("basedOnOriginal":false})";
  const std::string huge(8 * 1024 * 1024 - 32 * 1024, 'A');
  fakes::FakeAppPeer app([&](const std::string& request) -> std::optional<std::string> {
    if (request.find("\"huge\"") != std::string::npos) {
      return R"({"jsonrpc":"2.0","id":1,"result":{"pngBase64":")" + huge +
             R"(","width":9000,"height":9000,"appliedStackVersion":0,"basedOnOriginal":true}})";
    }
    if (request.find("preview.render") != std::string::npos) {
      return R"({"jsonrpc":"2.0","id":1,"result":)" + preview + "}";
    }
    const std::string stack = R"({"values":{},"masks":[],"version":1})";
    if (request.find(R"("preview":true)") != std::string::npos) {
      return R"({"jsonrpc":"2.0","id":1,"result":{"newVersion":3,"stack":)" + stack +
             R"(,"preview":)" + preview + "}}";
    }
    return R"({"jsonrpc":"2.0","id":1,"result":{"newVersion":3,"stack":)" + stack + "}}";
  });
  const std::string input = callRequest(1, "tarno_preview", R"({"id":"p"})") +
                            callRequest(2, "tarno_edit", R"({"id":"p","ops":[],"preview":true})") +
                            callRequest(3, "tarno_edit", R"({"id":"p","ops":[]})") +
                            callRequest(4, "tarno_preview", R"({"id":"huge"})");
  const std::vector<JsonValue> answers =
      answerLines(mcpSession(TARNO_MCP_PATH, app.socketPath(), input));
  ASSERT_EQ(answers.size(), 4u);

  for (int i : {0, 1}) {
    const JsonValue& result = member(answers[i], "result");
    EXPECT_EQ(member(result, "isError"), JsonValue(false));
    const JsonValue::Array& content = *member(result, "content").asArray();
    ASSERT_EQ(content.size(), 2u);
    EXPECT_EQ(compact(content[0]),
              R"({"type":"image","data":")" + png + R"(","mimeType":"image/png"})");
    const std::string note = text(member(content[1], "text"));
    EXPECT_NE(note.find("640x427"), std::string::npos) << note;
    EXPECT_NE(note.find("version 3"), std::string::npos) << note;
    EXPECT_NE(note.find("edits applied"), std::string::npos) << note;
    EXPECT_EQ(note.find(png), std::string::npos) << "the image travels once";
  }
  // The edit's own result still reaches the model, without the image in it.
  const std::string edited =
      text(member(member(member(answers[1], "result"), "content").asArray()->at(1), "text"));
  EXPECT_NE(edited.find(R"("newVersion":3)"), std::string::npos) << edited;

  const JsonValue::Array& plain = *member(member(answers[2], "result"), "content").asArray();
  ASSERT_EQ(plain.size(), 1u);
  EXPECT_EQ(text(member(plain[0], "type")), "text");

  const JsonValue& refused = member(answers[3], "result");
  EXPECT_EQ(member(refused, "isError"), JsonValue(true));
  EXPECT_NE(text(member(member(refused, "content").asArray()->front(), "text")).find("too large"),
            std::string::npos);
}

}  // namespace
}  // namespace tarno::testing
