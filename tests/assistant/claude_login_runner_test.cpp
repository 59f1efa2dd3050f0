// The sign-in relay: address and code detection on terminal output, and whole sign-ins with
// fake-claude on a real pseudo-terminal (code hand-over, failures, the time limit, cleanup).
#include "tarno/assistant/engine/claude_login_runner.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "engine_test_support.hpp"
#include "tarno/core/text.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;
using test_support::drain;
using test_support::eventually;
using test_support::FakeHome;
using test_support::nextWithin;
using ::testing::Contains;
using ::testing::ElementsAre;

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

TEST(ClaudeLoginRunnerText, AddressesAreCutOutOfTheirSurroundings) {
  const std::string url = "https://claude.ai/oauth/authorize?code=true&state=abc";
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      // A hyperlink's https target comes before any address in the text, its own included.
      {fakes::osc8Link("file:///etc/passwd", "a") + fakes::osc8Link("http://p.example/login", "b") +
           fakes::osc8Link(url, "https://visible.example/oauth", true),
       url},
      {"\x1b]8;;https://a.example/x unterminated https://a.example/oauth",
       "https://a.example/oauth"},
      {"Visit (https://claude.ai/oauth/authorize?x=1).", "https://claude.ai/oauth/authorize?x=1"},
      {"first https://docs.example/help then https://claude.ai/OAuth/start here",
       "https://claude.ai/OAuth/start"},
      {"'https://a.example/x' \"https://b.example/y\"", "https://a.example/x"},
      {"\x1b[1;34mhttps://claude.ai/authorize?s=1\x1b[0m\r\n", "https://claude.ai/authorize?s=1"},
      {"\x1b]0;window title\x07go to https://claude.ai/login:", "https://claude.ai/login"},
      {"https://claude.ai/ahttps://claude.ai/b", "https://claude.ai/a"},
      {"x https://.,;: y https:// z", std::nullopt},
      {"https://caf\u00e9.example/\u00e9t\u00e9\u3000next",
       "https://caf\u00e9.example/\u00e9t\u00e9"},
  };
  for (const auto& [output, address] : cases)
    EXPECT_EQ(ClaudeLoginRunner::extractAuthURL(output), address) << output;
}

TEST(ClaudeLoginRunnerText, CodePromptsInAnyLetterCase) {
  for (const char* prompt :
       {"Paste code here if prompted > ", "PLEASE PASTE THE CODE", "then Enter The Code shown"})
    EXPECT_TRUE(ClaudeLoginRunner::expectsCode(prompt)) << prompt;
  for (const char* other : {"Authorization code", "paste  code", "", "\xff\xfe paste"})
    EXPECT_FALSE(ClaudeLoginRunner::expectsCode(other)) << other;
}

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
    for (const std::string& line : home.record().log)
      if (line.rfind("code", 0) == 0) codes.push_back(line);
    return codes;
  }
  // The fake's process is gone, not merely exited and left unreaped.
  bool fakeIsGone() {
    const std::string pid = home.record().pid;
    return !pid.empty() && ::kill(std::stoi(pid), 0) != 0 && errno == ESRCH;
  }
  // However a sign-in ended, its child, thread and terminal are gone soon after.
  void TearDown() override { EXPECT_TRUE(resources.settled()); }

  test_support::ResourceCount resources;
  FakeHome home;
};

TEST_F(ClaudeLoginRunnerSession, RelaysAddressAndPromptAndTheCodeDecidesTheOutcome) {
  const std::string url = "https://claude.ai/oauth/authorize?state=s1";
  const struct {
    std::string address, shownAddress, code;
    AssistantEvent last;
  } cases[] = {
      {"If it did not open: " + fakes::osc8Link(url, "click here"), url, "  c0de-123 \n",
       AssistantEvent::finished(signedIn, false)},
      {"\x1b[2mVisit\x1b[0m (https://claude.ai/oauth/authorize?code=true).",
       "https://claude.ai/oauth/authorize?code=true", "wrong",
       AssistantEvent::finished(failed, true)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.code);
    EXPECT_FALSE(ClaudeLoginRunner::submitCode("abc"));  // nothing is waiting yet
    std::filesystem::remove(home.path() + "/.fake-claude/log");
    fakes::FakeClaudeScript script;
    script.login()
        .out("Opening browser to sign in\xe2\x80\xa6 \xff\xfe")  // not UTF-8
        .out(c.address)
        .code("c0de-123")
        .out("Paste code again? no.")
        .exit(0);
    home.install(script);

    auto events = start();
    EXPECT_EQ(nextWithin(events), AssistantEvent::assistantText(opening));
    EXPECT_EQ(nextWithin(events), urlEvent(c.shownAddress));
    EXPECT_EQ(nextWithin(events), AssistantEvent::awaitingLoginCode());
    // Blank codes never reach the terminal (the fake would log an empty line).
    EXPECT_FALSE(ClaudeLoginRunner::submitCode(" \t\r\n\u3000"));
    EXPECT_TRUE(ClaudeLoginRunner::submitCode(c.code));
    EXPECT_THAT(drain(events), ElementsAre(c.last));
    EXPECT_THAT(codeLog(), ElementsAre("code " + core::trimmingWhitespaceAndNewlines(c.code)));
    EXPECT_FALSE(ClaudeLoginRunner::submitCode("late"));
  }
  const auto record = home.record();
  EXPECT_THAT(record.args, ElementsAre("auth", "login"));
  EXPECT_EQ(record.tty, "200 4000 controlling");
  EXPECT_THAT(record.stdio, ElementsAre("0 tty", "1 tty", "2 tty"));
  EXPECT_EQ(record.cwd, home.path());
  EXPECT_THAT(record.environment, ElementsAre("HOME=" + home.path(), "PATH=/usr/bin:/bin"));
}

TEST_F(ClaudeLoginRunnerSession, EachEventComesOnceAndEveryOtherEndIsAFailure) {
  const std::string url = "https://claude.ai/login?from=cli";
  fakes::FakeClaudeScript repeating, killed, flooding;
  repeating.login()
      .out(fakes::osc8Link(url, "sign in", /*stringTerminator=*/true))
      .sleepMs(50)
      .out("PASTE CODE if asked, " + fakes::osc8Link("https://other.example/oauth", "x"))
      .sleepMs(50)
      .out("paste code, paste the code, Enter the code")
      .exit(0);
  killed.login().out(url).signal(SIGTERM);
  // 2 MiB: far past the 16 KiB the sign-in scans, and done in seconds under ThreadSanitizer
  // (8 MiB stalled its stream past the drain's ten seconds there).
  flooding.login().outFill(2 << 10, std::string(1023, '.') + "\n").out(url + " paste code").exit(1);
  const AssistantEvent opened = AssistantEvent::assistantText(opening);
  const std::tuple<const fakes::FakeClaudeScript*, std::string, std::vector<AssistantEvent>>
      cases[] = {
          {&repeating,
           TARNO_FAKE_CLAUDE_PATH,
           {opened, urlEvent(url), AssistantEvent::awaitingLoginCode(),
            AssistantEvent::finished(signedIn, false)}},
          {&killed,
           TARNO_FAKE_CLAUDE_PATH,
           {opened, urlEvent(url), AssistantEvent::finished(failed, true)}},
          {&flooding,
           TARNO_FAKE_CLAUDE_PATH,
           {opened, urlEvent(url), AssistantEvent::awaitingLoginCode(),
            AssistantEvent::finished(failed, true)}},
          {&killed,
           "/no-such-claude",
           {opened,
            AssistantEvent::finished("Couldn't start sign-in: No such file or directory", true)}},
      };
  for (const auto& [script, executable, events] : cases) {
    home.install(*script);
    EXPECT_EQ(drain(ClaudeLoginRunner::stream(executable, {.environment = home.environment(),
                                                           .workingDirectory = home.path()})),
              events)
        << executable;
  }
}

TEST_F(ClaudeLoginRunnerSession, TimeLimitEndsTheCLI) {
  fakes::FakeClaudeScript script;
  script.login().out("https://claude.ai/oauth/x").code("never");
  home.install(script);

  const auto begun = std::chrono::steady_clock::now();
  EXPECT_THAT(
      drain(start(300ms)),
      ElementsAre(AssistantEvent::assistantText(opening), urlEvent("https://claude.ai/oauth/x"),
                  AssistantEvent::awaitingLoginCode(), AssistantEvent::finished(timedOut, true)));
  EXPECT_GE(std::chrono::steady_clock::now() - begun, 300ms);
  EXPECT_THAT(home.record().log, Contains("sigterm"));
  EXPECT_TRUE(fakeIsGone());
  EXPECT_FALSE(ClaudeLoginRunner::submitCode("too late"));
}

TEST_F(ClaudeLoginRunnerSession, OutlivesItsConsumer) {
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
  EXPECT_THAT(home.record().log, ::testing::Not(Contains("sigterm")));
  EXPECT_TRUE(eventually([&] { return fakeIsGone(); }));
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
  EXPECT_THAT(own->record().log, Contains("sigterm"));
}

}  // namespace
}  // namespace tarno::assistant
