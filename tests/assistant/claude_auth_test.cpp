// The sign-in status check: reading the CLI's JSON answer, and asking fake-claude.
#include "tarno/assistant/engine/claude_auth.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <stop_token>
#include <string>
#include <vector>

#include "engine_test_support.hpp"

namespace tarno::assistant {
namespace {

TEST(ClaudeAuthParse, ReadsTheBooleanOfTheObjectAmidOtherText) {
  const std::vector<std::pair<std::string, bool>> cases = {
      {"Warning: update available\n{\"loggedIn\": true, \"authMethod\": \"claude.ai\"}\n", true},
      {"\xff\xfe junk {\"loggedIn\":true} trailing", true},
      // The object runs from the first "{" to the last "}".
      {"\xff\xfe junk {\"loggedIn\":true} trailing } braces? no: }", false},
      {"{\"loggedIn\":true}\n{\"loggedIn\":true}\n", false},
      {"{\"loggedIn\":false}", false},
      {"{\"loggedIn\":\"true\"}", false},
      {"{\"account\":{\"loggedIn\":true}}", false},
      {"{\"loggedIn\":true", false},
      {"", false},
      {"{\"name\":\"\xc3\x28\",\"loggedIn\":true}", true},
      // Deep nesting is not a crash.
      {std::string(100000, '[') + "{\"loggedIn\":true}" + std::string(100000, ']'), true},
      {"{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + ",\"loggedIn\":true}",
       false},
  };
  for (const auto& [output, loggedIn] : cases)
    EXPECT_EQ(ClaudeAuth::parseLoggedIn(output), loggedIn) << output.substr(0, 80);
}

class ClaudeAuthCheck : public ::testing::Test {
 protected:
  test_support::FakeHome home;
};

TEST_F(ClaudeAuthCheck, AsksTheCLIWithTheGivenSetUp) {
  fakes::FakeClaudeScript script;
  script.status().out(fakes::authStatusJSON(true));
  home.install(script);
  EXPECT_TRUE(ClaudeAuth::isLoggedIn(TARNO_FAKE_CLAUDE_PATH, home.environment(), home.path()));
  const auto record = home.record();
  EXPECT_THAT(record.args, ::testing::ElementsAre("auth", "status"));
  EXPECT_EQ(record.cwd, home.path());
  EXPECT_THAT(record.environment,
              ::testing::ElementsAre("HOME=" + home.path(), "PATH=/usr/bin:/bin"));
  ASSERT_EQ(record.stdio.size(), 3u);
  EXPECT_EQ(record.stdio[0], "0 null");
}

TEST_F(ClaudeAuthCheck, AnswersFromTheOutputAloneAndEveryFailureIsSignedOut) {
  const std::string fake = TARNO_FAKE_CLAUDE_PATH;
  const struct {
    const char* name;
    std::function<void(fakes::FakeClaudeSection&)> script;
    std::string executable, directory;
    bool stopped, loggedIn;
  } cases[] = {
      {"signed out", [](auto& s) { s.out(fakes::authStatusJSON(false)); }, fake, "", false, false},
      // The exit status does not matter, and the answer may come on standard error.
      {"on standard error",
       [](auto& s) { s.err("note: ").err(fakes::authStatusJSON(true)).exit(3); }, fake, "", false,
       true},
      {"silent", [](auto&) {}, fake, "", false, false},
      {"exited, leaving a process on the pipe",
       [](auto& s) { s.grandchild().out(fakes::authStatusJSON(true)); }, fake, "", false, true},
      {"missing", [](auto&) {}, "/missing", "", false, false},
      {"a directory", [](auto&) {}, "/", "", false, false},
      {"no working directory", [](auto&) {}, fake, "/no-such-directory", false, false},
      // Stopped before the call: the CLI is not even started.
      {"stopped", [](auto& s) { s.out(fakes::authStatusJSON(true)); }, fake, "", true, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fakes::FakeClaudeScript script;
    c.script(script.status());
    home.install(script);
    std::stop_source stop;
    if (c.stopped) stop.request_stop();
    const std::size_t startsBefore = home.record().log.size();
    EXPECT_EQ(
        ClaudeAuth::isLoggedIn(c.executable, home.environment(),
                               c.directory.empty() ? home.path() : c.directory, stop.get_token()),
        c.loggedIn);
    if (c.stopped) {
      EXPECT_EQ(home.record().log.size(), startsBefore);
    }
  }
}

}  // namespace
}  // namespace tarno::assistant
