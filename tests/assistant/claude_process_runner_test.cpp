// ClaudeProcessRunner against fake-claude: events in order, the closing `finished` rules, launch
// failures, odd and huge output, cancellation, and what the child was started with.
#include "tarno/assistant/engine/claude_process_runner.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine_test_support.hpp"
#include "tarno/assistant/engine/stream_json_parser.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::UnorderedElementsAre;
using Event = AssistantEvent;
using test_support::drain;
using test_support::ended;

// Lines the CLI prints in a turn; the assistant message carries two events.
constexpr const char* initLine =
    R"({"type":"system","subtype":"init","cwd":"/home/u/.tarno/agent","session_id":"sess-1",)"
    R"("tools":["mcp__tarno__tarno_list"],"model":"claude-sonnet-4-5"})";
constexpr const char* assistantLine =
    R"({"type":"assistant","message":{"id":"msg_1","role":"assistant","content":[)"
    R"({"type":"text","text":"Looking at your library."},)"
    R"({"type":"tool_use","id":"toolu_1","name":"mcp__tarno__tarno_list","input":{"limit":5}}]},)"
    R"("session_id":"sess-1"})";
constexpr const char* resultLine =
    R"({"type":"result","subtype":"success","is_error":false,"duration_ms":2310,)"
    R"("num_turns":2,"result":"You have 5 photos.","session_id":"sess-1"})";

const Event initEvent = Event::sessionStarted("sess-1", "claude-sonnet-4-5");
const Event resultEvent = Event::finished("You have 5 photos.", false, "sess-1");

std::string repeated(std::string_view piece, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i)
    out += piece;
  return out;
}

class ClaudeProcessRunnerTest : public ::testing::Test {
 protected:
  fakes::FakeClaudeSection& print() { return script_.print(); }

  Environment environment() const { return {{"HOME", home_.path()}, {"PATH", "/usr/bin:/bin"}}; }

  EventStream<Event> start(ClaudeProcessRunner::LineParser parse = StreamJSONParser::events,
                           std::string executable = TARNO_FAKE_CLAUDE_PATH) {
    script_.install(home_.path());
    return ClaudeProcessRunner::stream(std::move(executable), {"-p", "How many photos?"},
                                       environment(), std::nullopt, std::move(parse));
  }

  std::vector<Event> run(ClaudeProcessRunner::LineParser parse = StreamJSONParser::events) {
    auto stream = start(std::move(parse));
    return drain(stream);
  }

  fakes::TempDir home_;
  fakes::FakeClaudeScript script_;
};

// ---- events from standard output ------------------------------------------------------------

TEST_F(ClaudeProcessRunnerTest, DeliversEventsInOutputAndParserOrderAcrossManyReads) {
  print().out(initLine).out(assistantLine);
  std::vector<Event> expected = {
      initEvent, Event::assistantText("Looking at your library."),
      Event::toolUse("toolu_1", "mcp__tarno__tarno_list", R"({"limit":5})")};
  for (int i = 0; i < 3000; ++i) {
    const std::string text = "piece " + std::to_string(i);
    print().out(R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":")" + text +
                R"("}}})");
    expected.push_back(Event::textDelta(text));
  }
  // "café" with the two bytes of "é" in different reads, then a last line without newline.
  print()
      .outRaw(R"({"type":"assistant","message":{"content":[{"type":"text","text":"caf)"
              "\xC3")
      .sleepMs(150)
      .outRaw("\xA9\"}]}}\n")
      .outRaw(resultLine);
  expected.push_back(Event::assistantText("caf\u00e9"));
  expected.push_back(resultEvent);
  EXPECT_EQ(run(), expected);
}

TEST_F(ClaudeProcessRunnerTest, GarbageInvalidUTF8AndParserFailuresYieldFewerEvents) {
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
      .out("explode")
      .out(resultLine);
  auto parse = [](const std::string& line) -> std::vector<Event> {
    if (line == "explode") throw std::runtime_error("parser failure");
    return StreamJSONParser::events(line);
  };
  EXPECT_THAT(run(parse), ElementsAre(Event::assistantText("caf\uFFFD ok"), resultEvent));
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

// ---- the closing `finished` event -----------------------------------------------------------

TEST_F(ClaudeProcessRunnerTest, EndsWithTheCLIsFinishedOrOneBuiltFromStderrOrStatus) {
  using Script = std::function<void(fakes::FakeClaudeSection&)>;
  const struct {
    const char* name;
    Script script;
    std::vector<Event> expected;
  } cases[] = {
      {"own finished is the only one",
       [](auto& s) { s.out(initLine).out(resultLine).err("warning: something odd").exit(1); },
       {initEvent, resultEvent}},
      {"trimmed standard error",
       [](auto& s) {
         s.err("  \n error: unknown option '--frobnicate'").err("").err("(see --help)\t\n").exit(2);
       },
       {Event::finished("error: unknown option '--frobnicate'\n\n(see --help)", true)}},
      {"standard error after status 0",
       [](auto& s) { s.out(initLine).err("Update available."); },
       {initEvent, Event::finished("Update available.", false)}},
      {"silent, status 0", [](auto&) {}, {Event::finished("claude exited with status 0", false)}},
      {"white space only, status 3",
       [](auto& s) { s.err(" \n\t").exit(3); },
       {Event::finished("claude exited with status 3", true)}},
      {"status 255",
       [](auto& s) { s.exit(255); },
       {Event::finished("claude exited with status 255", true)}},
      {"killed by a signal",
       [](auto& s) { s.out(initLine).signal(SIGKILL); },
       {initEvent, Event::finished("claude exited with status 9", true)}},
      // More than a pipe holds, before anything on standard output: the child must not block.
      {"much standard error",
       [](auto& s) { s.errFill(3 * 1024 * 1024 / 16, "stack frame ...\n").out(resultLine); },
       {resultEvent}},
      {"standard error beyond the limit",
       [](auto& s) { s.errFill(3 * 1024 * 1024 / 16, "0123456789abcdef").exit(1); },
       {Event::finished(repeated("0123456789abcdef", ClaudeProcessRunner::maxStderrBytes / 16),
                        true)}},
      {"killed with a message",
       [](auto& s) { s.err("Segmentation fault").signal(SIGSEGV); },
       {Event::finished("Segmentation fault", true)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    script_ = {};
    c.script(print());
    EXPECT_EQ(run(), c.expected);
  }
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

TEST_F(ClaudeProcessRunnerTest, ALaunchFailureEndsTheStreamWithItsReason) {
  print();
  auto stream = start(StreamJSONParser::events, home_.path() + "/no-such-claude");
  EXPECT_THAT(drain(stream),
              ElementsAre(Event::finished(
                  std::string("couldn't launch claude: ") + std::strerror(ENOENT), true)));
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

// ---- the consumer going away ----------------------------------------------------------------

bool logged(const std::string& home, const std::string& entry) {
  const auto log = fakes::readFakeClaudeRecord(home).log;
  return std::find(log.begin(), log.end(), entry) != log.end();
}

// How a child is ended once its consumer leaves: one row per way the CLI behaves.
struct LeavingCase {
  const char* name;
  std::function<void(fakes::FakeClaudeSection&)> script;
  bool readResult;         // the consumer takes the CLI's finished event before leaving
  const char* wantLogged;  // what the fake's log must show
  const char* notLogged;   // what it must not, if anything
};

TEST_F(ClaudeProcessRunnerTest, AConsumerLeavingEndsTheChildItsGroupAndAStubbornChild) {
  const LeavingCase cases[] = {
      {"a hanging CLI gets SIGTERM at once, its grandchild with it",
       [](auto& s) { s.grandchild().out(initLine).hang(); }, false, "sigterm", nullptr},
      {"a CLI ignoring SIGTERM is killed after the grace",
       [](auto& s) { s.out(initLine).ignoreTerm().sleepMs(600000); }, false, "start print",
       "exit 0"},
      {"a finished CLI may exit by itself within the grace",
       [](auto& s) { s.out(resultLine).sleepMs(300).exit(0); }, true, "exit 0", "sigterm"},
      {"a finished CLI that lingers past the grace gets SIGTERM",
       [](auto& s) { s.out(resultLine).hang(); }, true, "sigterm", nullptr},
  };
  for (const LeavingCase& c : cases) {
    SCOPED_TRACE(c.name);
    fakes::TempDir home;
    fakes::FakeClaudeScript script;
    c.script(script.print());
    script.install(home.path());
    auto stream = ClaudeProcessRunner::stream(TARNO_FAKE_CLAUDE_PATH, {"-p", "How many photos?"},
                                              {{"HOME", home.path()}, {"PATH", "/usr/bin:/bin"}},
                                              std::nullopt, StreamJSONParser::events, 1500ms);
    ASSERT_EQ(stream.next(), c.readResult ? resultEvent : initEvent);
    const auto record = fakes::readFakeClaudeRecord(home.path());
    ASSERT_FALSE(record.pid.empty());
    { auto dropped = std::move(stream); }
    // Reaped by the run, not left as a zombie; grandchildren ended with the group.
    EXPECT_TRUE(test_support::eventually([&] { return ::kill(std::stoi(record.pid), 0) != 0; }));
    if (!record.grandchildPid.empty()) {
      EXPECT_TRUE(test_support::eventually([&] { return ended(record.grandchildPid); }));
    }
    EXPECT_TRUE(logged(home.path(), c.wantLogged));
    if (c.notLogged != nullptr) {
      EXPECT_FALSE(logged(home.path(), c.notLogged));
    }
  }
}

// A child that is done (exited, or closed its output) while its consumer listens ends the run
// within two graces, and what it left on its pipes ("gc") with it. Everything it printed is
// passed on, after its result too.
TEST_F(ClaudeProcessRunnerTest, ADoneChildEndsTheRunAndTakesItsGroupAlong) {
  const std::string result = std::string("echo '") + resultLine + "'; ";
  const std::pair<std::string, std::vector<Event>> cases[] = {
      {"sleep 600 & echo $! > gc; " + result + "echo '" + initLine + "'; " + result,
       {resultEvent, initEvent, resultEvent}},
      {"sleep 600 & echo $! > gc; exit 3", {Event::finished("claude exited with status 3", true)}},
      {"exec >&-; exec sleep 600", {Event::finished("claude exited with status 15", true)}},
      {"trap '' TERM; exec >&-; sleep 600",
       {Event::finished("claude exited with status 9", true)}}};
  for (const auto& [script, events] : cases) {
    SCOPED_TRACE(script);
    EXPECT_EQ(drain(ClaudeProcessRunner::stream("/bin/sh", {"-c", script}, environment(),
                                                home_.path(), StreamJSONParser::events, 300ms)),
              events);
    const std::string left = fakes::readFile(home_.path() + "/gc");
    EXPECT_TRUE(left.empty() ||
                test_support::eventually([&] { return ended(left.substr(0, left.size() - 1)); }));
  }
}

TEST_F(ClaudeProcessRunnerTest, ACancelledRunEndsWhenItsChildDoesEvenIfItsOutputStaysOpen) {
  // The child leaves a process behind, outside its group, that keeps both pipes open much longer
  // than any wait here.
  const test_support::ResourceCount resources;
  auto stream = ClaudeProcessRunner::stream(
      "/bin/sh", {"-c", "setsid sleep 600 & echo $!; exec sleep 600"}, environment(), std::nullopt,
      [](const std::string& line) { return std::vector<Event>{Event::textDelta(line)}; });
  const std::optional<Event> left = stream.next();
  ASSERT_TRUE(left && left->is<Event::TextDelta>());
  const pid_t leftBehind = std::stoi(left->as<Event::TextDelta>()->text);
  stream.cancel();
  EXPECT_TRUE(resources.settled());
  EXPECT_EQ(::kill(leftBehind, 0), 0) << "the pipes were still open all along";
  ::kill(leftBehind, SIGKILL);
}

}  // namespace
}  // namespace tarno::assistant
