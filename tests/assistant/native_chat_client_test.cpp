// The chat client against the loopback fake server: the request as the server receives it, the
// answer it returns, and every way an answer can fail.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "fakes/fake-chat-server/fake_chat_server.hpp"
#include "fakes/fake_claude_script.hpp"
#include "tarno/assistant/native/chat_client.hpp"
#include "tarno/assistant/native/native_tool_catalog.hpp"
#include "tarno/core/json_coding.hpp"

namespace tarno::assistant {
namespace {

using core::JsonValue;
using fakes::ChatReply;
using namespace std::chrono_literals;

const JsonValue::Array conversation{JsonValue::Object{{"role", "user"}, {"content", "Hi"}}};
const JsonValue message = JsonValue::Object{
    {"tool_calls", JsonValue::Array{fakes::toolCall("c1", "tarno_list", "{}")}}, {"x", 1.5}};

TEST(NativeChatClient, PostsFourMembersAndTwoHeadersToTheJoinedPathAndReturnsTheMessage) {
  for (const auto& [prefix, suffix, key, target] :
       {std::tuple{" \t", "", "", "/chat/completions"},
        std::tuple{"", "/v1 \t", "sk-1", "/v1/chat/completions"},
        std::tuple{"", "/v1/", "", "/v1//chat/completions"}}) {
    fakes::FakeChatServer server({ChatReply::message(message)});
    EXPECT_EQ(ChatClient().chat({prefix + server.endpoint() + suffix, "m-7", key}, conversation),
              message);
    const auto requests = server.requests();
    ASSERT_EQ(requests.size(), 1u);
    EXPECT_EQ(requests[0].requestLine, "POST " + std::string(target) + " HTTP/1.1");
    EXPECT_EQ(requests[0].header("content-type"), "application/json");
    EXPECT_EQ(requests[0].header("authorization"),
              *key ? std::optional("Bearer " + std::string(key)) : std::nullopt);
    EXPECT_EQ(core::parseJson(requests[0].body),
              (JsonValue::Object{{"model", "m-7"},
                                 {"messages", conversation},
                                 {"stream", false},
                                 {"tools", NativeToolCatalog::schema()}}));
  }
  // A URL that is not HTTP has no status: its content is read as a success.
  const fakes::TempDir dir;
  std::filesystem::create_directories(dir.path() + "/chat");
  std::ofstream(dir.path() + "/chat/completions") << ChatReply::message(message).body;
  EXPECT_EQ(ChatClient().chat({"file://" + dir.path(), "m", ""}, conversation), message);
}

std::string failureOf(const std::string& endpoint, const ChatOptions& options) {
  try {
    ChatClient(options).chat({endpoint, "m", ""}, conversation);
  } catch (const NativeError& error) {
    return std::string("NativeError: ") + error.what();
  } catch (const ChatTransportError& error) {
    return std::string("transport: ") + error.what();
  } catch (const core::DecodingError& error) {
    return std::string("decoding: ") + error.what();
  }
  return "no failure";
}

TEST(NativeChatClient, ReportsEveryFailureOnceWithoutRetrying) {
  std::string accents;
  for (int i = 0; i < 1000; ++i)
    accents += "e\u0301";  // one character, three bytes
  struct Row {
    ChatReply reply;
    std::string expected;  // the failure; its start for transport and decoding failures
    std::string endpoint = "";
    ChatOptions options = {};
  };
  const Row rows[] = {
      {{.status = 500, .body = accents}, "NativeError: " + accents.substr(0, 900)},
      {{.status = 502, .body = "\xff\xfe"}, "NativeError: HTTP 502"},
      {{.status = 404, .body = ""}, "NativeError: "},
      {{.body = R"({"choices":[]})"}, "NativeError: unexpected response shape"},
      {{.body = R"({"choices":[{"message":{}},2]})"}, "NativeError: unexpected response shape"},
      {{.body = R"({"choices":[{"message":"hi"}]})"}, "NativeError: unexpected response shape"},
      {{.body = "garbage"}, "decoding: The given data was not valid JSON."},
      {{.body = "nonsense\r\n\r\n", .raw = true}, "transport: "},
      {{.body = R"({"choices":[)", .closeEarly = true}, "transport: "},
      {{.floodBytes = 100'000'000}, "transport: the answers are larger than 16777216 bytes"},
      {{.delay = 10s}, "transport: Operation timed out", "", {.timeout = 200ms}},
      {{}, "NativeError: invalid endpoint URL", "not a url"},
      {{}, "NativeError: invalid endpoint URL", "http://127.0.0.1:1\n"},
  };
  for (const Row& row : rows) {
    fakes::FakeChatServer server({row.reply});
    const std::string failure =
        failureOf(row.endpoint.empty() ? server.endpoint() : row.endpoint, row.options);
    const bool prefixOnly = !row.expected.starts_with("NativeError");
    EXPECT_EQ(prefixOnly ? failure.substr(0, row.expected.size()) : failure, row.expected);
    EXPECT_EQ(server.requests().size(), row.endpoint.empty() ? 1u : 0u) << row.expected;
  }
  // The limit holds for a client's answers together: a turn keeps every one of them.
  fakes::FakeChatServer server({ChatReply::content(std::string(600, 'a'))});
  ChatClient client(ChatOptions{.maxResponseBytes = 1500});
  for (int call = 0; call < 2; ++call)
    EXPECT_NO_THROW(client.chat({server.endpoint(), "m", ""}, conversation));
  EXPECT_THROW(client.chat({server.endpoint(), "m", ""}, conversation), ChatTransportError);

  // A key that would end its header line early is refused before anything is sent.
  fakes::FakeChatServer keyed({ChatReply::content("hi")});
  for (const char* key : {"sk\r\nX-Injected: 1", "sk\n", "\x01sk"}) {
    EXPECT_THROW(ChatClient().chat({keyed.endpoint(), "m", key}, conversation), ChatTransportError);
  }
  EXPECT_TRUE(keyed.requests().empty());
}

}  // namespace
}  // namespace tarno::assistant
