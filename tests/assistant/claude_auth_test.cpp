// The sign-in status check: reading the CLI's JSON answer, and asking fake-claude.
#include "tarno/assistant/engine/claude_auth.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine_test_support.hpp"

namespace tarno::assistant {
namespace {

using test_support::FakeHome;
using ::testing::ElementsAre;

TEST(ClaudeAuthParse, ReadsTheObjectAmidOtherText) {
  struct Case {
    std::string output;
    bool loggedIn;
  };
  const std::vector<Case> cases = {
      {"{\"loggedIn\":true}", true},
      {"Warning: update available\n{\"loggedIn\": true, \"authMethod\": \"claude.ai\"}\n", true},
      {"\xff\xfe junk {\"loggedIn\":true} trailing } braces? no: }", false},
      {"\xff\xfe junk {\"loggedIn\":true} trailing", true},
      {"[{\"loggedIn\":true}]", true},
      {"{\"loggedIn\":false}", false},
      {"{\"loggedIn\":\"true\"}", false},
      {"{\"loggedIn\":1}", false},
      {"{\"loggedIn\":null}", false},
      {"{\"account\":{\"loggedIn\":true}}", false},
      {"{\"loggedIn\":true}\n{\"loggedIn\":true}\n", false},
      {"{\"loggedIn\":true", false},
      {"} {", false},
      {"", false},
      {"not json at all", false},
      {"{\"loggedIn\":true,\"loggedIn\":false}", true},
      {"{\"name\":\"\xc3\x28\",\"loggedIn\":true}", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ClaudeAuth::parseLoggedIn(c.output), c.loggedIn) << c.output;
  }
}

TEST(ClaudeAuthParse, DeepNestingIsNotACrash) {
  const std::string deep =
      std::string(100000, '[') + "{\"loggedIn\":true}" + std::string(100000, ']');
  EXPECT_TRUE(ClaudeAuth::parseLoggedIn(deep));
  const std::string deeper =
      "{\"a\":" + std::string(100000, '[') + std::string(100000, ']') + ",\"loggedIn\":true}";
  EXPECT_FALSE(ClaudeAuth::parseLoggedIn(deeper));
}

class ClaudeAuthCheck : public ::testing::Test {
 protected:
  bool check(const fakes::FakeClaudeScript& script) {
    home.install(script);
    return ClaudeAuth::isLoggedIn(TARNO_FAKE_CLAUDE_PATH, home.environment(), home.path());
  }
  FakeHome home;
};

TEST_F(ClaudeAuthCheck, AsksTheCLIWithTheGivenSetUp) {
  fakes::FakeClaudeScript script;
  script.status().out(fakes::authStatusJSON(true));
  EXPECT_TRUE(check(script));
  const auto record = home.record();
  EXPECT_THAT(record.args, ElementsAre("auth", "status"));
  EXPECT_EQ(record.cwd, home.path());
  EXPECT_THAT(record.environment, ElementsAre("HOME=" + home.path(), "PATH=/usr/bin:/bin"));
  ASSERT_EQ(record.stdio.size(), 3u);
  EXPECT_EQ(record.stdio[0], "0 null");
  // Standard output and standard error are one pipe.
  EXPECT_EQ(record.stdio[1].rfind("1 pipe:", 0), 0u) << record.stdio[1];
  EXPECT_EQ(record.stdio[1].substr(2), record.stdio[2].substr(2));
}

TEST_F(ClaudeAuthCheck, AnswersFromTheOutputAlone) {
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

  fakes::FakeClaudeScript killed;
  killed.status().out(fakes::authStatusJSON(true)).signal(9);
  EXPECT_TRUE(check(killed));
}

TEST_F(ClaudeAuthCheck, MissingOrUnstartableExecutableIsSignedOut) {
  EXPECT_FALSE(ClaudeAuth::isLoggedIn(home.path() + "/missing", home.environment(), home.path()));
  EXPECT_FALSE(ClaudeAuth::isLoggedIn(home.path(), home.environment(), home.path()));
  EXPECT_FALSE(ClaudeAuth::isLoggedIn(TARNO_FAKE_CLAUDE_PATH, home.environment(),
                                      home.path() + "/no-such-directory"));
}

}  // namespace
}  // namespace tarno::assistant
