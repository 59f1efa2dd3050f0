// The app's JSON-RPC server on a real socket in a temporary directory, with a handler that
// answers each request with its id and line length: order, concurrency, silence for requests
// without an answer, the bounds on lines, idle and departed clients, and its start rules.
#include "tarno/library/ipc_server.hpp"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_claude_script.hpp"
#include "fakes/ipc_line_client.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/protocol/frame_codec.hpp"
#include "tarno/protocol/rpc.hpp"

namespace tarno::library {
namespace {

using namespace std::chrono_literals;
using fakes::LineClient;
using protocol::RPCError;

// "quiet" requests get no answer; "big" ones an answer over the frame limit; the rest
// {"id":…,"result":<line length>}, after `delay`.
struct Fixture {
  explicit Fixture(IPCServer::Limits limits = {}, std::chrono::milliseconds delay = 0ms)
      : server(
            dir.path() + "/ipc.sock",
            [this, delay](std::string_view line) -> std::optional<std::string> {
              ++calls;
              std::this_thread::sleep_for(delay);
              if (line.find("quiet") != std::string_view::npos) return std::nullopt;
              const auto envelope = core::decodeFromString<protocol::RPCEnvelope>(line);
              if (line.find("big") != std::string_view::npos)
                return protocol::RPC::encodeResult(
                    envelope.id, std::string(protocol::FrameCodec::maxFrameBytes, 'x'));
              return protocol::RPC::encodeResult(envelope.id,
                                                 static_cast<std::int64_t>(line.size()));
            },
            limits) {
    server.start();
  }

  fakes::TempDir dir;
  std::atomic<int> calls{0};
  IPCServer server;
};

std::string request(int id, std::string_view method = "system.ping") {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"method":")" + std::string(method) +
         "\"}\n";
}

std::string answer(int id, std::size_t length) {
  return R"({"jsonrpc":"2.0","id":)" + std::to_string(id) + R"(,"result":)" +
         std::to_string(length) + "}";
}

RPCError errorOf(const std::string& line) {
  const auto outcome = protocol::RPC::decodeResponse<std::int64_t>(line);
  const RPCError* error = outcome.as<RPCError>();
  return error != nullptr ? *error : RPCError{};
}

TEST(IPCServer, AnswersEachClientsRequestsInOrderAndLeavesUnansweredOnesOut) {
  Fixture fixture({}, 20ms);
  // Four clients at once, each sending all its requests in one write: with one thread for all
  // of them this would take four times as long, but order within a client is what is checked.
  std::vector<std::jthread> clients;
  std::atomic<int> correct{0};
  for (int c = 0; c < 4; ++c) {
    clients.emplace_back([&, c] {
      LineClient client(fixture.server.socketPath());
      std::string batch;
      for (int i = 0; i < 5; ++i)
        batch += request(c * 100 + i, i == 2 ? "quiet" : "system.ping");
      ASSERT_TRUE(client.send(batch));
      for (int i = 0; i < 5; ++i) {
        if (i == 2) continue;
        const auto line = client.readLine();
        ASSERT_TRUE(line);
        EXPECT_EQ(*line, answer(c * 100 + i, request(c * 100 + i).size() - 1));
      }
      // Nothing is owed for the quiet request: the next answer is the one that follows.
      ASSERT_TRUE(client.send(request(c * 100 + 9)));
      EXPECT_EQ(client.readLine(), answer(c * 100 + 9, request(c * 100 + 9).size() - 1));
      ++correct;
    });
  }
  clients.clear();
  EXPECT_EQ(correct.load(), 4);
  EXPECT_EQ(fixture.calls.load(), 4 * 6);
}

TEST(IPCServer, AnswersAnOverlongLineWithAnErrorAndCloses) {
  Fixture fixture;
  LineClient client(fixture.server.socketPath());
  ASSERT_TRUE(client.send(request(1)));
  EXPECT_EQ(client.readLine(), answer(1, request(1).size() - 1));
  // One byte over the limit, never terminated: the server must not wait for the line feed.
  const std::string tooLong(static_cast<std::size_t>(protocol::FrameCodec::maxFrameBytes) + 1, 'a');
  client.send(tooLong);
  const auto line = client.readLine();
  ASSERT_TRUE(line);
  EXPECT_EQ(errorOf(*line),
            (RPCError{.code = -32600, .message = "request line over 8388608 bytes"}));
  EXPECT_EQ(line->find("\"id\""), std::string::npos);
  EXPECT_TRUE(client.closedWithin(10s));
  EXPECT_EQ(fixture.calls.load(), 1);

  // Others are served as before.
  LineClient next(fixture.server.socketPath());
  ASSERT_TRUE(next.send(request(2)));
  EXPECT_EQ(next.readLine(), answer(2, request(2).size() - 1));
}

TEST(IPCServer, ReplacesAnAnswerTooLongForOneLineWithAnErrorCarryingTheId) {
  Fixture fixture;
  LineClient client(fixture.server.socketPath());
  ASSERT_TRUE(client.send(request(7, "big") + request(8)));
  const auto line = client.readLine();
  ASSERT_TRUE(line);
  EXPECT_EQ(*line, R"({"jsonrpc":"2.0","id":7,"error":{"code":-32603,"message":"response cannot )"
                   R"(be sent as one line of at most 8388608 bytes"}})");
  EXPECT_EQ(client.readLine(), answer(8, request(8).size() - 1));
}

TEST(IPCServer, AClientThatLeavesMidLineFreesItsPlaceAtOnce) {
  // Room for one client, and no idle limit that could free it instead.
  Fixture fixture({.maxConnections = 1, .idleTimeout = 1h});
  {
    LineClient half(fixture.server.socketPath());
    ASSERT_TRUE(half.send(R"({"jsonrpc":"2.0","id":1,"meth)"));
  }
  LineClient next(fixture.server.socketPath());
  ASSERT_TRUE(next.send(request(3)));
  EXPECT_EQ(next.readLine(), answer(3, request(3).size() - 1));
  EXPECT_EQ(fixture.server.connections(), 1u);
  EXPECT_EQ(fixture.calls.load(), 1);  // the half line never reached the handler
}

TEST(IPCServer, ASilentClientIsClosedAfterTheIdleLimit) {
  Fixture fixture({.maxConnections = 1, .idleTimeout = 300ms});
  LineClient silent(fixture.server.socketPath());
  ASSERT_TRUE(silent.send(request(3)));
  EXPECT_EQ(silent.readLine(), answer(3, request(3).size() - 1));
  EXPECT_TRUE(silent.closedWithin(10s));
  LineClient next(fixture.server.socketPath());
  ASSERT_TRUE(next.send(request(4)));
  EXPECT_EQ(next.readLine(), answer(4, request(4).size() - 1));
}

TEST(IPCServer, RefusesALiveSocketReplacesAStaleOneAndRemovesItsOwnOnStop) {
  fakes::TempDir dir;
  const std::string path = dir.path() + "/ipc.sock";
  const auto handler = [](std::string_view) -> std::optional<std::string> { return "{}"; };

  // A socket file whose server has gone: bound, then closed without removing it.
  {
    auto stale = protocol::SocketIO::listenAt(path, 1);
    ASSERT_TRUE(std::holds_alternative<protocol::SocketIO::Listener>(stale));
  }
  ASSERT_TRUE(std::filesystem::is_socket(path));
  EXPECT_FALSE(protocol::SocketIO::socketAnswers(path));

  IPCServer first(path, handler);
  first.start();
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  LineClient client(path);
  ASSERT_TRUE(client.send("{}\n"));
  EXPECT_EQ(client.readLine(), "{}");

  IPCServer second(path, handler);
  try {
    second.start();
    ADD_FAILURE() << "a second server started on a live socket";
  } catch (const IPCServer::StartError& error) {
    EXPECT_EQ(error.kind(), IPCServer::StartError::Kind::alreadyServed);
    EXPECT_EQ(std::string(error.what()), "another process is already serving on " + path);
  }
  // The refusal left the live server alone.
  ASSERT_TRUE(client.send("{}\n"));
  EXPECT_EQ(client.readLine(), "{}");

  first.stop();
  EXPECT_FALSE(std::filesystem::exists(path));
  IPCServer tooLong(dir.path() + "/" + std::string(120, 's'), handler);
  EXPECT_THROW(tooLong.start(), IPCServer::StartError);
}

}  // namespace
}  // namespace tarno::library
