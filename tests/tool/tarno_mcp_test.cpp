// The tarno-mcp executable end to end: scripted sessions on its standard input, its tool calls
// carried to the fake app peer over a socket in a temporary directory.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <sstream>
#include <thread>
#include <variant>

#include "fakes/fake-app-peer/fake_app_peer.hpp"
#include "mcp_session.hpp"
#include "tarno/assistant/native/native_tool_catalog.hpp"
#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/core/json_coding.hpp"

namespace tarno::assistant {
namespace {

using Values = std::vector<std::pair<std::string, std::string>>;

// ">" lines of `transcript` are the input, the last one left without its line feed; "<" lines
// are all that standard output may hold, in order. The process must end quietly with status 0.
// Each {NAME} of `values` stands for its text.
void expectTranscript(const std::string& ipc, const std::string& transcript, Values values) {
  values.emplace_back("{VERSION}", TARNO_PROJECT_VERSION);
  std::string input, expected;
  std::istringstream lines(transcript);
  for (std::string line; std::getline(lines, line);) {
    for (const auto& [name, value] : values) {
      for (std::size_t at; (at = line.find(name)) != std::string::npos;)
        line.replace(at, name.size(), value);
    }
    const std::string text = line.substr(std::min(line.size(), std::size_t{2}));
    if (line.starts_with(">")) input += text + "\n";
    if (line.starts_with("<")) expected += text + "\n";
  }
  input.pop_back();
  EXPECT_EQ(testing::mcpSession(TARNO_MCP_PATH, ipc, input), expected);
}

TEST(TarnoMCP, AnswersTheHandshakeAndTheToolsAndRefusesBadLinesWithoutStopping) {
  // The app answers with the request it got, or fails a flag.
  fakes::FakeAppPeer app([](const std::string& request) -> std::optional<std::string> {
    if (request.find("photo.flag") == std::string::npos) return R"({"result":)" + request + "}";
    return R"({"id":1,"error":{"code":-32001,"message":"store is closed"}})";
  });
  expectTranscript(app.socketPath(), R"(
> {"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2024-11-05","capabilities":{}}}
< {"jsonrpc":"2.0","id":1,"result":{"protocolVersion":"2024-11-05","capabilities":{"tools":{"listChanged":false}},"serverInfo":{"name":"tarno","version":"{VERSION}"}}}
> {"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-03-26"}}
< {"jsonrpc":"2.0","id":1,"result":{"protocolVersion":"2025-03-26","capabilities":{"tools":{"listChanged":false}},"serverInfo":{"name":"tarno","version":"{VERSION}"}}}
> {"jsonrpc":"2.0","id":1,"method":"initialize","params":{"protocolVersion":"2025-06-18"}}
< {"jsonrpc":"2.0","id":1,"result":{"protocolVersion":"2025-06-18","capabilities":{"tools":{"listChanged":false}},"serverInfo":{"name":"tarno","version":"{VERSION}"}}}
> {"jsonrpc":"2.0","id":"i","method":"initialize","params":{"protocolVersion":"1999-01-01"}}
< {"jsonrpc":"2.0","id":"i","result":{"protocolVersion":"2025-11-25","capabilities":{"tools":{"listChanged":false}},"serverInfo":{"name":"tarno","version":"{VERSION}"}}}
> {"jsonrpc":"2.0","method":"notifications/initialized"}
> {"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"tarno_rate","arguments":{"ids":["a"],"rating":5}}}
< {"jsonrpc":"2.0","id":3,"result":{"content":[{"type":"text","text":"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"photo.rate\",\"params\":{\"ids\":[\"a\"],\"rating\":5}}"}],"isError":false}}
> {"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"tarno_flag","arguments":{"ids":["a"],"flag":"pick"}}}
< {"jsonrpc":"2.0","id":4,"result":{"content":[{"type":"text","text":"store is closed"}],"isError":true}}
> {"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"tarno_get","arguments":{"id":"{LONG}"}}}
< {"jsonrpc":"2.0","id":5,"result":{"content":[{"type":"text","text":"{\"jsonrpc\":\"2.0\",\"id\":1,\"method\":\"photo.get\",\"params\":{\"id\":\"{LONG}\"}}"}],"isError":false}}
> {"jsonrpc":"2.0","id":6,"method":"tools/call","params":{"name":"tarno_Delete","arguments":{}}}
< {"jsonrpc":"2.0","id":6,"error":{"code":-32602,"message":"unknown tool 'tarno_Delete'"}}
> {"jsonrpc":"2.0","id":7,"method":"server/discover"}
< {"jsonrpc":"2.0","id":7,"error":{"code":-32601,"message":"method not found: server/discover"}}
> not json
< {"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"parse error: not JSON"}}
> {"jsonrpc":"2.0","id":8,"method":"tools/call","params":[]}
< {"jsonrpc":"2.0","id":8,"error":{"code":-32602,"message":"invalid params: expected an object"}}
> {"jsonrpc":"2.0","id":9,"result":{}}
> {"jsonrpc":"2.0","id":10,"method":"ping"}
< {"jsonrpc":"2.0","id":10,"result":{}})",
                   {{"{LONG}", std::string(2000, 'x')}});  // not cut

  // Without the app each call says so; a line beyond the app's frame limit is refused whole.
  const std::string gone = app.socketPath() + ".gone";
  expectTranscript(
      gone, R"(
> {HUGE}
< {"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"parse error: longer than 8388608 bytes"}}
> {"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"tarno_context"}}
< {"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"text","text":"couldn't reach the app at {GONE}"}],"isError":true}})",
      {{"{HUGE}", std::string(protocol::FrameCodec::maxFrameBytes + 1, '[')}, {"{GONE}", gone}});
}

TEST(TarnoMCP, DropsAnOverlongLineWholeEvenAsTheLastLineOfTheInput) {
  fakes::FakeAppPeer app([](const std::string&) { return R"({"id":1,"result":"ok"})"; });
  const std::string refused =
      "> {HUGE}\n"
      R"(< {"jsonrpc":"2.0","id":null,"error":{"code":-32700,"message":"parse error: longer than 8388608 bytes"}})";
  // The tail of the line would be a valid call on its own.
  expectTranscript(
      app.socketPath(), refused,
      {{"{HUGE}",
        std::string(9 << 20, ' ') +
            R"({"jsonrpc":"2.0","id":"x","method":"tools/call","params":{"name":"tarno_rate","arguments":{"ids":["a"],"rating":1}}})"}});
  // However many frames' worth the line holds, it gets one answer.
  expectTranscript(app.socketPath(), refused,
                   {{"{HUGE}", std::string(3 * protocol::FrameCodec::maxFrameBytes + 5, '[')}});
  EXPECT_EQ(app.requests(), std::vector<std::string>{});
}

TEST(TarnoMCP, RefusesMessagesThatAreNotJSONRPC2Requests) {
  fakes::FakeAppPeer app([](const std::string&) { return R"({"id":1,"result":"ok"})"; });
  expectTranscript(app.socketPath(), R"(
> {"jsonrpc":"2.0","id":true,"method":"ping"}
< {"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"invalid request: the id is not a string, a number or null"}}
> {"jsonrpc":"2.0","id":[],"method":"ping"}
< {"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"invalid request: the id is not a string, a number or null"}}
> {"jsonrpc":"2.0","id":{},"method":"tools/call","params":{"name":"tarno_context"}}
< {"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"invalid request: the id is not a string, a number or null"}}
> {"id":1,"method":"tools/call","params":{"name":"tarno_context"}}
< {"jsonrpc":"2.0","id":1,"error":{"code":-32600,"message":"invalid request: not JSON-RPC 2.0"}}
> {"jsonrpc":"1.0","id":2,"method":"ping"}
< {"jsonrpc":"2.0","id":2,"error":{"code":-32600,"message":"invalid request: not JSON-RPC 2.0"}}
> {"jsonrpc":2.0,"id":"3","method":"ping"}
< {"jsonrpc":"2.0","id":"3","error":{"code":-32600,"message":"invalid request: not JSON-RPC 2.0"}}
> {"method":"notifications/initialized"}
< {"jsonrpc":"2.0","id":null,"error":{"code":-32600,"message":"invalid request: not JSON-RPC 2.0"}}
> {"jsonrpc":"2.0","method":"notifications/initialized"}
> {"jsonrpc":"2.0","id":null,"method":"ping"}
< {"jsonrpc":"2.0","id":null,"result":{}}
> {"jsonrpc":"2.0","id":-4.5,"method":"ping"}
< {"jsonrpc":"2.0","id":-4.5,"result":{}})",
                   {});
  EXPECT_EQ(app.requests(), std::vector<std::string>{});
}

TEST(TarnoMCP, CarriesArgumentsAndAnswersThroughAsTheirText) {
  fakes::FakeAppPeer app([](const std::string& request) -> std::optional<std::string> {
    if (request.find("photo.get") != std::string::npos) {
      return R"({"jsonrpc":"2.0","id":1,"result":{ "n" : 1.50, "s":"caf\u00e9 \"x\"" }})";
    }
    // An error that is no object is no error.
    if (request.find("app.context") != std::string::npos) {
      return R"({"id":1,"error":"busy","result":[1e400]})";
    }
    if (request.find("photo.flag") != std::string::npos) return R"({"id":1,"result":)";
    return R"({"id":1,"result":"ok"})";
  });
  // A line at the frame limit whose numbers a re-encoding would lengthen (9e15 as 9e+15).
  std::string grown =
      R"({"jsonrpc":"2.0","id":5,"method":"tools/call","params":{"name":"tarno_rate","arguments":{"ids":["a"],"rating":1,"n":[9e15)";
  while (grown.size() + 10 < protocol::FrameCodec::maxFrameBytes)
    grown += ",9e15";
  grown += "]}}}";
  expectTranscript(app.socketPath(), R"(
> {"jsonrpc":"2.0","id":1,"method":"tools/call","params":{"name":"tarno_rate","arguments":{ "ids" : [ "a b" ],"rating":1, "rating":9e15 }}}
< {"jsonrpc":"2.0","id":1,"result":{"content":[{"type":"text","text":"\"ok\""}],"isError":false}}
> {"jsonrpc":"2.0","id":2,"method":"tools/call","params":{"name":"tarno_get","arguments":{"id":"a"}}}
< {"jsonrpc":"2.0","id":2,"result":{"content":[{"type":"text","text":"{\"n\":1.50,\"s\":\"caf\\u00e9 \\\"x\\\"\"}"}],"isError":false}}
> {"jsonrpc":"2.0","id":3,"method":"tools/call","params":{"name":"tarno_context","arguments":null}}
< {"jsonrpc":"2.0","id":3,"result":{"content":[{"type":"text","text":"[1e400]"}],"isError":false}}
> {"jsonrpc":"2.0","id":4,"method":"tools/call","params":{"name":"tarno_flag","arguments":{"ids":[],"flag":"none"}}}
< {"jsonrpc":"2.0","id":4,"result":{"content":[{"type":"text","text":"no response"}],"isError":true}}
> {GROWN}
< {"jsonrpc":"2.0","id":5,"result":{"content":[{"type":"text","text":"\"ok\""}],"isError":false}})",
                   {{"{GROWN}", grown}});
  const std::vector<std::string> requests = app.requests();
  ASSERT_EQ(requests.size(), 5u);
  EXPECT_EQ(
      requests[0],
      R"({"jsonrpc":"2.0","id":1,"method":"photo.rate","params":{"ids":["a b"],"rating":1,"rating":9e15}})");
  EXPECT_EQ(requests[2], R"({"jsonrpc":"2.0","id":1,"method":"app.context","params":{}})");
  EXPECT_TRUE(requests[4].starts_with(
      R"({"jsonrpc":"2.0","id":1,"method":"photo.rate","params":{"ids":["a"],"rating":1,"n":[9e15,9e15,)"));
  EXPECT_TRUE(requests[4].ends_with(",9e15]}}"));
}

TEST(TarnoMCP, StandardInputThatCannotBeReadIsAFailureNotAnEnd) {
  const unique_fd directory(::open("/", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(directory);
  auto child = std::get<ChildProcess>(
      ChildProcess::spawn(ChildProcess::Options(TARNO_MCP_PATH)
                              .withArguments({"--ipc", "/nonexistent/ipc.sock"})
                              .withStandardInput(ChildProcess::Stdio::descriptor(directory.get()))
                              .withStandardOutput(ChildProcess::Stdio::devNull())));
  EXPECT_EQ(child.wait(), ExitStatus::exitedWith(1));
}

}  // namespace
}  // namespace tarno::assistant
