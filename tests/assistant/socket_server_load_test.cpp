// AssistantSocketServer under load: many concurrent clients, and a flood of broken ones after
// which the server still serves and holds no more descriptors or threads than when idle.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tarno/assistant/transport/assistant_socket_server.hpp"
#include "tarno/assistant/transport/socket_io.hpp"

namespace tarno::assistant {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

struct TempDir {
  std::string path;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tarno-load-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

std::size_t countEntries(const char* directory) {
  std::size_t count = 0;
  if (DIR* d = ::opendir(directory)) {
    while (const dirent* entry = ::readdir(d))
      if (entry->d_name[0] != '.') ++count;
    ::closedir(d);
  }
  return count;
}
std::size_t openDescriptors() {
  return countEntries("/proc/self/fd");
}
std::size_t runningThreads() {
  return countEntries("/proc/self/task");
}

// Polls until `value()` is at most `limit`, for up to ten seconds; returns the last value.
template <class F>
std::size_t settlesTo(std::size_t limit, F value) {
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  std::size_t now = value();
  while (now > limit && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(10ms);
    now = value();
  }
  return now;
}

const std::string statusFrame = core::encodeToString(AssistantCommand::status()) + "\n";

unique_fd connectTo(const std::string& path) {
  unique_fd fd = SocketIO::connect(path);
  if (fd) {
    timeval limit{10, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  return fd;
}

// The events of one connection, until the server closes it.
std::vector<AssistantEvent> readEvents(int fd) {
  std::vector<AssistantEvent> events;
  SocketIO::FrameReader reader(fd);
  while (auto frames = reader.nextFrames())
    for (auto& text : *frames)
      events.push_back(core::decodeFromString<AssistantEvent>(text));
  return events;
}

class SocketServerLoadTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.path + "/assistant.sock";
  std::atomic<int> handled{0};
  AssistantSocketServer server{path,
                               [this](AssistantCommand command) {
                                 ++handled;
                                 return EventStream<AssistantEvent>::of({AssistantEvent::finished(
                                     command.is<AssistantCommand::Status>() ? "ok" : "?", false)});
                               },
                               [](std::string) { return true; }};

  bool answersStatus() {
    unique_fd client = connectTo(path);
    if (!client || ::send(client.get(), statusFrame.data(), statusFrame.size(), MSG_NOSIGNAL) !=
                       static_cast<ssize_t>(statusFrame.size()))
      return false;
    return readEvents(client.get()) ==
           std::vector<AssistantEvent>{AssistantEvent::finished("ok", false)};
  }
};

TEST_F(SocketServerLoadTest, AnswersTwoHundredConcurrentConnections) {
  server.start();
  const std::size_t idleDescriptors = openDescriptors();
  const std::size_t idleThreads = runningThreads();

  constexpr int clients = 200;
  std::vector<unique_fd> connections;
  for (int i = 0; i < clients; ++i) {
    connections.push_back(connectTo(path));
    ASSERT_TRUE(connections.back()) << i;
  }
  // All of them are open (and served by a thread each) before any sends its command.
  for (auto& connection : connections)
    ASSERT_EQ(::send(connection.get(), statusFrame.data(), statusFrame.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(statusFrame.size()));
  int answered = 0;
  for (auto& connection : connections)
    if (readEvents(connection.get()) ==
        std::vector<AssistantEvent>{AssistantEvent::finished("ok", false)})
      ++answered;
  EXPECT_EQ(answered, clients);
  EXPECT_EQ(handled.load(), clients);
  connections.clear();

  EXPECT_LE(settlesTo(idleThreads, runningThreads), idleThreads);
  EXPECT_LE(settlesTo(idleDescriptors, openDescriptors), idleDescriptors);
}

TEST_F(SocketServerLoadTest, ShrugsOffAFloodOfBrokenClients) {
  server.start();
  const std::size_t idleDescriptors = openDescriptors();
  const std::size_t idleThreads = runningThreads();
  const auto started = std::chrono::steady_clock::now();

  constexpr int flooders = 4;
  constexpr int perFlooder = 500;
  std::atomic<int> refusedConnects{0};
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < flooders; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937 random(1234 + t);
        std::string bytes;
        for (int i = 0; i < perFlooder; ++i) {
          unique_fd client = SocketIO::connect(path);
          if (!client) {
            ++refusedConnects;
            continue;
          }
          bytes.resize(1 + random() % 4096);
          for (char& c : bytes)
            c = static_cast<char>(random());
          switch (i % 4) {
            case 0:  // random bytes that never finish a frame
              for (char& c : bytes)
                if (c == '\n') c = ' ';
              break;
            case 1:  // random bytes, some of them frames that are no command
              break;
            case 2:  // connect and close
              bytes.clear();
              break;
            case 3:  // half a command
              bytes = statusFrame.substr(0, statusFrame.size() / 2);
              break;
          }
          if (t == 0 && i == 0) bytes.assign(9 << 20, 'x');  // over the frame limit
          ::send(client.get(), bytes.data(), bytes.size(), MSG_NOSIGNAL);
        }
      });
    }
  }
  EXPECT_EQ(refusedConnects.load(), 0);

  EXPECT_TRUE(answersStatus());
  // Random bytes might, however unlikely, spell a command; none of these did.
  EXPECT_EQ(handled.load(), 1);
  EXPECT_LE(settlesTo(idleThreads, runningThreads), idleThreads);
  EXPECT_LE(settlesTo(idleDescriptors, openDescriptors), idleDescriptors);
  EXPECT_LT(std::chrono::steady_clock::now() - started, 20s);
}

}  // namespace
}  // namespace tarno::assistant
