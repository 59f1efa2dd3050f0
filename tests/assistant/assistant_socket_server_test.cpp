// AssistantSocketServer end to end over real socket files: commands, event streaming, sign-in
// code relay, refusals, the peer-user rule, start errors and the server's lifetime.
#include "tarno/assistant/transport/assistant_socket_server.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tarno/assistant/transport/socket_io.hpp"

namespace tarno::assistant {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Server = AssistantSocketServer;

struct TempDir {
  std::string path;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tarno-srv-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    path = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(path, ignored);
  }
};

std::string frame(const AssistantCommand& command) {
  return core::encodeToString(command) + "\n";
}

// A client connection with a receive time limit, so that a server that never answers fails
// the test instead of hanging it.
unique_fd connectTo(const std::string& path) {
  unique_fd fd = SocketIO::connect(path);
  if (fd) {
    timeval limit{10, 0};
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
  }
  return fd;
}

void sendBytes(int fd, std::string_view bytes) {
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}

// Every event until the server closes the connection.
std::vector<AssistantEvent> readEvents(int fd, std::size_t atMost = SIZE_MAX) {
  std::vector<AssistantEvent> events;
  SocketIO::FrameReader reader(fd);
  while (events.size() < atMost) {
    auto frames = reader.nextFrames();
    if (!frames) break;
    for (auto& text : *frames)
      events.push_back(core::decodeFromString<AssistantEvent>(text));
  }
  return events;
}

// True when the server closed the connection without sending a byte. A server that closes
// with our bytes unread makes the read fail with ECONNRESET instead of reading the end.
bool closedWithoutAnswer(int fd) {
  char byte;
  const ssize_t n = ::read(fd, &byte, 1);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

// Records what the server hands over, and answers each command with a fixed stream; the
// sign-in stream is left open for the test to drive.
class Recorder {
 public:
  Server::Handler handler() {
    return [this](AssistantCommand command) { return handle(std::move(command)); };
  }
  Server::CodeSink sink() {
    return [this](std::string code) {
      std::lock_guard lock(mutex_);
      codes_.push_back(std::move(code));
      changed_.notify_all();
      return true;
    };
  }

  EventStream<AssistantEvent> handle(AssistantCommand command) {
    std::lock_guard lock(mutex_);
    commands_.push_back(command);
    changed_.notify_all();
    auto* run = command.as<AssistantCommand::Run>();
    if (run != nullptr && !holdRuns_) {
      return EventStream<AssistantEvent>::of(
          {AssistantEvent::sessionStarted("s-1", "sonnet"), AssistantEvent::textDelta("echo: "),
           AssistantEvent::textDelta(run->request.prompt),
           AssistantEvent::toolUse("t1", "mcp__tarno__tarno_list", "{}"),
           AssistantEvent::toolResult("t1", false, "3 photos"),
           AssistantEvent::finished("done", false, "s-1")});
    }
    if (command.is<AssistantCommand::Status>())
      return EventStream<AssistantEvent>::of({AssistantEvent::finished("signed in", false)});
    if (auto* code = command.as<AssistantCommand::LoginCode>())
      return EventStream<AssistantEvent>::of({AssistantEvent::finished(code->code, false)});
    auto [stream, continuation] = EventStream<AssistantEvent>::make();
    openStreams_.push_back(continuation);
    return std::move(stream);
  }

  // From now on runs get an open stream too.
  void holdRuns() {
    std::lock_guard lock(mutex_);
    holdRuns_ = true;
  }

  // The producer side of the n-th stream left open (sign-ins, or what a test installs).
  EventStream<AssistantEvent>::Continuation openStream(std::size_t n) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return openStreams_.size() > n; });
    return openStreams_.size() > n ? openStreams_[n] : EventStream<AssistantEvent>::Continuation();
  }
  std::vector<std::string> waitForCodes(std::size_t count) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, 10s, [&] { return codes_.size() >= count; });
    return codes_;
  }
  std::size_t commandCount() {
    std::lock_guard lock(mutex_);
    return commands_.size();
  }
  std::vector<AssistantCommand> commands() {
    std::lock_guard lock(mutex_);
    return commands_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<AssistantCommand> commands_;
  std::vector<std::string> codes_;
  std::vector<EventStream<AssistantEvent>::Continuation> openStreams_;
  bool holdRuns_ = false;
};

class AssistantSocketServerTest : public ::testing::Test {
 protected:
  TempDir dir;
  std::string path = dir.path + "/assistant.sock";
  Recorder recorder;
  std::unique_ptr<Server> server;

  void startServer() {
    server = std::make_unique<Server>(path, recorder.handler(), recorder.sink());
    server->start();
  }
  void TearDown() override { server.reset(); }
};

TEST_F(AssistantSocketServerTest, AnswersEachCommandWithItsEventsInOrderThenCloses) {
  startServer();
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  {
    unique_fd client = connectTo(path);
    ASSERT_TRUE(client);
    AssistantRunRequest request{.prompt = "crop \"it\"\nplease", .model = ClaudeModel::opus};
    sendBytes(client.get(), frame(AssistantCommand::run(request)));
    const std::vector<AssistantEvent> expected{
        AssistantEvent::sessionStarted("s-1", "sonnet"),
        AssistantEvent::textDelta("echo: "),
        AssistantEvent::textDelta("crop \"it\"\nplease"),
        AssistantEvent::toolUse("t1", "mcp__tarno__tarno_list", "{}"),
        AssistantEvent::toolResult("t1", false, "3 photos"),
        AssistantEvent::finished("done", false, "s-1")};
    EXPECT_EQ(readEvents(client.get()), expected);
    auto commands = recorder.commands();
    ASSERT_EQ(commands.size(), 1u);
    ASSERT_TRUE(commands[0].is<AssistantCommand::Run>());
    EXPECT_EQ(commands[0].as<AssistantCommand::Run>()->request, request);
  }
  {
    unique_fd client = connectTo(path);
    sendBytes(client.get(), frame(AssistantCommand::status()));
    EXPECT_EQ(readEvents(client.get()),
              std::vector<AssistantEvent>{AssistantEvent::finished("signed in", false)});
  }
  {
    // A code on a connection of its own goes through the handler like any command.
    unique_fd client = connectTo(path);
    sendBytes(client.get(), frame(AssistantCommand::loginCode("abc")));
    EXPECT_EQ(readEvents(client.get()),
              std::vector<AssistantEvent>{AssistantEvent::finished("abc", false)});
    EXPECT_TRUE(recorder.waitForCodes(0).empty());
  }
  {
    unique_fd client = connectTo(path);
    sendBytes(client.get(), frame(AssistantCommand::login()));
    auto signIn = recorder.openStream(0);
    signIn.yield(AssistantEvent::awaitingLoginCode());
    EXPECT_EQ(readEvents(client.get(), 1),
              std::vector<AssistantEvent>{AssistantEvent::awaitingLoginCode()});
    signIn.yield(AssistantEvent::finished("Signed in.", false));
    signIn.finish();
    EXPECT_EQ(readEvents(client.get()),
              std::vector<AssistantEvent>{AssistantEvent::finished("Signed in.", false)});
  }
  EXPECT_EQ(recorder.commandCount(), 4u);
}

TEST_F(AssistantSocketServerTest, RelaysCodesSentInLaterWritesOfASignInConnection) {
  startServer();
  unique_fd client = connectTo(path);
  ASSERT_TRUE(client);
  // The code in the login frame's own write goes with the first read and is lost.
  sendBytes(client.get(),
            frame(AssistantCommand::login()) + frame(AssistantCommand::loginCode("lost")));
  auto signIn = recorder.openStream(0);
  signIn.yield(AssistantEvent::awaitingLoginCode());
  ASSERT_EQ(readEvents(client.get(), 1).size(), 1u);

  // Later writes: codes reach the sink in order (surrounding blanks are the sink's business);
  // undecodable frames and other commands are ignored, and nothing is answered.
  sendBytes(client.get(), "not json\n" + frame(AssistantCommand::status()) +
                              frame(AssistantCommand::loginCode(" code-1 ")));
  const std::string split = frame(AssistantCommand::loginCode("code-2"));
  sendBytes(client.get(), split.substr(0, 10));
  std::this_thread::sleep_for(20ms);
  sendBytes(client.get(), split.substr(10));
  EXPECT_EQ(recorder.waitForCodes(2), (std::vector<std::string>{" code-1 ", "code-2"}));
  EXPECT_EQ(recorder.commandCount(), 1u);

  signIn.yield(AssistantEvent::finished("Signed in.", false));
  signIn.finish();
  EXPECT_EQ(readEvents(client.get()),
            std::vector<AssistantEvent>{AssistantEvent::finished("Signed in.", false)});
}

TEST_F(AssistantSocketServerTest, EndsASignInConnectionWhoseClientStaysSilent) {
  startServer();
  unique_fd client = connectTo(path);
  sendBytes(client.get(), frame(AssistantCommand::login()));
  auto signIn = recorder.openStream(0);
  // The follow-up reader waits in a read the client never completes; the end of the sign-in
  // must not wait for the client.
  signIn.yield(AssistantEvent::finished("Sign-in timed out.", true));
  signIn.finish();
  EXPECT_EQ(readEvents(client.get()),
            std::vector<AssistantEvent>{AssistantEvent::finished("Sign-in timed out.", true)});
  // The connection is closed: a later code goes nowhere.
  ::send(client.get(), "x", 1, MSG_NOSIGNAL);
  EXPECT_TRUE(recorder.waitForCodes(0).empty());
}

TEST_F(AssistantSocketServerTest, ClosesWithoutAnswerWhenTheFirstFrameIsNoCommand) {
  startServer();
  for (std::string bytes :
       {"hello\n", "{}\n", "\n", "{\"run\":{}}\n", "{\"status\":{},\"login\":{}}\n", "[1,2]\n"}) {
    unique_fd client = connectTo(path);
    sendBytes(client.get(), bytes);
    EXPECT_TRUE(closedWithoutAnswer(client.get())) << bytes;
  }
  {
    unique_fd client = connectTo(path);
    sendBytes(client.get(), "{\"stat");
    ::shutdown(client.get(), SHUT_WR);
    EXPECT_TRUE(closedWithoutAnswer(client.get()));
  }
  EXPECT_EQ(recorder.commandCount(), 0u);
}

TEST_F(AssistantSocketServerTest, ReadsOnlyTheFirstFrameOfOrdinaryConnections) {
  startServer();
  {
    // Two commands in one write: one answer.
    unique_fd client = connectTo(path);
    sendBytes(client.get(), frame(AssistantCommand::status()) + frame(AssistantCommand::status()));
    EXPECT_EQ(readEvents(client.get()).size(), 1u);
  }
  {
    // Frames written while a run streams are never read, codes included.
    recorder.holdRuns();
    unique_fd client = connectTo(path);
    sendBytes(client.get(), frame(AssistantCommand::run({.prompt = "hi"})));
    auto run = recorder.openStream(0);
    sendBytes(client.get(),
              frame(AssistantCommand::loginCode("unheard")) + frame(AssistantCommand::status()));
    std::this_thread::sleep_for(50ms);
    run.yield(AssistantEvent::finished("done", false));
    run.finish();
    EXPECT_EQ(readEvents(client.get()).size(), 1u);
  }
  EXPECT_EQ(recorder.commandCount(), 2u);
  EXPECT_TRUE(recorder.waitForCodes(0).empty());
}

TEST_F(AssistantSocketServerTest, LetsGoOfTheStreamAtTheFirstEventAfterTheClientLeft) {
  startServer();
  unique_fd client = connectTo(path);
  sendBytes(client.get(), frame(AssistantCommand::login()));
  auto stream = recorder.openStream(0);
  // Shared: the hook may run after this test body has returned, if it fails early.
  auto terminated = std::make_shared<std::promise<Termination>>();
  stream.onTermination([terminated](Termination why) { terminated->set_value(why); });
  auto ended = terminated->get_future();

  stream.yield(AssistantEvent::textDelta("one"));
  ASSERT_EQ(readEvents(client.get(), 1).size(), 1u);
  client.reset();
  // Nothing notices the departure until the server writes again.
  EXPECT_EQ(ended.wait_for(100ms), std::future_status::timeout);
  stream.yield(AssistantEvent::textDelta("two"));
  ASSERT_EQ(ended.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(ended.get(), Termination::cancelled);
  EXPECT_FALSE(stream.yield(AssistantEvent::textDelta("three")));
}

TEST_F(AssistantSocketServerTest, ClosesConnectionsOfOtherUsersWithoutCallingTheHandler) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  const uid_t otherUser = nobody->pw_uid;
  const gid_t otherGroup = nobody->pw_gid;

  startServer();
  ASSERT_EQ(::chmod(dir.path.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0777), 0);
  const auto address = SocketAddr::unix(path);
  const std::string request = frame(AssistantCommand::status());

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only async-signal-safe calls from here on; the exit status tells the outcome.
    if (::setgid(otherGroup) != 0 || ::setuid(otherUser) != 0) ::_exit(10);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) ::_exit(11);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0)
      ::_exit(12);
    ::send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    char byte;
    const ssize_t n = ::read(fd, &byte, 1);
    ::_exit(n > 0 ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "1: answered; 10..12: could not set up the connection";
  EXPECT_EQ(recorder.commandCount(), 0u);

  // The server goes on serving its own user.
  unique_fd client = connectTo(path);
  sendBytes(client.get(), frame(AssistantCommand::status()));
  EXPECT_EQ(readEvents(client.get()).size(), 1u);
}

TEST_F(AssistantSocketServerTest, AcceptsAPathOf103BytesAndRefuses104LeavingTheFileAlone) {
  const std::string base = dir.path + "/";
  const std::string longest = base + std::string(103 - base.size(), 'a');
  const std::string tooLong = base + std::string(104 - base.size(), 'b');
  ASSERT_EQ(longest.size(), 103u);
  std::ofstream(tooLong) << "keep me";

  Server refused(tooLong, recorder.handler(), recorder.sink());
  try {
    refused.start();
    FAIL() << "started on a path of 104 bytes";
  } catch (const Server::StartError& error) {
    EXPECT_EQ(error, Server::StartError::pathTooLong());
    EXPECT_STREQ(error.what(), "pathTooLong");
  }
  EXPECT_FALSE(refused.isListening());
  EXPECT_TRUE(fs::is_regular_file(tooLong));

  path = longest;
  startServer();
  unique_fd client = connectTo(longest);
  ASSERT_TRUE(client);
  sendBytes(client.get(), frame(AssistantCommand::status()));
  EXPECT_EQ(readEvents(client.get()).size(), 1u);
}

TEST_F(AssistantSocketServerTest, ReplacesWhateverFileIsAtThePath) {
  std::ofstream(path) << "stale";
  startServer();
  unique_fd client = connectTo(path);
  sendBytes(client.get(), frame(AssistantCommand::status()));
  EXPECT_EQ(readEvents(client.get()).size(), 1u);

  // A second server takes the path over; stopping the first leaves the second's file alone.
  Recorder second;
  Server successor(path, second.handler(), second.sink());
  successor.start();
  server->stop();
  EXPECT_TRUE(fs::exists(path));
  client = connectTo(path);
  sendBytes(client.get(), frame(AssistantCommand::status()));
  EXPECT_EQ(readEvents(client.get()).size(), 1u);
  EXPECT_EQ(second.commandCount(), 1u);
  EXPECT_EQ(recorder.commandCount(), 1u);
}

TEST_F(AssistantSocketServerTest, ReportsBindFailuresWithTheirErrorNumber) {
  Server server2(dir.path + "/missing/assistant.sock", recorder.handler(), recorder.sink());
  try {
    server2.start();
    FAIL() << "bound in a missing directory";
  } catch (const Server::StartError& error) {
    EXPECT_EQ(error, Server::StartError::bindFailed(ENOENT));
    EXPECT_NE(error, Server::StartError::listenFailed(ENOENT));
    EXPECT_NE(error, Server::StartError::bindFailed(EACCES));
    EXPECT_EQ(error.kind(), Server::StartError::Kind::bindFailed);
    EXPECT_EQ(error.what(), "bindFailed(" + std::to_string(ENOENT) + ")");
  }
  EXPECT_FALSE(server2.isListening());
  server2.stop();
}

TEST_F(AssistantSocketServerTest, StopRemovesTheFileAndLetsRunningConnectionsFinish) {
  startServer();
  unique_fd client = connectTo(path);
  sendBytes(client.get(), frame(AssistantCommand::login()));
  auto signIn = recorder.openStream(0);

  server->stop();
  EXPECT_FALSE(server->isListening());
  EXPECT_FALSE(fs::exists(path));
  EXPECT_FALSE(SocketIO::connect(path));

  signIn.yield(AssistantEvent::finished("still here", false));
  signIn.finish();
  EXPECT_EQ(readEvents(client.get()).size(), 1u);

  // Started again, it serves anew.
  server->start();
  client = connectTo(path);
  sendBytes(client.get(), frame(AssistantCommand::status()));
  EXPECT_EQ(readEvents(client.get()).size(), 1u);
}

TEST_F(AssistantSocketServerTest, DestroyingTheServerEndsTheConnectionsItServes) {
  startServer();
  unique_fd silent = connectTo(path);     // waits in its first read
  unique_fd signingIn = connectTo(path);  // waits for the next event, its reader for codes
  sendBytes(signingIn.get(), frame(AssistantCommand::login()));
  auto signIn = recorder.openStream(0);
  auto terminated = std::make_shared<std::promise<Termination>>();
  signIn.onTermination([terminated](Termination why) { terminated->set_value(why); });
  auto ended = terminated->get_future();

  const auto before = std::chrono::steady_clock::now();
  server.reset();
  EXPECT_LT(std::chrono::steady_clock::now() - before, 5s);
  ASSERT_EQ(ended.wait_for(0s), std::future_status::ready);
  EXPECT_EQ(ended.get(), Termination::cancelled);
  EXPECT_TRUE(closedWithoutAnswer(silent.get()));
  EXPECT_TRUE(closedWithoutAnswer(signingIn.get()));
}

}  // namespace
}  // namespace tarno::assistant
