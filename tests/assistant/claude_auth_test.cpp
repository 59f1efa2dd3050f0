// The sign-in status check: reading the CLI's JSON answer, and asking fake-claude.
#include "tarno/assistant/engine/claude_auth.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

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
  bool check(const fakes::FakeClaudeScript& script) {
    home.install(script);
    return ClaudeAuth::isLoggedIn(TARNO_FAKE_CLAUDE_PATH, home.environment(), home.path());
  }
  test_support::FakeHome home;
};

TEST_F(ClaudeAuthCheck, AsksTheCLIWithTheGivenSetUp) {
  fakes::FakeClaudeScript script;
  script.status().out(fakes::authStatusJSON(true));
  EXPECT_TRUE(check(script));
  const auto record = home.record();
  EXPECT_THAT(record.args, ::testing::ElementsAre("auth", "status"));
  EXPECT_EQ(record.cwd, home.path());
  EXPECT_THAT(record.environment,
              ::testing::ElementsAre("HOME=" + home.path(), "PATH=/usr/bin:/bin"));
  ASSERT_EQ(record.stdio.size(), 3u);
  EXPECT_EQ(record.stdio[0], "0 null");
}

TEST_F(ClaudeAuthCheck, AnswersFromTheOutputAloneAndMissingCLIsAreSignedOut) {
  fakes::FakeClaudeScript signedOut;
  signedOut.status().out(fakes::authStatusJSON(false));
  EXPECT_FALSE(check(signedOut));

  // The exit status does not matter, and the answer may come on standard error.
  fakes::FakeClaudeScript onStderr;
  onStderr.status().err("note: ").err(fakes::authStatusJSON(true)).exit(3);
  EXPECT_TRUE(check(onStderr));

  fakes::FakeClaudeScript garbage;
  garbage.status().out("Error: something went wrong \x1b[31m{oops}\x1b[0m");
  EXPECT_FALSE(check(garbage));

  fakes::FakeClaudeScript silent;
  silent.status();
  EXPECT_FALSE(check(silent));

  EXPECT_FALSE(ClaudeAuth::isLoggedIn(home.path() + "/missing", home.environment(), home.path()));
  EXPECT_FALSE(ClaudeAuth::isLoggedIn(home.path(), home.environment(), home.path()));
  EXPECT_FALSE(ClaudeAuth::isLoggedIn(TARNO_FAKE_CLAUDE_PATH, home.environment(),
                                      home.path() + "/no-such-directory"));
}

}  // namespace
}  // namespace tarno::assistant
