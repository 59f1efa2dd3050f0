// The tarno-headless executable end to end, over a copy of the sample photo library in a
// temporary directory, always on an explicit --ipc socket and --store: its start line and
// endpoint file, the answers on its socket, a second instance and a stale socket, the end on
// SIGTERM, a client that leaves mid-line, and both engines' tools acting on it.
#include <gtest/gtest.h>
#include <signal.h>

#include <array>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <variant>

#include "fakes/fake-chat-server/fake_chat_server.hpp"
#include "fakes/fake_claude_script.hpp"
#include "fakes/ipc_line_client.hpp"
#include "headless_process.hpp"
#include "mcp_session.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/protocol/collection_records.hpp"
#include "tarno/protocol/edit_records.hpp"
#include "tarno/protocol/ipc_endpoint.hpp"
#include "tarno/protocol/library_records.hpp"
#include "tarno/protocol/media_records.hpp"
#include "tarno/protocol/query_records.hpp"
#include "tarno/protocol/rpc.hpp"
#include "tarno/protocol/snapshot_records.hpp"

namespace tarno::assistant {
namespace {

TEST(TarnoHeadless, ServesAtOnceDescribesItselfAndEndsCleanlyOnSIGTERM) {
  Place place;
  Headless headless(place.arguments());
  EXPECT_EQ(headless.firstLine(), "tarno-headless: serving on " + place.socket() + "\n");

  // Serving starts with the line, before the scan has necessarily ended.
  const auto ping = result<protocol::PingResult>(call(place.socket(), "system.ping"));
  EXPECT_EQ(ping.protocolVersion, protocol::ipcProtocolVersion);
  EXPECT_EQ(ping.appVersion, TARNO_PROJECT_VERSION);
  EXPECT_TRUE(ping.libraryAuthorized);
  awaitScan(place.socket());

  std::ifstream file(place.endpointFile());
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  EXPECT_EQ(core::decodeFromString<protocol::IPCEndpoint::EndpointInfo>(text),
            (protocol::IPCEndpoint::EndpointInfo{.socketPath = place.socket(),
                                                 .protocolVersion = 1,
                                                 .appVersion = TARNO_PROJECT_VERSION,
                                                 .pid = headless.child.pid()}));
  EXPECT_EQ(fs::status(place.socket()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);

  ASSERT_TRUE(headless.child.terminate());
  EXPECT_EQ(headless.child.wait(), ExitStatus::exitedWith(0));
  EXPECT_EQ(headless.restOfOutput(), "tarno-headless: serving on " + place.socket() + "\n");
  EXPECT_FALSE(fs::exists(place.socket()));
  EXPECT_FALSE(fs::exists(place.endpointFile()));

  // The store was closed properly: a new run finds the same library at once, and SIGINT ends
  // it the same way.
  Headless again(place.arguments());
  EXPECT_EQ(again.firstLine(), "tarno-headless: serving on " + place.socket() + "\n");
  awaitScan(place.socket());
  ASSERT_TRUE(again.child.sendSignal(SIGINT));
  EXPECT_EQ(again.child.wait(), ExitStatus::exitedWith(0));
  EXPECT_FALSE(fs::exists(place.socket()));
}

TEST(TarnoHeadless, RefusesASecondInstanceAndReplacesAStaleSocket) {
  Place place;
  {
    Headless first(place.arguments());
    ASSERT_EQ(first.firstLine(), "tarno-headless: serving on " + place.socket() + "\n");

    Headless second(place.arguments());
    EXPECT_EQ(second.child.wait(), ExitStatus::exitedWith(2));
    EXPECT_EQ(second.restOfOutput(),
              "tarno-headless: another process is already serving on " + place.socket() + "\n");
    // The first one goes on serving, its endpoint file untouched.
    EXPECT_EQ(result<protocol::PingResult>(call(place.socket(), "system.ping")).protocolVersion, 1);
    std::ifstream file(place.endpointFile());
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_EQ(core::decodeFromString<protocol::IPCEndpoint::EndpointInfo>(text).pid,
              first.child.pid());

    // Killed: nothing removes its socket.
    first.child.sendSignal(SIGKILL);
    EXPECT_EQ(first.child.wait(), ExitStatus::killedBy(SIGKILL));
  }
  ASSERT_TRUE(fs::is_socket(place.socket()));

  Headless next(place.arguments());
  EXPECT_EQ(next.firstLine(), "tarno-headless: serving on " + place.socket() + "\n");
  EXPECT_EQ(result<protocol::PingResult>(call(place.socket(), "system.ping")).protocolVersion, 1);

  // Usage errors and a folder that is not there are refused with status 2 too.
  for (const Strings& arguments :
       {Strings{}, Strings{"--ipc"}, Strings{"--bogus", place.photos()},
        Strings{"--ipc", place.socket() + "2", place.dir.path() + "/absent"}}) {
    Headless refused(arguments);
    EXPECT_EQ(refused.child.wait(), ExitStatus::exitedWith(2));
    EXPECT_TRUE(refused.restOfOutput().starts_with("tarno-headless: ")) << arguments.size();
  }
}

TEST(TarnoHeadless, AClientThatLeavesMidLineDoesNotDisturbTheOthers) {
  Place place;
  Headless headless(place.arguments());
  ASSERT_EQ(headless.firstLine(), "tarno-headless: serving on " + place.socket() + "\n");
  LineClient staying(place.socket());
  for (int i = 0; i < 50; ++i) {
    LineClient leaving(place.socket());
    ASSERT_TRUE(leaving.send(R"({"jsonrpc":"2.0","id":1,"method":"system.pi)"));
  }
  // The staying client's requests, sent in one write, are answered in order.
  ASSERT_TRUE(
      staying.send(R"({"jsonrpc":"2.0","id":1,"method":"system.ping"})"
                   "\n"
                   R"({"jsonrpc":"2.0","id":2,"method":"library.list","params":{"limit":1}})"
                   "\n"));
  const auto first = staying.readLine();
  const auto second = staying.readLine();
  ASSERT_TRUE(first && second);
  EXPECT_NE(first->find(R"("id":1,"result":{"appVersion")"), std::string::npos) << *first;
  EXPECT_NE(second->find(R"("id":2,"result":{"photos")"), std::string::npos) << *second;
  EXPECT_TRUE(headless.child.isRunning());
}

// One photo id of the library.
std::string somePhoto(const std::string& socket) {
  const auto list = result<protocol::ListResult>(call(socket, "library.list", R"({"limit":1})"));
  if (list.photos.empty()) throw std::runtime_error("no photo listed");
  return list.photos.front().id;
}

std::int64_t ratingOf(const std::string& socket, const std::string& id) {
  const auto got =
      result<protocol::GetResult>(call(socket, "photo.get", R"({"id":")" + id + "\"}"));
  return got.metadata ? got.metadata->rating : -1;
}

TEST(TarnoHeadless, TheNativeEngineAndTheMCPServerActOnIt) {
  Place place;
  Headless headless(place.arguments());
  ASSERT_EQ(headless.firstLine(), "tarno-headless: serving on " + place.socket() + "\n");
  awaitScan(place.socket());
  const std::string id = somePhoto(place.socket());
  ASSERT_NE(ratingOf(place.socket(), id), 4);

  // A native turn whose model rates the photo four stars.
  fakes::FakeChatServer model({fakes::ChatReply::toolCalls({fakes::toolCall(
                                   "c1", "tarno_rate", R"({"ids":[")" + id + R"("],"rating":4})")}),
                               fakes::ChatReply::content("Rated.")});
  auto native = std::get<ChildProcess>(
      ChildProcess::spawn(ChildProcess::Options(TARNO_NATIVE_PATH)
                              .withArguments({"--endpoint", model.endpoint(), "--model", "m",
                                              "--prompt", "Rate it", "--ipc", place.socket()})
                              .withEnvironment({})
                              .withStandardOutput(ChildProcess::Stdio::piped())
                              .withStandardError(ChildProcess::Stdio::devNull())));
  const unique_fd out = native.takeStdout();
  std::string printed;
  std::array sources{OutputSource{out.get(), [&](auto chunk) { printed += chunk; }}};
  readToEnd(sources);
  EXPECT_EQ(native.wait(), ExitStatus::exitedWith(0));
  std::istringstream lines(printed);
  std::vector<AssistantEvent> events;
  for (std::string line; std::getline(lines, line);)
    events.push_back(core::decodeFromString<AssistantEvent>(line));
  ASSERT_EQ(events.size(), 3u) << printed;
  const auto* toolResult = events[1].as<AssistantEvent::ToolResult>();
  ASSERT_NE(toolResult, nullptr) << printed;
  EXPECT_FALSE(toolResult->isError) << printed;
  EXPECT_EQ(events[2], AssistantEvent::finished("Rated.", false));
  EXPECT_EQ(ratingOf(place.socket(), id), 4);

  // tarno-mcp's tool call is answered by the same library, with the new rating in it.
  auto mcp = std::get<ChildProcess>(
      ChildProcess::spawn(ChildProcess::Options(TARNO_MCP_PATH)
                              .withArguments({"--ipc", place.socket()})
                              .withEnvironment({})
                              .withStandardInput(ChildProcess::Stdio::piped())
                              .withStandardOutput(ChildProcess::Stdio::piped())
                              .withStandardError(ChildProcess::Stdio::devNull())));
  {
    const unique_fd in = mcp.takeStdin();
    ASSERT_TRUE(writeAll(
        in.get(),
        R"({"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}})"
        "\n"
        R"({"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"tarno_get","arguments":{"id":")" +
            id + R"("}}})" + "\n"));
  }
  const unique_fd mcpOut = mcp.takeStdout();
  std::string answered;
  std::array mcpSources{OutputSource{mcpOut.get(), [&](auto chunk) { answered += chunk; }}};
  readToEnd(mcpSources);
  EXPECT_EQ(mcp.wait(), ExitStatus::exitedWith(0));
  const std::string callLine = answered.substr(answered.find('\n') + 1);
  const core::JsonValue response = core::parseJson(callLine.substr(0, callLine.find('\n')));
  const core::JsonValue* callResult = response.find("result");
  ASSERT_NE(callResult, nullptr) << answered;
  EXPECT_EQ(*callResult->find("isError"), core::JsonValue(false)) << answered;
  const std::string text =
      *callResult->find("content")->asArray()->front().find("text")->asString();
  const auto got = core::decodeFromString<protocol::GetResult>(text);
  EXPECT_EQ(got.photo.id, id);
  ASSERT_TRUE(got.metadata);
  EXPECT_EQ(got.metadata->rating, 4);
}

// A model's edit session through tarno-mcp against the headless app, each step's effect read
// back through the app's own methods: a stale version refused, the right one applied with a
// preview the model can see, a snapshot, a collection and an export.
class MCPOnHeadless : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(headless.firstLine(), "tarno-headless: serving on " + place.socket() + "\n");
    awaitScan(place.socket());
    id = somePhoto(place.socket());
  }

  // Each call's result ({"content":…,"isError":…}), in order.
  std::vector<core::JsonValue> calls(
      const std::vector<std::pair<std::string, std::string>>& script) {
    std::string input;
    int n = 0;
    for (const auto& [tool, arguments] : script) {
      input += R"({"jsonrpc":"2.0","id":)" + std::to_string(++n) +
               R"(,"method":"tools/call","params":{"name":")" + tool + R"(","arguments":)" +
               arguments + "}}\n";
    }
    std::vector<core::JsonValue> results;
    for (const core::JsonValue& answer :
         testing::answerLines(testing::mcpSession(TARNO_MCP_PATH, place.socket(), input))) {
      const core::JsonValue* result = answer.find("result");
      results.push_back(result ? *result : core::JsonValue());
    }
    EXPECT_EQ(results.size(), script.size());
    return results;
  }

  static bool isError(const core::JsonValue& result) {
    const core::JsonValue* flag = result.find("isError");
    return !flag || *flag != core::JsonValue(false);
  }
  static const core::JsonValue::Array& content(const core::JsonValue& result) {
    static const core::JsonValue::Array none;
    const core::JsonValue* items = result.find("content");
    return items && items->isArray() ? *items->asArray() : none;
  }
  static std::string itemText(const core::JsonValue& item) {
    const core::JsonValue* text = item.find("text");
    return text && text->isString() ? *text->asString() : "";
  }
  // A PNG file in Base64 begins with its signature, 89 50 4E 47 0D 0A 1A 0A.
  static bool isPNGImage(const core::JsonValue& item) {
    const core::JsonValue* data = item.find("data");
    return item.find("type") && *item.find("type") == core::JsonValue("image") &&
           item.find("mimeType") && *item.find("mimeType") == core::JsonValue("image/png") &&
           data && data->isString() && data->asString()->starts_with("iVBORw0KGgo");
  }

  protocol::EditGetResult stack() const {
    return result<protocol::EditGetResult>(
        call(place.socket(), "edit.get", R"({"id":")" + id + "\"}"));
  }

  Place place;
  Headless headless{place.arguments()};
  std::string id;
};

TEST_F(MCPOnHeadless, EditsPreviewsSnapshotsCollectsAndExportsAPhoto) {
  const std::int64_t version = stack().version;
  const std::string photo = R"("id":")" + id + "\"";
  const std::string brighter = R"("ops":[{"kind":"exposure","scalar":0.5}])";
  const std::vector<core::JsonValue> results = calls({
      {"tarno_edit",
       "{" + photo + "," + brighter + R"(,"expectedVersion":)" + std::to_string(version + 5) + "}"},
      {"tarno_edit", "{" + photo + "," + brighter + R"(,"expectedVersion":)" +
                         std::to_string(version) + R"(,"preview":true,"previewLongEdge":160})"},
      {"tarno_preview", "{" + photo + R"(,"longEdge":96})"},
      {"tarno_snapshot_save", "{" + photo + R"(,"name":"brighter"})"},
      {"tarno_collection_create", R"({"name":"Picks"})"},
      {"tarno_collection_add", R"({"name":"Picks","ids":[")" + id + R"("]})"},
      {"tarno_export", "{" + photo + R"(,"format":"png","longEdge":120})"},
  });
  ASSERT_EQ(results.size(), 7u);

  // The stale version: the app's conflict as the tool's error text, and only one edit made.
  EXPECT_TRUE(isError(results[0]));
  ASSERT_EQ(content(results[0]).size(), 1u);
  EXPECT_NE(
      itemText(content(results[0])[0])
          .find("at version " + std::to_string(version) + ", not " + std::to_string(version + 5)),
      std::string::npos)
      << itemText(content(results[0])[0]);
  const protocol::EditGetResult now = stack();
  EXPECT_EQ(now.version, version + 1);
  ASSERT_TRUE(now.stack.values.contains(core::AdjustmentKind::exposure));
  EXPECT_EQ(now.stack.values.at(core::AdjustmentKind::exposure).payload,
            core::AdjustmentPayload::scalar(0.5));

  // The edit and the preview each come with an image and a note that says what the app said.
  const auto preview = result<protocol::PreviewResult>(
      call(place.socket(), "preview.render", "{" + photo + R"(,"longEdge":96})"));
  EXPECT_EQ(preview.appliedStackVersion, version + 1);
  const std::string what =
      "PNG of edit stack version " + std::to_string(version + 1) +
      (preview.basedOnOriginal ? ", the original without edits" : ", edits applied");
  for (int i : {1, 2}) {
    SCOPED_TRACE(i);
    EXPECT_FALSE(isError(results[i]));
    ASSERT_EQ(content(results[i]).size(), 2u);
    EXPECT_TRUE(isPNGImage(content(results[i])[0]));
    EXPECT_NE(itemText(content(results[i])[1]).find(what), std::string::npos)
        << itemText(content(results[i])[1]);
  }
  EXPECT_EQ(*content(results[2])[0].find("data"), core::JsonValue(preview.pngBase64));
  EXPECT_TRUE(itemText(content(results[2])[1])
                  .starts_with("preview " + std::to_string(preview.width) + "x" +
                               std::to_string(preview.height) + " "));
  EXPECT_NE(itemText(content(results[1])[1]).find(R"("newVersion":)" + std::to_string(version + 1)),
            std::string::npos);

  for (std::size_t i = 3; i < results.size(); ++i) {
    EXPECT_FALSE(isError(results[i])) << i << ": " << itemText(content(results[i]).at(0));
  }
  const auto snapshots = result<protocol::SnapshotListResult>(
      call(place.socket(), "snapshot.list", R"({"id":")" + id + "\"}"));
  ASSERT_EQ(snapshots.snapshots.size(), 1u);
  EXPECT_EQ(snapshots.snapshots[0].name, "brighter");

  const auto collections =
      result<protocol::CollectionListResult>(call(place.socket(), "collection.list"));
  ASSERT_EQ(collections.collections.size(), 1u);
  EXPECT_EQ(collections.collections[0].name, "Picks");
  EXPECT_EQ(collections.collections[0].count, 1);

  const auto exported =
      core::decodeFromString<protocol::ExportRenderResult>(itemText(content(results[6]).at(0)));
  EXPECT_EQ(exported.format, "png");
  std::ifstream file(exported.path, std::ios::binary);
  std::string signature(8, '\0');
  file.read(signature.data(), 8);
  EXPECT_EQ(signature, "\x89PNG\r\n\x1a\n");
  EXPECT_EQ(static_cast<std::int64_t>(fs::file_size(exported.path)), exported.bytes);
}

}  // namespace
}  // namespace tarno::assistant
