// AssistantHelperClient over real sockets in a temporary directory: against nothing, and
// against a hand-driven peer that shows the exact bytes.
#include "tarno/assistant/transport/assistant_helper_client.hpp"

#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "assistant/engine_test_support.hpp"
#include "tarno/assistant/transport/socket_io.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;
using namespace test_support;
using Events = std::vector<AssistantEvent>;
using Client = AssistantHelperClient;

const AssistantEvent notRunning =
    AssistantEvent::finished(std::string(Client::notRunningMessage), true);

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

// The frames that arrive until `count` have come or the peer closes.
std::vector<std::string> readFrames(SocketIO::FrameReader& reader, std::size_t count) {
  std::vector<std::string> frames;
  while (frames.size() < count) {
    auto batch = reader.nextFrames();
    if (!batch) break;
    frames.insert(frames.end(), batch->begin(), batch->end());
  }
  return frames;
}

// Every test ends with the client's threads and descriptors gone, however its streams ended.
class HelperClientTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(resources.settled()); }

  ResourceCount resources;
  fakes::TempDir dir;
  const std::string socketPath = dir.path() + "/assistant.sock";
};

TEST_F(HelperClientTest, WithNothingListeningEveryStreamReportsTheHelperNotRunning) {
  EXPECT_FALSE(Client::isReachable(socketPath));
  auto run = Client::run(AssistantRunRequest{.prompt = "hi"}, socketPath);
  EXPECT_EQ(drain(run), Events{notRunning});
  auto login = Client::connect(socketPath);
  EXPECT_EQ(drain(login), Events{notRunning});
  // The failed sign-in's registration is gone with its stream.
  EXPECT_FALSE(Client::submitLoginCode("abc"));
  // A path that fits no socket address.
  auto far = Client::status(dir.path() + "/" + std::string(120, 'x'));
  EXPECT_EQ(drain(far), Events{notRunning});
}

TEST_F(HelperClientTest, ACommandThatCannotBeFramedIsReportedAndNothingIsSent) {
  RawPeer peer(socketPath);
  const std::string hugePrompt(protocol::FrameCodec::maxFrameBytes, 'p');
  auto run = Client::run(AssistantRunRequest{.prompt = hugePrompt}, socketPath);
  EXPECT_EQ(drain(run),
            Events{AssistantEvent::finished(std::string(Client::couldNotSendMessage), true)});
  unique_fd connection = peer.accept();
  EXPECT_FALSE(SocketIO::readChunk(connection.get()).has_value());
}

TEST_F(HelperClientTest, RequestsCrossIntactAndFramesThatAreNotEventsAreSkipped) {
  RawPeer peer(socketPath);
  const AssistantRunRequest request{
      .prompt = "Fix \"it\"\n", .model = ClaudeModel::opus, .resumeSessionID = "s-41"};
  auto run = Client::run(request, socketPath);
  unique_fd runConnection = peer.accept();
  const auto command =
      core::decodeFromString<AssistantCommand>(*SocketIO::readOneFrame(runConnection.get()));
  ASSERT_TRUE(command.is<AssistantCommand::Run>());
  EXPECT_EQ(command.as<AssistantCommand::Run>()->request, request);

  auto status = Client::status(socketPath);
  unique_fd connection = peer.accept();
  EXPECT_EQ(SocketIO::readOneFrame(connection.get()), R"({"status":{}})");
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

TEST_F(HelperClientTest, LoginCodesGoTrimmedOverTheLatestSignInUntilAnySignInEnds) {
  EXPECT_FALSE(Client::submitLoginCode("abc")) << "no sign-in connection yet";
  RawPeer peer(socketPath);
  auto first = Client::connect(socketPath);
  unique_fd firstConnection = peer.accept();
  EXPECT_EQ(SocketIO::readOneFrame(firstConnection.get()), R"({"login":{}})");
  auto second = Client::connect(socketPath);
  unique_fd secondConnection = peer.accept();
  EXPECT_EQ(SocketIO::readOneFrame(secondConnection.get()), R"({"login":{}})");
  SocketIO::FrameReader reader(secondConnection.get());

  EXPECT_FALSE(Client::submitLoginCode(" \n\t \r\n"));
  EXPECT_TRUE(Client::submitLoginCode("  abc-123 \n"));
  EXPECT_TRUE(Client::submitLoginCode("second"));
  EXPECT_EQ(readFrames(reader, 2), (std::vector<std::string>{R"({"loginCode":{"_0":"abc-123"}})",
                                                             R"({"loginCode":{"_0":"second"}})"}));

  ASSERT_TRUE(
      SocketIO::writeFrame(firstConnection.get(), R"({"finished":{"text":"ok","isError":false}})"));
  firstConnection.reset();
  EXPECT_EQ(drain(first), Events{AssistantEvent::finished("ok", false)});
  EXPECT_FALSE(Client::submitLoginCode("refused")) << "cleared although the second is open";
  // Nothing more reached the second connection: close our side and look at what is left.
  second.cancel();
  EXPECT_FALSE(reader.nextFrames().has_value());
}

TEST_F(HelperClientTest, DroppingAStreamShutsItsConnectionAndJoinsItsReaderAtOnce) {
  // A peer that accepts nothing: every client blocks in its read with its command queued.
  RawPeer silent(socketPath, 64);
  const int descriptorsWithPeer = ResourceCount::descriptors();
  for (int i = 0; i < 30; ++i) {
    auto status = Client::status(socketPath);
    if (i % 2 == 0) std::this_thread::sleep_for(1ms);
  }
  EXPECT_EQ(ResourceCount::threads(), resources.threadsBefore);
  EXPECT_EQ(ResourceCount::descriptors(), descriptorsWithPeer);
}

}  // namespace
}  // namespace tarno::assistant
