// The sign-in relay: address and code detection on terminal output, and whole sign-ins with
// fake-claude on a real pseudo-terminal (code hand-over, failures, the time limit, cleanup).
#include "tarno/assistant/engine/claude_login_runner.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine_test_support.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/assistant/support/unique_fd.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;
using test_support::drain;
using test_support::eventually;
using test_support::FakeHome;
using test_support::nextWithin;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

const std::string opening =
    "Opening your browser to sign in to Claude\u2026 authorize there, then come back.";
const std::string signedIn = "Signed in \u2014 you're connected to Claude. Ask away.";
const std::string failed = "Sign-in didn't complete. Try Connect again.";
const std::string timedOut =
    "Sign-in didn't complete in time. Make sure you finished authorizing in the browser, then "
    "try Connect again.";

AssistantEvent urlEvent(const std::string& url) {
  return AssistantEvent::assistantText("If your browser didn't open, sign in here:\n" + url);
}

// --- address and prompt detection -------------------------------------------------------

TEST(ClaudeLoginRunnerText, HyperlinkTargetWinsOverItsVisibleText) {
  const std::string url = "https://claude.ai/oauth/authorize?code=true&state=abc";
  for (bool stringTerminator : {false, true}) {
    const std::string output =
        "Browser didn't open? Use the url below to sign in:\r\n" +
        fakes::osc8Link(url, "https://example.com/visible", stringTerminator) + "\r\n";
    EXPECT_EQ(ClaudeLoginRunner::firstOSC8Target(output), url) << stringTerminator;
    EXPECT_EQ(ClaudeLoginRunner::extractAuthURL(output), url) << stringTerminator;
  }
}

TEST(ClaudeLoginRunnerText, NonHTTPSHyperlinksAreSkipped) {
  const std::string output = fakes::osc8Link("file:///etc/passwd", "a") + " and " +
                             fakes::osc8Link("http://plain.example/login", "b") + " then " +
                             fakes::osc8Link("https://claude.ai/login/x", "c", true);
  EXPECT_EQ(ClaudeLoginRunner::firstOSC8Target(output), "https://claude.ai/login/x");
  EXPECT_EQ(ClaudeLoginRunner::firstOSC8Target("no links at all https://a.example/b"),
            std::nullopt);
  // An unterminated link is not a link; its target still shows up as plain text.
  EXPECT_EQ(ClaudeLoginRunner::firstOSC8Target("\x1b]8;;https://a.example/oauth"), std::nullopt);
}

TEST(ClaudeLoginRunnerText, PlainAddressesAreCutOutOfTheirSurroundings) {
  struct Case {
    std::string output;
    std::optional<std::string> url;
  };
  const std::vector<Case> cases = {
      {"Visit (https://claude.ai/oauth/authorize?x=1).", "https://claude.ai/oauth/authorize?x=1"},
      {"first https://docs.example/help then https://claude.ai/OAuth/start here",
       "https://claude.ai/OAuth/start"},
      {"only https://docs.example/help, nothing else", "https://docs.example/help"},
      {"'https://a.example/x' \"https://b.example/y\" `z`", "https://a.example/x"},
      {"<https://a.example/login>", "https://a.example/login"},
      {"[https://a.example/p]{https://b.example/q}", "https://a.example/p"},
      {"\x1b[1;34mhttps://claude.ai/authorize?s=1\x1b[0m\r\n", "https://claude.ai/authorize?s=1"},
      {"\x1b]0;window title\x07go to https://claude.ai/login:", "https://claude.ai/login"},
      {"https://claude.ai/ahttps://claude.ai/b", "https://claude.ai/a"},
      {"x https://.,;: y https:// z", std::nullopt},
      {"http://claude.ai/oauth ftp://x", std::nullopt},
      {"", std::nullopt},
      {"https://caf\u00e9.example/\u00e9t\u00e9\u3000next",
       "https://caf\u00e9.example/\u00e9t\u00e9"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ClaudeLoginRunner::extractAuthURL(c.output), c.url) << c.output;
  }
}

TEST(ClaudeLoginRunnerText, CodePromptsInAnyLetterCase) {
  EXPECT_TRUE(ClaudeLoginRunner::expectsCode("Paste code here if prompted > "));
  EXPECT_TRUE(ClaudeLoginRunner::expectsCode("PLEASE PASTE THE CODE"));
  EXPECT_TRUE(ClaudeLoginRunner::expectsCode("Authorization code: "));
  EXPECT_TRUE(ClaudeLoginRunner::expectsCode("then Enter The Code shown"));
  EXPECT_FALSE(ClaudeLoginRunner::expectsCode("Authorization code"));
  EXPECT_FALSE(ClaudeLoginRunner::expectsCode("paste  code"));
  EXPECT_FALSE(ClaudeLoginRunner::expectsCode(""));
  EXPECT_FALSE(ClaudeLoginRunner::expectsCode("\xff\xfe paste"));
}

TEST(ClaudeLoginRunnerText, ReadToEOFHandsOverEverythingSoFar) {
  auto pipe = makePipe();
  ASSERT_TRUE(pipe);
  // Larger than one read, with an invalid byte up front.
  const std::string bytes = "\xff" + std::string(20000, 'x');
  ASSERT_TRUE(writeAll(pipe->writeEnd.get(), bytes));
  pipe->writeEnd.reset();
  std::vector<std::string> seen;
  const std::string returned = ClaudeLoginRunner::readToEOF(
      pipe->readEnd.get(), [&](const std::string& text) { seen.push_back(text); });
  EXPECT_EQ(returned, bytes);
  ASSERT_GE(seen.size(), 3u);
  for (std::size_t i = 1; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i].rfind(seen[i - 1], 0), 0u) << "chunk " << i << " does not extend the last";
    EXPECT_LE(seen[i].size() - seen[i - 1].size(), ClaudeLoginRunner::readBufferSize);
  }
  EXPECT_EQ(seen.back(), "\xEF\xBF\xBD" + std::string(20000, 'x'));
}

// --- whole sign-ins -----------------------------------------------------------------------

class ClaudeLoginRunnerSession : public ::testing::Test {
 protected:
  EventStream<AssistantEvent> start(std::chrono::milliseconds limit = 20s) {
    return ClaudeLoginRunner::stream(TARNO_FAKE_CLAUDE_PATH,
                                     ClaudeLoginRunner::Options{.environment = home.environment(),
                                                                .workingDirectory = home.path(),
                                                                .timeLimit = limit});
  }
  std::vector<std::string> codeLog() {
    std::vector<std::string> codes;
    for (const std::string& line : home.record().log) {
      if (line.rfind("code", 0) == 0) codes.push_back(line);
    }
    return codes;
  }
  // The fake's process is gone, not merely exited and left unreaped.
  bool fakeIsGone() {
    const std::string pid = home.record().pid;
    return !pid.empty() && ::kill(std::stoi(pid), 0) != 0 && errno == ESRCH;
  }

  FakeHome home;
};

TEST_F(ClaudeLoginRunnerSession, RelaysAddressPromptAndCodeThenSignsIn) {
  const std::string url = "https://claude.ai/oauth/authorize?state=s1";
  fakes::FakeClaudeScript script;
  script.login()
      .out("Opening browser to sign in\xe2\x80\xa6")
      .out("If it did not open: " + fakes::osc8Link(url, "click here"))
      .code("c0de-123")
      .out("Paste code again? no.")
      .exit(0);
  home.install(script);

  auto events = start();
  EXPECT_EQ(nextWithin(events), AssistantEvent::assistantText(opening));
  EXPECT_EQ(nextWithin(events), urlEvent(url));
  EXPECT_EQ(nextWithin(events), AssistantEvent::awaitingLoginCode());
  EXPECT_TRUE(ClaudeLoginRunner::submitCode("  c0de-123 \n"));
  EXPECT_THAT(drain(events), ElementsAre(AssistantEvent::finished(signedIn, false)));

  const auto record = home.record();
  EXPECT_THAT(record.args, ElementsAre("auth", "login"));
  EXPECT_EQ(record.tty, "200 4000 controlling");
  EXPECT_THAT(record.stdio, ElementsAre("0 tty", "1 tty", "2 tty"));
  EXPECT_EQ(record.cwd, home.path());
  EXPECT_THAT(record.environment, ElementsAre("HOME=" + home.path(), "PATH=/usr/bin:/bin"));
  EXPECT_THAT(codeLog(), ElementsAre("code c0de-123"));
  // The terminal is no longer on offer once the sign-in is over.
  EXPECT_FALSE(ClaudeLoginRunner::submitCode("late"));
}

TEST_F(ClaudeLoginRunnerSession, EachEventComesOnceWhateverFollows) {
  const std::string url = "https://claude.ai/login?from=cli";
  fakes::FakeClaudeScript script;
  script.login()
      .out(fakes::osc8Link(url, "sign in", /*stringTerminator=*/true))
      .sleepMs(50)
      .out("PASTE CODE if asked, " + fakes::osc8Link("https://other.example/oauth", "x"))
      .sleepMs(50)
      .out("paste code, paste the code, Enter the code")
      .exit(0);
  home.install(script);

  EXPECT_THAT(drain(start()), ElementsAre(AssistantEvent::assistantText(opening), urlEvent(url),
                                          AssistantEvent::awaitingLoginCode(),
                                          AssistantEvent::finished(signedIn, false)));
}

TEST_F(ClaudeLoginRunnerSession, PlainAddressAndAWrongCodeFail) {
  fakes::FakeClaudeScript script;
  script.login()
      .out("\x1b[2mVisit\x1b[0m (https://claude.ai/oauth/authorize?code=true).")
      .code("expected");
  home.install(script);

  auto events = start();
  EXPECT_EQ(nextWithin(events), AssistantEvent::assistantText(opening));
  EXPECT_EQ(nextWithin(events), urlEvent("https://claude.ai/oauth/authorize?code=true"));
  EXPECT_EQ(nextWithin(events), AssistantEvent::awaitingLoginCode());
  // Blank codes never reach the terminal (the fake would log an empty line).
  EXPECT_FALSE(ClaudeLoginRunner::submitCode(""));
  EXPECT_FALSE(ClaudeLoginRunner::submitCode(" \t\r\n\u3000"));
  EXPECT_TRUE(ClaudeLoginRunner::submitCode("wrong"));
  EXPECT_THAT(drain(events), ElementsAre(AssistantEvent::finished(failed, true)));
  EXPECT_THAT(codeLog(), ElementsAre("code wrong"));
}

TEST_F(ClaudeLoginRunnerSession, TimeLimitEndsTheCLI) {
  fakes::FakeClaudeScript script;
  script.login().out("https://claude.ai/oauth/x").code("never");
  home.install(script);

  const auto begun = std::chrono::steady_clock::now();
  auto events = start(300ms);
  EXPECT_THAT(
      drain(events),
      ElementsAre(AssistantEvent::assistantText(opening), urlEvent("https://claude.ai/oauth/x"),
                  AssistantEvent::awaitingLoginCode(), AssistantEvent::finished(timedOut, true)));
  const auto took = std::chrono::steady_clock::now() - begun;
  EXPECT_GE(took, 300ms);
  EXPECT_LT(took, 5s);
  EXPECT_THAT(home.record().log, ::testing::Contains("sigterm"));
  EXPECT_TRUE(fakeIsGone());
  EXPECT_FALSE(ClaudeLoginRunner::submitCode("too late"));
}

TEST_F(ClaudeLoginRunnerSession, ACLIKilledOtherwiseIsNotATimeout) {
  fakes::FakeClaudeScript script;
  script.login().out("https://claude.ai/oauth/x").signal(SIGTERM);
  home.install(script);
  EXPECT_THAT(drain(start()), ElementsAre(AssistantEvent::assistantText(opening),
                                          urlEvent("https://claude.ai/oauth/x"),
                                          AssistantEvent::finished(failed, true)));
}

TEST_F(ClaudeLoginRunnerSession, MissingExecutableIsReported) {
  auto events = ClaudeLoginRunner::stream(
      home.path() + "/no-such-claude",
      {.environment = home.environment(), .workingDirectory = home.path()});
  EXPECT_THAT(drain(events),
              ElementsAre(AssistantEvent::assistantText(opening),
                          AssistantEvent::finished(
                              "Couldn't start sign-in: No such file or directory", true)));
}

TEST(ClaudeLoginRunnerIdle, NoSignInTakesNoCode) {
  EXPECT_FALSE(ClaudeLoginRunner::submitCode("abc"));
  EXPECT_FALSE(ClaudeLoginRunner::submitCode(""));
}

TEST_F(ClaudeLoginRunnerSession, OutlivesItsConsumerAndLeavesNothingBehind) {
  using test_support::openDescriptorCount;
  using test_support::threadCount;
  const int descriptors = openDescriptorCount();
  const int threads = threadCount();

  fakes::FakeClaudeScript script;
  script.login().out("https://claude.ai/oauth/x").sleepMs(300).out("done").exit(0);
  home.install(script);
  {
    auto events = start();
    EXPECT_EQ(nextWithin(events), AssistantEvent::assistantText(opening));
  }  // the consumer goes away while the CLI still runs

  // The CLI is neither stopped nor abandoned: it finishes its script and is reaped.
  EXPECT_TRUE(eventually([&] {
    const auto log = home.record().log;
    return std::find(log.begin(), log.end(), "exit 0") != log.end();
  }));
  EXPECT_THAT(home.record().log, ::testing::Not(::testing::Contains("sigterm")));
  EXPECT_TRUE(eventually([&] { return fakeIsGone(); }));

  // A timed-out one as well.
  fakes::FakeClaudeScript stalled;
  stalled.login().code("x");
  home.install(stalled);
  EXPECT_EQ(drain(start(100ms)).back(), AssistantEvent::finished(timedOut, true));

  EXPECT_TRUE(eventually([&] { return openDescriptorCount() == descriptors; }))
      << openDescriptorCount() << " descriptors open, " << descriptors << " before";
  EXPECT_TRUE(eventually([&] { return threadCount() == threads; }))
      << threadCount() << " threads, " << threads << " before";
}

TEST(ClaudeLoginRunnerExit, ProcessExitEndsASignInStillWaiting) {
  // The exiting process is a fresh copy of this program that runs this test up to the
  // EXPECT_EXIT; it finds the home directory through the environment.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  constexpr const char* homeVariable = "TARNO_TEST_SIGN_IN_EXIT_HOME";
  std::optional<FakeHome> own;
  std::string home;
  if (const char* inherited = std::getenv(homeVariable)) {
    home = inherited;
  } else {
    own.emplace();
    home = own->path();
    fakes::FakeClaudeScript script;
    script.login().out("https://claude.ai/oauth/x").code("never");
    own->install(script);
    ::setenv(homeVariable, home.c_str(), 1);
  }
  const auto begun = std::chrono::steady_clock::now();
  EXPECT_EXIT(
      {
        auto events = ClaudeLoginRunner::stream(
            TARNO_FAKE_CLAUDE_PATH,
            {.environment = Environment{{"HOME", home}}, .workingDirectory = home});
        while (auto event = nextWithin(events)) {
          if (event->is<AssistantEvent::AwaitingLoginCode>()) std::exit(7);
        }
        std::exit(1);
      },
      ::testing::ExitedWithCode(7), "");
  if (!own) return;
  ::unsetenv(homeVariable);
  // Exiting did not wait for the CLI's own time limit: the CLI was asked to stop.
  EXPECT_LT(std::chrono::steady_clock::now() - begun, 20s);
  EXPECT_THAT(own->record().log, ::testing::Contains("sigterm"));
}

}  // namespace
}  // namespace tarno::assistant
