// AssistantHelperClient over real sockets in a temporary directory: against nothing, against a
// hand-driven peer that shows the exact bytes, and against the socket server running
// fake-claude through the process and sign-in runners.
#include "tarno/assistant/transport/assistant_helper_client.hpp"

#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_claude_script.hpp"
#include "tarno/assistant/engine/claude_invocation.hpp"
#include "tarno/assistant/engine/claude_login_runner.hpp"
#include "tarno/assistant/engine/claude_process_runner.hpp"
#include "tarno/assistant/transport/assistant_socket_server.hpp"
#include "tarno/assistant/transport/socket_io.hpp"
#include "tarno/core/json_coding.hpp"
#include "tool/event_waiting.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;
using testing::drain;
using testing::Events;
using testing::eventually;
using testing::nextWithin;
using testing::readThrough;
using Client = AssistantHelperClient;

const AssistantEvent notRunning =
    AssistantEvent::finished(std::string(Client::notRunningMessage), true);
const AssistantEvent couldNotSend =
    AssistantEvent::finished(std::string(Client::couldNotSendMessage), true);

std::size_t entriesIn(const char* directory) {
  std::size_t count = 0;
  if (DIR* dir = ::opendir(directory)) {
    while (::readdir(dir) != nullptr)
      ++count;
    ::closedir(dir);
  }
  return count;
}
std::size_t threadCount() {
  return entriesIn("/proc/self/task");
}
std::size_t descriptorCount() {
  return entriesIn("/proc/self/fd");
}

// A listening socket driven by hand from the test, for the exact bytes on the wire.
class RawPeer {
 public:
  explicit RawPeer(const std::string& path, int backlog = 8) : listen_(SocketIO::makeSocket()) {
    const std::optional<sockaddr_un> address = SocketAddr::unix(path);
    EXPECT_TRUE(address.has_value());
    EXPECT_EQ(
        ::bind(listen_.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof(sockaddr_un)),
        0);
    EXPECT_EQ(::listen(listen_.get(), backlog), 0);
  }

  unique_fd accept() const { return SocketIO::acceptConnection(listen_.get()); }

 private:
  unique_fd listen_;
};

// The frames that arrive on `fd` until `count` have come or the peer closes.
std::vector<std::string> readFrames(SocketIO::FrameReader& reader, std::size_t count) {
  std::vector<std::string> frames;
  while (frames.size() < count) {
    auto batch = reader.nextFrames();
    if (!batch) break;
    frames.insert(frames.end(), batch->begin(), batch->end());
  }
  return frames;
}

class HelperClientTest : public ::testing::Test {
 protected:
  fakes::TempDir dir;
  const std::string socketPath = dir.path() + "/assistant.sock";
};

TEST_F(HelperClientTest, WithNothingListeningEveryStreamReportsTheHelperNotRunning) {
  EXPECT_FALSE(Client::isReachable(socketPath));
  auto run = Client::run(AssistantRunRequest{.prompt = "hi"}, socketPath);
  EXPECT_EQ(drain(run), Events{notRunning});
  auto status = Client::status(socketPath);
  EXPECT_EQ(drain(status), Events{notRunning});
  auto login = Client::connect(socketPath);
  EXPECT_EQ(drain(login), Events{notRunning});
  // The failed sign-in's registration is gone with its stream.
  EXPECT_FALSE(Client::submitLoginCode("abc"));

  // A file that is no socket, and a path that fits no socket address.
  std::ofstream(dir.path() + "/plain") << "x";
  auto plain = Client::status(dir.path() + "/plain");
  EXPECT_EQ(drain(plain), Events{notRunning});
  const std::string tooLong = dir.path() + "/" + std::string(120, 'x');
  EXPECT_FALSE(Client::isReachable(tooLong));
  auto far = Client::status(tooLong);
  EXPECT_EQ(drain(far), Events{notRunning});
}

TEST_F(HelperClientTest, ACommandThatCannotBeFramedIsReportedAndNothingIsSent) {
  RawPeer peer(socketPath);
  EXPECT_TRUE(Client::isReachable(socketPath));
  {
    // isReachable's own connection: closed without a byte.
    unique_fd probe = peer.accept();
    EXPECT_FALSE(SocketIO::readChunk(probe.get()).has_value());
  }
  const std::string hugePrompt(protocol::FrameCodec::maxFrameBytes, 'p');
  auto run = Client::run(AssistantRunRequest{.prompt = hugePrompt}, socketPath);
  EXPECT_EQ(drain(run), Events{couldNotSend});
  unique_fd connection = peer.accept();
  EXPECT_FALSE(SocketIO::readChunk(connection.get()).has_value());
}

TEST_F(HelperClientTest, FramesThatAreNotEventsAreSkippedAndTheStreamEndsWithTheConnection) {
  RawPeer peer(socketPath);
  auto status = Client::status(socketPath);
  unique_fd connection = peer.accept();
  SocketIO::FrameReader reader(connection.get());
  EXPECT_EQ(readFrames(reader, 1), std::vector<std::string>{R"({"status":{}})"});

  for (const char* frame :
       {"not json", R"({"textDelta":{"_0":"a"}})", R"({"unknown":{}})",
        R"({"textDelta":{"text":"wrong member"}})", "[1,2]", R"({"assistantText":{"_0":"b"}})"}) {
    ASSERT_TRUE(SocketIO::writeFrame(connection.get(), frame));
  }
  connection.reset();
  // No `finished` arrived, and the client adds none of its own.
  EXPECT_EQ(drain(status),
            (Events{AssistantEvent::textDelta("a"), AssistantEvent::assistantText("b")}));
}

TEST_F(HelperClientTest, LoginCodesGoTrimmedOverTheRegisteredSignInConnection) {
  EXPECT_FALSE(Client::submitLoginCode("abc")) << "no sign-in connection yet";

  RawPeer peer(socketPath);
  auto login = Client::connect(socketPath);
  unique_fd connection = peer.accept();
  SocketIO::FrameReader reader(connection.get());
  ASSERT_EQ(readFrames(reader, 1), std::vector<std::string>{R"({"login":{}})"});

  EXPECT_FALSE(Client::submitLoginCode(" \n\t \r\n"));
  EXPECT_TRUE(Client::submitLoginCode("  abc-123 \n"));
  EXPECT_TRUE(Client::submitLoginCode("second"));
  EXPECT_EQ(readFrames(reader, 2), (std::vector<std::string>{R"({"loginCode":{"_0":"abc-123"}})",
                                                             R"({"loginCode":{"_0":"second"}})"}));

  ASSERT_TRUE(
      SocketIO::writeFrame(connection.get(), R"({"finished":{"text":"ok","isError":false}})"));
  connection.reset();
  EXPECT_EQ(drain(login), Events{AssistantEvent::finished("ok", false)});
  EXPECT_FALSE(Client::submitLoginCode("late")) << "the sign-in stream has ended";
}

TEST_F(HelperClientTest, ASecondSignInTakesOverAndTheEndOfEitherClearsTheRegistration) {
  RawPeer peer(socketPath);
  auto first = Client::connect(socketPath);
  unique_fd firstConnection = peer.accept();
  SocketIO::FrameReader firstReader(firstConnection.get());
  ASSERT_EQ(readFrames(firstReader, 1).size(), 1u);

  auto second = Client::connect(socketPath);
  unique_fd secondConnection = peer.accept();
  SocketIO::FrameReader secondReader(secondConnection.get());
  ASSERT_EQ(readFrames(secondReader, 1).size(), 1u);

  EXPECT_TRUE(Client::submitLoginCode("for-the-second"));
  EXPECT_EQ(readFrames(secondReader, 1),
            std::vector<std::string>{R"({"loginCode":{"_0":"for-the-second"}})"});

  firstConnection.reset();
  EXPECT_TRUE(drain(first).empty());
  EXPECT_FALSE(Client::submitLoginCode("refused")) << "cleared although the second is open";

  // Nothing more reached the second connection: close our side and look at what is left.
  second.cancel();
  EXPECT_FALSE(secondReader.nextFrames().has_value());
}

TEST_F(HelperClientTest, DroppingAStreamShutsItsConnectionAndJoinsItsReader) {
  // A peer that accepts nothing: every client blocks in its read with its command queued.
  RawPeer peer(socketPath, 64);
  const std::string answeringPath = dir.path() + "/answering.sock";
  RawPeer answering(answeringPath);
  const std::size_t threadsBefore = threadCount();
  const std::size_t descriptorsBefore = descriptorCount();
  for (int i = 0; i < 30; ++i) {
    auto status = Client::status(socketPath);
    if (i % 2 == 0) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(threadCount(), threadsBefore);
  EXPECT_EQ(descriptorCount(), descriptorsBefore);

  // Streams that end by themselves leave nothing either.
  for (int i = 0; i < 10; ++i) {
    auto status = Client::status(answeringPath);
    unique_fd connection = answering.accept();
    ASSERT_EQ(SocketIO::readOneFrame(connection.get()), R"({"status":{}})");
    ASSERT_TRUE(
        SocketIO::writeFrame(connection.get(), R"({"finished":{"text":"ready","isError":false}})"));
    connection.reset();
    EXPECT_EQ(drain(status), Events{AssistantEvent::finished("ready", false)});
  }
  EXPECT_TRUE(eventually([&] { return threadCount() == threadsBefore; }));
  EXPECT_EQ(descriptorCount(), descriptorsBefore);
}

// The socket server in this process, running fake-claude for run and login commands.
class HelperClientWithServerTest : public HelperClientTest {
 protected:
  void SetUp() override {
    server.emplace(
        socketPath,
        [this](AssistantCommand command) -> EventStream<AssistantEvent> {
          const Environment environment{{"HOME", dir.path()}};
          if (const auto* run = command.as<AssistantCommand::Run>()) {
            return ClaudeProcessRunner::stream(
                TARNO_FAKE_CLAUDE_PATH, ClaudeInvocation::forRequest(run->request, std::nullopt),
                environment, dir.path());
          }
          if (command.is<AssistantCommand::Login>()) {
            return ClaudeLoginRunner::stream(
                TARNO_FAKE_CLAUDE_PATH, ClaudeLoginRunner::Options{.environment = environment,
                                                                   .workingDirectory = dir.path()});
          }
          return EventStream<AssistantEvent>::of({AssistantEvent::finished("other", true)});
        },
        [](std::string code) { return ClaudeLoginRunner::submitCode(code); });
    server->start();
  }

  std::optional<AssistantSocketServer> server;
  fakes::FakeClaudeScript script;
};

TEST_F(HelperClientWithServerTest, ARunStreamsTheCLIsEventsInOrder) {
  script.print()
      .out(R"({"type":"system","subtype":"init","session_id":"s-42","model":"claude-opus"})")
      .out(R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":"Straight"}}})")
      .out(R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":"ened."}}})")
      .out(R"({"type":"assistant","message":{"content":[{"type":"text","text":"Straightened."}]}})")
      .out(R"({"type":"result","subtype":"success","result":"Straightened.","session_id":"s-42"})");
  script.install(dir.path());

  EXPECT_TRUE(Client::isReachable(socketPath));
  auto run = Client::run(
      AssistantRunRequest{
          .prompt = "Level the horizon", .model = ClaudeModel::opus, .resumeSessionID = "s-41"},
      socketPath);
  EXPECT_EQ(drain(run), (Events{
                            AssistantEvent::sessionStarted("s-42", "claude-opus"),
                            AssistantEvent::textDelta("Straight"),
                            AssistantEvent::textDelta("ened."),
                            AssistantEvent::assistantText("Straightened."),
                            AssistantEvent::finished("Straightened.", false, "s-42"),
                        }));
  // The request crossed the socket intact.
  const fakes::FakeClaudeRecord record = fakes::readFakeClaudeRecord(dir.path());
  ASSERT_GE(record.args.size(), 2u);
  EXPECT_EQ(record.args[0], "-p");
  EXPECT_EQ(record.args[1], "Level the horizon");
  const auto has = [&](const std::string& flag, const std::string& value) {
    for (std::size_t i = 0; i + 1 < record.args.size(); ++i) {
      if (record.args[i] == flag && record.args[i + 1] == value) return true;
    }
    return false;
  };
  EXPECT_TRUE(has("--model", "opus"));
  EXPECT_TRUE(has("--resume", "s-41"));
}

TEST_F(HelperClientWithServerTest, ASignInTakesItsCodeOverTheSameConnection) {
  script.login()
      .out("Opening browser. If it does not open, visit:")
      .out("https://claude.ai/oauth/authorize?code=true&state=xyz")
      .code("abc-123")
      .exit(0);
  script.install(dir.path());

  auto login = Client::connect(socketPath);
  const Events before = readThrough<AssistantEvent::AwaitingLoginCode>(login);
  ASSERT_FALSE(before.empty());
  ASSERT_TRUE(before.back().is<AssistantEvent::AwaitingLoginCode>());
  EXPECT_NE(std::find(before.begin(), before.end(),
                      AssistantEvent::assistantText(
                          "If your browser didn't open, sign in here:\n"
                          "https://claude.ai/oauth/authorize?code=true&state=xyz")),
            before.end());

  EXPECT_TRUE(Client::submitLoginCode("  abc-123\n"));
  EXPECT_EQ(drain(login), Events{AssistantEvent::finished(
                              "Signed in \u2014 you're connected to Claude. Ask away.", false)});
  const auto log = fakes::readFakeClaudeRecord(dir.path()).log;
  EXPECT_NE(std::find(log.begin(), log.end(), "code abc-123"), log.end());
}

}  // namespace
}  // namespace tarno::assistant
