// ClaudeProcessRunner against fake-claude: events in order, the closing `finished` rules, launch
// failures, odd and huge output, cancellation, and what the child was started with.
#include "tarno/assistant/engine/claude_process_runner.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <stop_token>
#include <string>
#include <thread>
#include <vector>

#include "fakes/fake_claude_script.hpp"
#include "tarno/assistant/engine/claude_invocation.hpp"
#include "tarno/assistant/engine/stream_json_parser.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using Event = AssistantEvent;

// What the CLI prints for one short turn with a tool call.
constexpr const char* initLine =
    R"({"type":"system","subtype":"init","cwd":"/home/u/.tarno/agent","session_id":"sess-1",)"
    R"("tools":["mcp__tarno__tarno_list"],"model":"claude-sonnet-4-5"})";
constexpr const char* deltaLine =
    R"({"type":"stream_event","event":{"type":"content_block_delta","index":0,)"
    R"("delta":{"type":"text_delta","text":"Look"}},"session_id":"sess-1"})";
constexpr const char* assistantLine =
    R"({"type":"assistant","message":{"id":"msg_1","role":"assistant","content":[)"
    R"({"type":"text","text":"Looking at your library."},)"
    R"({"type":"tool_use","id":"toolu_1","name":"mcp__tarno__tarno_list","input":{"limit":5}}]},)"
    R"("session_id":"sess-1"})";
constexpr const char* toolResultLine =
    R"({"type":"user","message":{"role":"user","content":[{"type":"tool_result",)"
    R"("tool_use_id":"toolu_1","content":[{"type":"text","text":"5 photos"}]}]},)"
    R"("session_id":"sess-1"})";
constexpr const char* resultLine =
    R"({"type":"result","subtype":"success","is_error":false,"duration_ms":2310,)"
    R"("num_turns":2,"result":"You have 5 photos.","session_id":"sess-1"})";

const Event initEvent = Event::sessionStarted("sess-1", "claude-sonnet-4-5");
const Event resultEvent = Event::finished("You have 5 photos.", false, "sess-1");

std::string launchFailure(int error) {
  return std::string("couldn't launch claude: ") + std::strerror(error);
}

// Every event until the end of the stream; a stream still open after `limit` fails the test
// instead of hanging the suite.
std::vector<Event> drain(EventStream<Event>& stream, std::chrono::seconds limit = 30s) {
  std::stop_source expired;
  std::jthread timer([&expired, limit](std::stop_token done) {
    std::mutex m;
    std::condition_variable_any cv;
    std::unique_lock lock(m);
    if (!cv.wait_for(lock, done, limit, [] { return false; }) && !done.stop_requested()) {
      expired.request_stop();
    }
  });
  std::vector<Event> events;
  while (auto event = stream.next(expired.get_token()))
    events.push_back(std::move(*event));
  EXPECT_FALSE(expired.stop_requested()) << "the stream did not end";
  return events;
}

// Polls `condition` until it holds or `limit` passes.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(5ms);
  }
  return true;
}

// Entries of a /proc directory (the listing's own descriptor counts every time alike).
int countEntries(const char* path) {
  int count = 0;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(path))
    ++count;
  return count;
}

bool logHas(const std::string& home, const std::string& line) {
  const auto log = fakes::readFakeClaudeRecord(home).log;
  return std::find(log.begin(), log.end(), line) != log.end();
}

class ClaudeProcessRunnerTest : public ::testing::Test {
 protected:
  fakes::FakeClaudeSection& print() { return script_.print(); }

  Environment environment() const { return {{"HOME", home_.path()}, {"PATH", "/usr/bin:/bin"}}; }

  EventStream<Event> start(ClaudeProcessRunner::LineParser parse = StreamJSONParser::events) {
    script_.install(home_.path());
    return ClaudeProcessRunner::stream(TARNO_FAKE_CLAUDE_PATH, {"-p", "How many photos?"},
                                       environment(), std::nullopt, std::move(parse));
  }

  std::vector<Event> run(ClaudeProcessRunner::LineParser parse = StreamJSONParser::events) {
    auto stream = start(std::move(parse));
    return drain(stream);
  }

  std::vector<Event> runExecutable(const std::string& path) {
    auto stream = ClaudeProcessRunner::stream(path, {"-p", "x"}, environment(), std::nullopt,
                                              StreamJSONParser::events);
    return drain(stream);
  }

  fakes::TempDir home_;
  fakes::FakeClaudeScript script_;
};

// ---- events from standard output ------------------------------------------------------------

TEST_F(ClaudeProcessRunnerTest, DeliversEventsInOutputAndParserOrder) {
  print().out(initLine).out(deltaLine).out(assistantLine).out(toolResultLine).out(resultLine);
  EXPECT_THAT(run(),
              ElementsAre(initEvent, Event::textDelta("Look"),
                          Event::assistantText("Looking at your library."),
                          Event::toolUse("toolu_1", "mcp__tarno__tarno_list", R"({"limit":5})"),
                          Event::toolResult("toolu_1", false, "5 photos"), resultEvent));
}

TEST_F(ClaudeProcessRunnerTest, KeepsOrderAcrossManyReads) {
  std::vector<Event> expected;
  for (int i = 0; i < 3000; ++i) {
    const std::string text = "piece " + std::to_string(i);
    print().out(R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":")" + text +
                R"("}}})");
    expected.push_back(Event::textDelta(text));
  }
  print().out(resultLine);
  expected.push_back(resultEvent);
  EXPECT_EQ(run(), expected);
}

TEST_F(ClaudeProcessRunnerTest, ParsesALastLineWithoutNewline) {
  print().out(initLine).outRaw(resultLine);
  EXPECT_THAT(run(), ElementsAre(initEvent, resultEvent));
}

TEST_F(ClaudeProcessRunnerTest, JoinsALineWrittenInPiecesEvenInsideACharacter) {
  // "café": the two bytes of "é" arrive in different reads.
  print()
      .outRaw(R"({"type":"assistant","message":{"content":[{"type":"text","text":"caf)"
              "\xC3")
      .sleepMs(150)
      .outRaw("\xA9\"}]}}\n")
      .out(resultLine);
  EXPECT_THAT(run(), ElementsAre(Event::assistantText("caf\u00e9"), resultEvent));
}

TEST_F(ClaudeProcessRunnerTest, GarbageAndInvalidUTF8LinesYieldFewerEvents) {
  print()
      .out("not json at all")
      .out("")
      .out("   \t")
      .out("[1,2,3]")
      .out(R"({"type":"assistant","message":)")
      .outRaw("\xff\xfe\xfd\n")
      .out(R"({"type":"assistant","message":{"content":[{"type":"text","text":"caf)"
           "\xC3"
           R"( ok"}]}})")
      .out(R"({"type":"mystery","result":"x"})")
      .out(resultLine);
  EXPECT_THAT(run(), ElementsAre(Event::assistantText("caf\uFFFD ok"), resultEvent));
}

TEST_F(ClaudeProcessRunnerTest, ALineTheParserThrowsOnYieldsNothing) {
  print().out("explode").out(resultLine);
  auto parse = [](const std::string& line) -> std::vector<Event> {
    if (line == "explode") throw std::runtime_error("parser failure");
    return StreamJSONParser::events(line);
  };
  EXPECT_THAT(run(parse), ElementsAre(resultEvent));
}

TEST_F(ClaudeProcessRunnerTest, SurvivesAFiftyMegabyteLine) {
  constexpr long chunks = 50L * 1024 * 1024 / 64;
  const std::string chunk(64, 'x');
  print()
      .outFill(chunks / 8, "not json, just a very long line of noise from the child......")
      .out("")
      .outRaw(R"({"type":"user","message":{"content":[{"type":"tool_result",)"
              R"("tool_use_id":"toolu_9","content":")")
      .outFill(chunks, chunk)
      .out(R"("}]}})")
      .out(resultLine);
  EXPECT_THAT(run(),
              ElementsAre(Event::toolResult("toolu_9", false, std::string(200, 'x') + "\u2026"),
                          resultEvent));
}

TEST_F(ClaudeProcessRunnerTest, ConvenienceFormPassesTheInvocationAndParsesStreamJSON) {
  print().out(initLine).out(resultLine);
  script_.install(home_.path());
  const ClaudeInvocation invocation{
      .prompt = "Rate my photos", .model = ClaudeModel::haiku, .resumeSessionID = "sess-0"};
  auto stream =
      ClaudeProcessRunner::stream(TARNO_FAKE_CLAUDE_PATH, invocation, environment(), std::nullopt);
  EXPECT_THAT(drain(stream), ElementsAre(initEvent, resultEvent));
  EXPECT_EQ(fakes::readFakeClaudeRecord(home_.path()).args, invocation.arguments());
}

// ---- the closing `finished` event -----------------------------------------------------------

TEST_F(ClaudeProcessRunnerTest, TheCLIsOwnFinishedIsTheOnlyOne) {
  print().out(initLine).out(resultLine).err("warning: something odd").exit(1);
  EXPECT_THAT(run(), ElementsAre(initEvent, resultEvent));
}

TEST_F(ClaudeProcessRunnerTest, WithoutAFinishedTheTrimmedStandardErrorIsTheText) {
  print().err("  \n error: unknown option '--frobnicate'").err("").err("(see --help)\t\n").exit(2);
  EXPECT_THAT(run(), ElementsAre(Event::finished(
                         "error: unknown option '--frobnicate'\n\n(see --help)", true)));
}

TEST_F(ClaudeProcessRunnerTest, StandardErrorTextAfterAZeroStatusIsNotAnError) {
  print().out(initLine).err("Update available.");
  EXPECT_THAT(run(), ElementsAre(initEvent, Event::finished("Update available.", false)));
}

TEST_F(ClaudeProcessRunnerTest, WithoutAnyTextTheExitStatusIsTheText) {
  const struct {
    int status;
    bool isError;
  } cases[] = {{0, false}, {1, true}, {3, true}, {255, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.status);
    script_ = {};
    // Nothing at all, or only white space, on standard error.
    if (c.status != 0) print().err(" \n\t");
    print().exit(c.status);
    EXPECT_THAT(run(), ElementsAre(Event::finished(
                           "claude exited with status " + std::to_string(c.status), c.isError)));
  }
}

TEST_F(ClaudeProcessRunnerTest, DeathBySignalReportsTheSignalNumber) {
  print().out(initLine).signal(SIGKILL);
  EXPECT_THAT(run(), ElementsAre(initEvent, Event::finished("claude exited with status 9", true)));

  script_ = {};
  print().err("Segmentation fault").signal(SIGSEGV);
  EXPECT_THAT(run(), ElementsAre(Event::finished("Segmentation fault", true)));
}

TEST_F(ClaudeProcessRunnerTest, ALostExitStatusCountsAsAnError) {
  // With SIGCHLD ignored the kernel reaps the child itself and its status is gone.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(::sigaction(SIGCHLD, &ignore, &previous), 0);
  print();
  const auto events = run();
  ::sigaction(SIGCHLD, &previous, nullptr);
  EXPECT_THAT(events, ElementsAre(Event::finished("claude exited with status -1", true)));
}

TEST_F(ClaudeProcessRunnerTest, MuchStandardErrorNeitherBlocksTheChildNorGrowsWithoutLimit) {
  // More than a pipe holds, before anything on standard output.
  print().errFill(3 * 1024 * 1024 / 16, "stack frame ...\n").out(resultLine);
  EXPECT_THAT(run(), ElementsAre(resultEvent));

  script_ = {};
  print().errFill(3 * 1024 * 1024 / 16, "0123456789abcdef").exit(1);
  const auto events = run();
  ASSERT_EQ(events.size(), 1u);
  const auto* finished = events[0].as<Event::Finished>();
  ASSERT_NE(finished, nullptr);
  EXPECT_TRUE(finished->isError);
  EXPECT_EQ(finished->text.size(), ClaudeProcessRunner::maxStderrBytes);
  EXPECT_EQ(finished->text.substr(0, 20), "0123456789abcdef0123");
}

// ---- launch failures ------------------------------------------------------------------------

TEST_F(ClaudeProcessRunnerTest, AMissingExecutableIsALaunchFailure) {
  EXPECT_THAT(runExecutable(home_.path() + "/no-such-claude"),
              ElementsAre(Event::finished(launchFailure(ENOENT), true)));
}

TEST_F(ClaudeProcessRunnerTest, AScriptWithAMissingInterpreterIsALaunchFailure) {
  const std::string path = home_.path() + "/claude";
  std::ofstream(path) << "#!/nonexistent/bin/node\nconsole.log('hi')\n";
  ASSERT_EQ(::chmod(path.c_str(), 0755), 0);
  EXPECT_THAT(runExecutable(path), ElementsAre(Event::finished(launchFailure(ENOENT), true)));

  ASSERT_EQ(::chmod(path.c_str(), 0644), 0);
  EXPECT_THAT(runExecutable(path), ElementsAre(Event::finished(launchFailure(EACCES), true)));
}

TEST_F(ClaudeProcessRunnerTest, AMissingWorkingDirectoryIsALaunchFailure) {
  script_.print();
  script_.install(home_.path());
  auto stream = ClaudeProcessRunner::stream(TARNO_FAKE_CLAUDE_PATH, {"-p", "x"}, environment(),
                                            home_.path() + "/gone", StreamJSONParser::events);
  EXPECT_THAT(drain(stream), ElementsAre(Event::finished(launchFailure(ENOENT), true)));
}

// ---- what the child was given ---------------------------------------------------------------

TEST_F(ClaudeProcessRunnerTest, TheChildGetsExactlyTheArgumentsEnvironmentAndDirectory) {
  print().out(resultLine);
  script_.install(home_.path());
  const std::string workDir = home_.path() + "/.tarno/agent";
  std::filesystem::create_directories(workDir);
  const std::vector<std::string> arguments = {
      "-p", "two  words\nand a line", "", "caf\u00e9", "--model", "opus"};
  const Environment env = {
      {"HOME", home_.path()}, {"PATH", "/nowhere"}, {"EMPTY", ""}, {"WITH_EQUALS", "a=b=c"}};
  auto stream = ClaudeProcessRunner::stream(TARNO_FAKE_CLAUDE_PATH, arguments, env, workDir,
                                            StreamJSONParser::events);
  EXPECT_THAT(drain(stream), ElementsAre(resultEvent));

  const auto record = fakes::readFakeClaudeRecord(home_.path());
  EXPECT_EQ(record.args, arguments);
  EXPECT_THAT(record.environment, UnorderedElementsAre("HOME=" + home_.path(), "PATH=/nowhere",
                                                       "EMPTY=", "WITH_EQUALS=a=b=c"));
  EXPECT_EQ(record.cwd, std::filesystem::canonical(workDir).string());
  // Standard input is ours; the two output streams are pipes.
  ASSERT_EQ(record.stdio.size(), 3u);
  EXPECT_THAT(record.stdio[1], ::testing::StartsWith("1 pipe:"));
  EXPECT_THAT(record.stdio[2], ::testing::StartsWith("2 pipe:"));
}

TEST_F(ClaudeProcessRunnerTest, WithoutADirectoryTheChildStartsInOurs) {
  print();
  run();
  EXPECT_EQ(fakes::readFakeClaudeRecord(home_.path()).cwd,
            std::filesystem::current_path().string());
}

// ---- the consumer going away ----------------------------------------------------------------

TEST_F(ClaudeProcessRunnerTest, DroppingTheStreamTerminatesAHangingChildWithinASecond) {
  print().out(initLine).hang().out(resultLine);
  auto stream = start();
  ASSERT_EQ(stream.next(), initEvent);
  const std::string pid = fakes::readFakeClaudeRecord(home_.path()).pid;
  ASSERT_FALSE(pid.empty());

  { auto dropped = std::move(stream); }
  EXPECT_TRUE(eventually([&] { return logHas(home_.path(), "sigterm"); }, 1s));
  // Reaped by the run, not left as a zombie.
  EXPECT_TRUE(eventually([&] { return ::kill(std::stoi(pid), 0) != 0 && errno == ESRCH; }, 1s));
}

TEST_F(ClaudeProcessRunnerTest, CancellingEndsTheStreamAndDiscardsLaterEvents) {
  print().out(initLine).hang().out(assistantLine).out(resultLine);
  auto stream = start();
  ASSERT_EQ(stream.next(), initEvent);
  stream.cancel();
  EXPECT_EQ(stream.next(), std::nullopt);
  EXPECT_TRUE(eventually([&] { return logHas(home_.path(), "exit 0"); }, 1s));
  EXPECT_TRUE(logHas(home_.path(), "sigterm"));
  EXPECT_EQ(stream.next(), std::nullopt);
}

TEST_F(ClaudeProcessRunnerTest, ACancelledRunEndsWhenItsChildDoesEvenIfItsOutputStaysOpen) {
  // The child leaves a process behind that keeps both pipes open for a while.
  const int threadsBefore = countEntries("/proc/self/task");
  auto stream = ClaudeProcessRunner::stream(
      "/bin/sh", {"-c", "echo ready; sleep 4 & exec sleep 60"}, environment(), std::nullopt,
      [](const std::string& line) { return std::vector<Event>{Event::textDelta(line)}; });
  ASSERT_EQ(stream.next(), Event::textDelta("ready"));
  stream.cancel();
  EXPECT_TRUE(eventually([&] { return countEntries("/proc/self/task") <= threadsBefore; }, 1s));
}

TEST_F(ClaudeProcessRunnerTest, DroppingAStreamEarlyLeavesNoChildRunning) {
  print().out(initLine).hang();
  script_.install(home_.path());
  // The drop meets the run before, during and after the spawn; the last ones surely after the
  // child is up.
  for (int i = 0; i < 24; ++i) {
    auto stream = ClaudeProcessRunner::stream(TARNO_FAKE_CLAUDE_PATH, {"-p", "x"}, environment(),
                                              std::nullopt, StreamJSONParser::events);
    if (i < 20) {
      std::this_thread::sleep_for(i * 300us);
    } else {
      ASSERT_EQ(stream.next(), initEvent);
    }
  }
  const auto count = [&](std::string_view prefix) {
    const auto log = fakes::readFakeClaudeRecord(home_.path()).log;
    return std::count_if(log.begin(), log.end(),
                         [&](const std::string& line) { return line.starts_with(prefix); });
  };
  // Every child that got going was told to stop, and all of them are reaped.
  EXPECT_TRUE(eventually(
      [&] {
        siginfo_t info{};
        return count("start") == count("exit") + count("signal") &&
               ::waitid(P_ALL, 0, &info, WEXITED | WNOHANG | WNOWAIT) != 0 && errno == ECHILD;
      },
      3s));
  EXPECT_GE(count("sigterm"), 4);
}

}  // namespace
}  // namespace tarno::assistant
