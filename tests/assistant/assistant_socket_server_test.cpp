// AssistantSocketServer end to end over real socket files: commands, event streaming, sign-in
// code relay, refusals, the peer-user rule, start errors and the server's lifetime.
#include "tarno/assistant/transport/assistant_socket_server.hpp"

#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "engine_test_support.hpp"

namespace tarno::assistant {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Server = AssistantSocketServer;
using test_support::connectTo;
using test_support::frame;
using test_support::readEvents;
using test_support::sendAll;
using Events = std::vector<AssistantEvent>;

// True when the server closed the connection without sending a byte. A server that closes
// with our bytes unread makes the read fail with ECONNRESET instead of reading the end.
bool closedWithoutAnswer(int fd) {
  char byte;
  const ssize_t n = ::read(fd, &byte, 1);
  return n == 0 || (n < 0 && errno == ECONNRESET);
}

bool closedWithOurBytesUnread(int fd) {
  char byte;
  return ::read(fd, &byte, 1) < 0 && errno == ECONNRESET;
}

// The hook's outcome, shared: the hook may run after a test body that failed early returned.
std::future<Termination> terminationOf(EventStream<AssistantEvent>::Continuation& stream) {
  auto terminated = std::make_shared<std::promise<Termination>>();
  stream.onTermination([terminated](Termination why) { terminated->set_value(why); });
  return terminated->get_future();
}

// Records what the server hands over. Runs, status checks and codes are answered with fixed
// streams; sign-ins (and runs, once held) get open streams for the test to drive.
class AssistantSocketServerTest : public ::testing::Test {
 protected:
  EventStream<AssistantEvent> handle(AssistantCommand command) {
    std::lock_guard lock(mutex);
    commands.push_back(command);
    if (auto* run = command.as<AssistantCommand::Run>(); run != nullptr && !holdRuns) {
      return EventStream<AssistantEvent>::of({AssistantEvent::sessionStarted("s-1", "sonnet"),
                                              AssistantEvent::textDelta(run->request.prompt),
                                              AssistantEvent::finished("done", false, "s-1")});
    }
    if (command.is<AssistantCommand::Status>()) return EventStream<AssistantEvent>::of(signedIn);
    if (auto* code = command.as<AssistantCommand::LoginCode>())
      return EventStream<AssistantEvent>::of({AssistantEvent::finished(code->code, false)});
    auto [stream, continuation] = EventStream<AssistantEvent>::make();
    openStreams.push_back(continuation);
    changed.notify_all();
    return std::move(stream);
  }
  // The producer side of the n-th open stream.
  EventStream<AssistantEvent>::Continuation openStream(std::size_t n) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 10s, [&] { return openStreams.size() > n; });
    return openStreams.size() > n ? openStreams[n] : EventStream<AssistantEvent>::Continuation();
  }
  std::vector<std::string> waitForCodes(std::size_t count) {
    std::unique_lock lock(mutex);
    changed.wait_for(lock, 10s, [&] { return codes.size() >= count; });
    return codes;
  }
  std::size_t commandCount() {
    std::lock_guard lock(mutex);
    return commands.size();
  }

  std::unique_ptr<Server> makeServer(const std::string& at) {
    return std::make_unique<Server>(
        at, [this](AssistantCommand command) { return handle(std::move(command)); },
        [this](std::string code) {
          std::lock_guard lock(mutex);
          codes.push_back(std::move(code));
          changed.notify_all();
          return true;
        },
        limits);
  }
  void startServer() {
    server = makeServer(path);
    server->start();
  }
  // Whatever a test did, destroying the server gives back every thread and descriptor.
  void TearDown() override {
    server.reset();
    EXPECT_TRUE(resources.settled());
  }
  // Connects, sends `bytes`, and reads the answer to its end.
  Events ask(const std::string& bytes) {
    unique_fd client = connectTo(path);
    if (!client || !sendAll(client.get(), bytes)) return {};
    return readEvents(client.get());
  }

  static inline const Events signedIn{AssistantEvent::finished("signed in", false)};
  static inline const std::string statusFrame = frame(AssistantCommand::status());
  fakes::TempDir dir;
  std::string path = dir.path() + "/assistant.sock";
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<AssistantCommand> commands;
  std::vector<std::string> codes;
  std::vector<EventStream<AssistantEvent>::Continuation> openStreams;
  std::atomic<bool> holdRuns{false};
  Server::Limits limits;
  test_support::ResourceCount resources;
  std::unique_ptr<Server> server;  // last, so that it goes first
};

TEST_F(AssistantSocketServerTest, AnswersEachCommandWithItsEventsInOrderThenCloses) {
  startServer();
  struct stat info {};
  ASSERT_EQ(::stat(path.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 07777, 0600u);

  const AssistantRunRequest request{.prompt = "crop \"it\"\nplease", .model = ClaudeModel::opus};
  EXPECT_EQ(ask(frame(AssistantCommand::run(request))),
            (Events{AssistantEvent::sessionStarted("s-1", "sonnet"),
                    AssistantEvent::textDelta("crop \"it\"\nplease"),
                    AssistantEvent::finished("done", false, "s-1")}));
  ASSERT_EQ(commandCount(), 1u);
  EXPECT_EQ(commands[0].as<AssistantCommand::Run>()->request, request);
  EXPECT_EQ(ask(statusFrame), signedIn);
  // A code on a connection of its own goes through the handler like any command.
  EXPECT_EQ(ask(frame(AssistantCommand::loginCode("abc"))),
            Events{AssistantEvent::finished("abc", false)});
  EXPECT_EQ(commandCount(), 3u);
  EXPECT_TRUE(waitForCodes(0).empty());
}

TEST_F(AssistantSocketServerTest, RelaysCodesSentInLaterWritesOfASignInConnection) {
  startServer();
  unique_fd client = connectTo(path);
  ASSERT_TRUE(client);
  // The code in the login frame's own write goes with the first read and is lost.
  ASSERT_TRUE(sendAll(
      client.get(), frame(AssistantCommand::login()) + frame(AssistantCommand::loginCode("lost"))));
  auto signIn = openStream(0);
  signIn.yield(AssistantEvent::awaitingLoginCode());
  EXPECT_EQ(readEvents(client.get(), 1), Events{AssistantEvent::awaitingLoginCode()});

  // Later writes: codes reach the sink in order (surrounding blanks are the sink's business);
  // undecodable frames and other commands are ignored, and nothing is answered.
  ASSERT_TRUE(sendAll(client.get(),
                      "not json\n" + statusFrame + frame(AssistantCommand::loginCode(" code-1 "))));
  ASSERT_TRUE(sendAll(client.get(), frame(AssistantCommand::loginCode("code-2"))));
  EXPECT_EQ(waitForCodes(2), (std::vector<std::string>{" code-1 ", "code-2"}));
  EXPECT_EQ(commandCount(), 1u);

  // The end of the sign-in does not wait for the client, whose reader is still in a read.
  signIn.yield(AssistantEvent::finished("Signed in.", false));
  signIn.finish();
  EXPECT_EQ(readEvents(client.get()), Events{AssistantEvent::finished("Signed in.", false)});
}

TEST_F(AssistantSocketServerTest, ReadsOnlyTheFirstFrameWhichMustBeACommand) {
  startServer();
  for (std::string bytes :
       {"hello\n", "{}\n", "\n", "{\"run\":{}}\n", "{\"status\":{},\"login\":{}}\n", "[1,2]\n"}) {
    unique_fd client = connectTo(path);
    ASSERT_TRUE(sendAll(client.get(), bytes));
    EXPECT_TRUE(closedWithoutAnswer(client.get())) << bytes;
  }
  {
    unique_fd client = connectTo(path);
    ASSERT_TRUE(sendAll(client.get(), "{\"stat"));
    ::shutdown(client.get(), SHUT_WR);
    EXPECT_TRUE(closedWithoutAnswer(client.get()));
  }
  EXPECT_EQ(commandCount(), 0u);

  // Two commands in one write: one answer.
  EXPECT_EQ(ask(statusFrame + statusFrame), signedIn);

  // Frames written while a run streams are never read, codes included: they are still unread
  // when the server closes the connection at the end of the run.
  holdRuns = true;
  unique_fd client = connectTo(path);
  ASSERT_TRUE(sendAll(client.get(), frame(AssistantCommand::run({.prompt = "hi"}))));
  auto run = openStream(0);
  ASSERT_TRUE(sendAll(client.get(), frame(AssistantCommand::loginCode("unheard")) + statusFrame));
  run.yield(AssistantEvent::textDelta("one"));
  EXPECT_EQ(readEvents(client.get(), 1), Events{AssistantEvent::textDelta("one")});
  run.finish();
  EXPECT_TRUE(closedWithOurBytesUnread(client.get()));
  EXPECT_EQ(commandCount(), 2u);
  EXPECT_TRUE(waitForCodes(0).empty());

  // A client that leaves a silent run is noticed without any event, which lets go of the stream.
  unique_fd leaving = connectTo(path);
  ASSERT_TRUE(sendAll(leaving.get(), frame(AssistantCommand::run({.prompt = "bye"}))));
  auto abandoned = openStream(1);
  auto ended = terminationOf(abandoned);
  leaving.reset();
  ASSERT_EQ(ended.wait_for(10s), std::future_status::ready);
  EXPECT_EQ(ended.get(), Termination::cancelled);
  EXPECT_FALSE(abandoned.yield(AssistantEvent::textDelta("three")));

  // So is one that leaves while its run is blocked in a send to it.
  unique_fd halfOpen = connectTo(path);
  ASSERT_TRUE(sendAll(halfOpen.get(), frame(AssistantCommand::run({.prompt = "stuck"}))));
  auto released = std::async(std::launch::async, [stuck = openStream(2)] {
    while (stuck.yield(AssistantEvent::textDelta(std::string(64 * 1024, 'x')))) {
    }
  });
  std::this_thread::sleep_for(100ms);  // the socket fills up
  halfOpen.reset();
  EXPECT_EQ(released.wait_for(10s), std::future_status::ready);

  // One that only shuts down its sending side has not left: it still gets its events.
  unique_fd halfClosed = connectTo(path);
  ASSERT_TRUE(sendAll(halfClosed.get(), frame(AssistantCommand::run({.prompt = "quiet"}))));
  ::shutdown(halfClosed.get(), SHUT_WR);
  auto answered = openStream(3);
  std::this_thread::sleep_for(100ms);  // time to mistake the half-close for a hang-up
  answered.yield(AssistantEvent::textDelta("heard"));
  answered.finish();
  EXPECT_EQ(readEvents(halfClosed.get()), Events{AssistantEvent::textDelta("heard")});
}

TEST_F(AssistantSocketServerTest, IdleSlowAndSurplusClientsAreBounded) {
  limits = {.firstFrameTimeout = 50ms, .maxConnections = 1, .maxUnsentBytes = 256 * 1024};
  holdRuns = true;
  startServer();
  {  // no complete first frame in time: closed
    unique_fd idle = connectTo(path);
    ASSERT_TRUE(sendAll(idle.get(), "{\"stat"));
    EXPECT_TRUE(closedWithoutAnswer(idle.get()));
  }
  // A run whose client never reads: its producer blocks once the limit is reached.
  unique_fd reader = connectTo(path);
  ASSERT_TRUE(sendAll(reader.get(), frame(AssistantCommand::run({.prompt = "big"}))));
  auto run = openStream(0);
  const std::string chunk(64 * 1024, 'x');
  std::atomic<int> yielded = 0;
  std::jthread producer([&] {
    for (int i = 0; i < 1000 && run.yield(AssistantEvent::textDelta(chunk)); ++i)
      ++yielded;
    run.finish();
  });
  // The only slot is taken: a second client waits in the backlog, unanswered.
  unique_fd waiting = connectTo(path);
  ASSERT_TRUE(sendAll(waiting.get(), statusFrame));
  EXPECT_LT(yielded.load(), 1000);
  EXPECT_EQ(commandCount(), 1u);
  // Reading lets the producer go on; nothing is lost.
  EXPECT_EQ(readEvents(reader.get()).size(), 1000u);
  producer.join();
  EXPECT_EQ(readEvents(waiting.get()), signedIn);
}

TEST_F(AssistantSocketServerTest, ClosesConnectionsOfOtherUsersWithoutCallingTheHandler) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to connect as another user";
  const passwd* nobody = ::getpwnam("nobody");
  if (nobody == nullptr) GTEST_SKIP() << "no user nobody";
  const uid_t otherUser = nobody->pw_uid;
  const gid_t otherGroup = nobody->pw_gid;

  startServer();
  ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(path.c_str(), 0777), 0);
  const auto address = SocketAddr::unix(path);

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // Only async-signal-safe calls from here on; the exit status tells the outcome.
    if (::setgid(otherGroup) != 0 || ::setuid(otherUser) != 0) ::_exit(10);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (fd < 0) ::_exit(11);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0)
      ::_exit(12);
    ::send(fd, statusFrame.data(), statusFrame.size(), MSG_NOSIGNAL);
    char byte;
    ::_exit(::read(fd, &byte, 1) > 0 ? 1 : 0);
  }
  int waited = 0;
  ASSERT_EQ(::waitpid(child, &waited, 0), child);
  ASSERT_TRUE(WIFEXITED(waited));
  EXPECT_EQ(WEXITSTATUS(waited), 0) << "1: answered; 10..12: could not set up the connection";
  EXPECT_EQ(commandCount(), 0u);
  EXPECT_EQ(ask(statusFrame), signedIn);  // its own user is still served
}

TEST_F(AssistantSocketServerTest, StartErrorsLeaveTheFileAtThePathAlone) {
  const std::string base = dir.path() + "/";
  const std::string longest = base + std::string(103 - base.size(), 'a');
  const std::string tooLong = base + std::string(104 - base.size(), 'b');
  std::ofstream(tooLong) << "keep me";

  const std::pair<std::string, Server::StartError> refusals[] = {
      {tooLong, Server::StartError::pathTooLong()},
      {dir.path() + "/missing/assistant.sock", Server::StartError::bindFailed(ENOENT)},
  };
  for (const auto& [at, expected] : refusals) {
    auto refused = makeServer(at);
    try {
      refused->start();
      ADD_FAILURE() << "started on " << at;
    } catch (const Server::StartError& error) {
      EXPECT_EQ(error, expected);
    }
    EXPECT_FALSE(refused->isListening());
  }
  EXPECT_STREQ(Server::StartError::pathTooLong().what(), "pathTooLong");
  EXPECT_STREQ(Server::StartError::bindFailed(ENOENT).what(),
               ("bindFailed(" + std::to_string(ENOENT) + ")").c_str());
  EXPECT_TRUE(fs::is_regular_file(tooLong));

  path = longest;
  startServer();
  EXPECT_EQ(ask(statusFrame), signedIn);
}

TEST_F(AssistantSocketServerTest, ReplacesAStaleFileAndStopRemovesOnlyItsOwn) {
  std::ofstream(path) << "stale";
  startServer();
  unique_fd client = connectTo(path);
  ASSERT_TRUE(sendAll(client.get(), frame(AssistantCommand::login())));
  auto signIn = openStream(0);

  // A second server takes the path over; stopping the first leaves the second's file alone.
  const Events second{AssistantEvent::finished("second", false)};
  Server successor(
      path, [&](AssistantCommand) { return EventStream<AssistantEvent>::of(second); },
      [](std::string) { return true; });
  successor.start();
  server->stop();
  EXPECT_EQ(ask(statusFrame), second);
  // The connection the first server was serving runs to its end.
  signIn.yield(AssistantEvent::finished("still here", false));
  signIn.finish();
  EXPECT_EQ(readEvents(client.get()).size(), 1u);

  successor.stop();
  EXPECT_FALSE(fs::exists(path));
  server->start();
  EXPECT_EQ(ask(statusFrame), signedIn);
}

TEST_F(AssistantSocketServerTest, DestroyingTheServerEndsTheConnectionsItServes) {
  startServer();
  unique_fd silent = connectTo(path);     // waits in its first read
  unique_fd signingIn = connectTo(path);  // waits for the next event, its reader for codes
  ASSERT_TRUE(sendAll(signingIn.get(), frame(AssistantCommand::login())));
  auto signIn = openStream(0);
  auto ended = terminationOf(signIn);

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
