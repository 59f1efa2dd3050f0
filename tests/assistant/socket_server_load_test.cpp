// AssistantSocketServer under load: many concurrent clients, many that never send, and a flood
// of broken ones after which the server still serves and holds no more descriptors or threads
// than when idle.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "engine_test_support.hpp"
#include "tarno/assistant/transport/assistant_socket_server.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;

const std::string statusFrame = test_support::frame(AssistantCommand::status());
const std::vector<AssistantEvent> ok{AssistantEvent::finished("ok", false)};

class SocketServerLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    server.start();
    idle.emplace();
  }

  fakes::TempDir dir;
  std::string path = dir.path() + "/assistant.sock";
  std::atomic<int> handled{0};
  AssistantSocketServer server{path,
                               [this](AssistantCommand command) {
                                 ++handled;
                                 return EventStream<AssistantEvent>::of({AssistantEvent::finished(
                                     command.is<AssistantCommand::Status>() ? "ok" : "?", false)});
                               },
                               [](std::string) { return true; },
                               {.firstFrameTimeout = 2s}};
  std::optional<test_support::ResourceCount> idle;  // with the server listening
};

TEST_F(SocketServerLoadTest, AnswersTwoHundredConcurrentConnections) {
  constexpr int clients = 200;
  std::vector<unique_fd> connections;
  for (int i = 0; i < clients; ++i) {
    connections.push_back(test_support::connectTo(path));
    ASSERT_TRUE(connections.back()) << i;
  }
  // All of them are open (and served by a thread each) before any sends its command.
  for (auto& connection : connections)
    ASSERT_TRUE(test_support::sendAll(connection.get(), statusFrame));
  int answered = 0;
  for (auto& connection : connections)
    answered += test_support::readEvents(connection.get()) == ok ? 1 : 0;
  EXPECT_EQ(answered, clients);
  EXPECT_EQ(handled.load(), clients);
  connections.clear();
  EXPECT_TRUE(idle->settled());
}

// Clients that never send are closed once the first-frame limit has passed, their threads gone.
TEST_F(SocketServerLoadTest, ClosesTwoHundredClientsThatNeverSend) {
  std::vector<unique_fd> silent(200);
  for (auto& connection : silent)
    connection = test_support::connectTo(path);
  char byte;
  for (auto& connection : silent)
    EXPECT_EQ(::recv(connection.get(), &byte, 1, 0), 0) << "not closed by the server";
  EXPECT_TRUE(test_support::eventually(
      [&] { return test_support::ResourceCount::threads() <= idle->threadsBefore; }));
}

TEST_F(SocketServerLoadTest, ShrugsOffAFloodOfBrokenClients) {
  const auto started = std::chrono::steady_clock::now();
  std::atomic<int> refusedConnects{0};
  {
    std::vector<std::jthread> flooders;
    for (int t = 0; t < 4; ++t) {
      flooders.emplace_back([&, t] {
        std::mt19937 random(1234 + t);
        for (int i = 0; i < 500; ++i) {
          unique_fd client = SocketIO::connect(path);
          if (!client) {
            ++refusedConnects;
            continue;
          }
          // Random bytes (some lines among them, none a command), half a command, or nothing.
          std::string bytes(1 + random() % 4096, '\0');
          for (char& c : bytes)
            c = static_cast<char>(random());
          if (i % 3 == 1) bytes = statusFrame.substr(0, statusFrame.size() / 2);
          if (i % 3 == 2) bytes.clear();
          if (t == 0 && i == 0) bytes.assign(9 << 20, 'x');  // over the frame limit
          ::send(client.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
      });
    }
  }
  EXPECT_EQ(refusedConnects.load(), 0);

  unique_fd client = test_support::connectTo(path);
  ASSERT_TRUE(test_support::sendAll(client.get(), statusFrame));
  EXPECT_EQ(test_support::readEvents(client.get()), ok);
  client.reset();
  // Random bytes might, however unlikely, spell a command; none of these did.
  EXPECT_EQ(handled.load(), 1);
  EXPECT_TRUE(idle->settled());
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
}

}  // namespace
}  // namespace tarno::assistant
