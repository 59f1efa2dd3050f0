// The engine host's answer to every command, the choice of engine by id, the fallback engine,
// and where tarno-mcp is looked for; CLI runs and sign-ins go to fake-claude.
#include "tarno/assistant/engine/assistant_engine_host.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "engine_test_support.hpp"
#include "tarno/assistant/engine/assistant_engine_registry.hpp"
#include "tarno/assistant/engine/claude_auth.hpp"
#include "tarno/assistant/engine/claude_login_runner.hpp"
#include "tarno/assistant/support/child_process.hpp"

namespace tarno::assistant {
namespace {

using test_support::drain;
using test_support::ended;
using test_support::FakeHome;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string signedOut = "Connect Claude (your subscription) to start.";
const std::string noSignIn = "No sign-in is waiting for a code.";

AssistantEvent finished(const std::string& text, bool isError) {
  return AssistantEvent::finished(text, isError);
}

std::vector<AssistantCommand> everyCommand() {
  return {AssistantCommand::run(AssistantRunRequest{.prompt = "hi"}), AssistantCommand::login(),
          AssistantCommand::status(), AssistantCommand::loginCode("123")};
}

// The claude engine, with the executable and the children's home redirected to fake-claude.
CLIAgentSpec fakeClaudeSpec(const FakeHome& home) {
  CLIAgentSpec spec = CLIAgentSpec::claude();
  const Environment environment = home.environment();
  const std::string directory = home.path();
  spec.locate = [] { return std::optional<std::string>(TARNO_FAKE_CLAUDE_PATH); };
  spec.makeEnvironment = [environment] { return environment; };
  spec.makeLoginStream = [environment, directory](const std::string& executable) {
    return ClaudeLoginRunner::stream(executable,
                                     {.environment = environment, .workingDirectory = directory});
  };
  spec.checkReady = [environment, directory](const std::string& executable, std::stop_token stop) {
    return ClaudeAuth::isLoggedIn(executable, environment, directory, std::move(stop));
  };
  return spec;
}

CLIAgentSpec missingSpec(std::string id, std::string displayName) {
  CLIAgentSpec spec = CLIAgentSpec::claude();
  spec.id = std::move(id);
  spec.displayName = std::move(displayName);
  spec.locate = [] { return std::optional<std::string>(); };
  return spec;
}

std::string notInstalled(const std::string& name) {
  return name + " isn't installed. Install its CLI, then try Connect again.";
}

class AssistantEngineHostTest : public ::testing::Test {
 protected:
  // Runs work in the fake home, never in the real one.
  EventStream<AssistantEvent> start(const AssistantCommand& command,
                                    const std::optional<std::string>& mcpPath = std::nullopt) {
    return AssistantEngineHost::run(command, mcpPath, {fakeClaudeSpec(home)},
                                    [this] { return home.path(); });
  }
  std::vector<AssistantEvent> answer(const AssistantCommand& command,
                                     const std::optional<std::string>& mcpPath = std::nullopt) {
    return drain(start(command, mcpPath));
  }
  // Every child is reaped and every thread joined once the answers are in.
  void TearDown() override { EXPECT_TRUE(resources.settled()); }

  test_support::ResourceCount resources;
  FakeHome home;
};

TEST_F(AssistantEngineHostTest, MissingCLIAnswersEveryCommandTheSameWay) {
  CLIAgentSpec claude = fakeClaudeSpec(home);
  claude.locate = [] { return std::optional<std::string>(); };
  for (const AssistantCommand& command : everyCommand()) {
    EXPECT_THAT(drain(AssistantEngineHost::run(command, "/x/tarno-mcp", {claude})),
                ElementsAre(finished(notInstalled("Claude (your subscription)"), true)))
        << command.payload().index();
  }
  EXPECT_FALSE(AssistantEngineHost::isAvailable({claude}));
  EXPECT_TRUE(AssistantEngineHost::isAvailable({fakeClaudeSpec(home)}));
  EXPECT_THAT(home.record().log, IsEmpty());  // nothing was started
}

TEST_F(AssistantEngineHostTest, StatusReportsTheSignInState) {
  for (const bool loggedIn : {true, false}) {
    fakes::FakeClaudeScript script;
    script.status().out(fakes::authStatusJSON(loggedIn));
    home.install(script);
    EXPECT_THAT(answer(AssistantCommand::status()),
                ElementsAre(loggedIn ? finished("ready", false) : finished(signedOut, true)));
  }
  // Signed out, a code has no sign-in to go to.
  EXPECT_THAT(answer(AssistantCommand::loginCode("123")), ElementsAre(finished(noSignIn, true)));
}

// A check whose consumer goes away ends like a run: its CLI, and what the CLI started, get
// SIGTERM at once; a CLI that ignores it is killed after the grace.
TEST_F(AssistantEngineHostTest, AStatusCheckLeftByItsConsumerEndsItsCLIAndItsGroup) {
  const struct {
    const char* name;
    std::function<void(fakes::FakeClaudeSection&)> script;
    bool stubborn;
  } cases[] = {
      {"hanging, with a process of its own", [](auto& s) { s.grandchild().hang(); }, false},
      {"ignoring SIGTERM", [](auto& s) { s.ignoreTerm().grandchild().hang(); }, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const FakeHome own;
    fakes::FakeClaudeScript script;
    c.script(script.status());
    own.install(script);
    auto check = AssistantEngineHost::run(AssistantCommand::status(), std::nullopt,
                                          {fakeClaudeSpec(own)}, [&] { return own.path(); });
    ASSERT_TRUE(test_support::eventually([&] { return !own.record().grandchildPid.empty(); }));
    const fakes::FakeClaudeRecord record = own.record();
    { auto dropped = std::move(check); }
    const auto limit =
        c.stubborn ? 2 * ChildProcess::terminationGrace : ChildProcess::terminationGrace / 2;
    EXPECT_TRUE(test_support::eventually([&] { return ended(record.pid); }, limit));
    EXPECT_TRUE(test_support::eventually([&] { return ended(record.grandchildPid); }));
    // The one killed never had a chance to log; the other logged the request and exited.
    const std::vector<std::string> logged =
        c.stubborn ? std::vector<std::string>{"start status"}
                   : std::vector<std::string>{"start status", "sigterm", "exit 0"};
    EXPECT_EQ(own.record().log, logged);
  }
}

TEST_F(AssistantEngineHostTest, RunStartsTheCLIWithTheEnginesSetUp) {
  fakes::FakeClaudeScript script;
  script.print()
      .out(R"({"type":"system","subtype":"init","session_id":"s-1","model":"claude-x"})")
      .out(
          R"({"type":"result","subtype":"success","is_error":false,"result":"Done.","session_id":"s-1"})");
  home.install(script);
  const AssistantRunRequest request{
      .prompt = "Show my picks", .model = ClaudeModel::haiku, .context = "Viewing: All Photos"};

  EXPECT_THAT(answer(AssistantCommand::run(request), "/opt/tarno/tarno-mcp"),
              ElementsAre(AssistantEvent::sessionStarted("s-1", "claude-x"),
                          AssistantEvent::finished("Done.", false, "s-1")));
  const auto record = home.record();
  EXPECT_EQ(record.args, ClaudeInvocation::forRequest(request, "/opt/tarno/tarno-mcp").arguments());
  EXPECT_THAT(record.environment, ElementsAre("HOME=" + home.path(), "PATH=/usr/bin:/bin"));
  EXPECT_EQ(record.cwd, home.path());

  // Without a tarno-mcp the CLI gets no MCP configuration.
  answer(AssistantCommand::run(request));
  EXPECT_THAT(home.record().args, ::testing::Not(::testing::Contains("--mcp-config")));
}

TEST_F(AssistantEngineHostTest, LoginRelaysTheSignInAndTakesItsCode) {
  fakes::FakeClaudeScript script;
  script.login().out("Go to https://claude.ai/oauth/authorize?x=1").code("123456");
  home.install(script);
  auto signIn = start(AssistantCommand::login());
  std::optional<AssistantEvent> event;
  while ((event = test_support::nextWithin(signIn)) &&
         !event->is<AssistantEvent::AwaitingLoginCode>()) {
  }
  ASSERT_TRUE(event) << "no code was asked for";
  EXPECT_THAT(answer(AssistantCommand::loginCode("  \n")), ElementsAre(finished(noSignIn, true)));
  EXPECT_THAT(answer(AssistantCommand::loginCode(" 123456\n")),
              ElementsAre(finished("Code sent.", false)));
  EXPECT_THAT(drain(signIn), ElementsAre(finished(
                                 "Signed in \u2014 you're connected to Claude. Ask away.", false)));
  EXPECT_THAT(answer(AssistantCommand::loginCode("123456")), ElementsAre(finished(noSignIn, true)));
}

TEST(AssistantEngineRegistryTest, EngineIdsPickTheirSpecAndUnknownOnesTheFirst) {
  const std::vector<CLIAgentSpec> specs = {missingSpec("claude", "Alpha"),
                                           missingSpec("beta", "Beta")};
  const auto answerFor = [&](const std::string& engineID) {
    return drain(AssistantEngineHost::run(
        AssistantCommand::run(AssistantRunRequest{.prompt = "p", .engineID = engineID}),
        std::nullopt, specs));
  };
  EXPECT_THAT(answerFor("beta"), ElementsAre(finished(notInstalled("Beta"), true)));
  for (const char* id : {"claude", "Beta", "gpt", ""})
    EXPECT_THAT(answerFor(id), ElementsAre(finished(notInstalled("Alpha"), true))) << id;
  // Commands other than a run carry no engine id.
  EXPECT_THAT(drain(AssistantEngineHost::run(AssistantCommand::status(), std::nullopt,
                                             {specs[1], specs[0]})),
              ElementsAre(finished(notInstalled("Beta"), true)));
  // With nothing registered a stand-in answers.
  EXPECT_THAT(drain(AssistantEngineHost::run(AssistantCommand::login(), std::nullopt, {})),
              ElementsAre(finished(notInstalled("None"), true)));
  EXPECT_FALSE(AssistantEngineHost::isAvailable({}));

  // The registered list holds the claude CLI alone, whatever id is asked for.
  ASSERT_EQ(AssistantEngineRegistry::cliAgentSpecs().size(), 1u);
  for (const auto& id : std::vector<std::optional<std::string_view>>{std::nullopt, "", "codex"})
    EXPECT_EQ(AssistantEngineRegistry::engine(id).displayName(), "Claude (your subscription)");
}

TEST(MCPPathTest, BundleCopyComesBeforeTheHomeCopy) {
  fakes::TempDir root;
  const auto makeFile = [&](const std::string& relative) {
    const std::string path = root.path() + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << "#!/bin/sh\n";
    ::chmod(path.c_str(), 0755);
    return path;
  };
  const std::string bundle = root.path() + "/bin";
  const std::string home = root.path() + "/home";
  EXPECT_EQ(AssistantEngineHost::resolveMCPPath(bundle, home), std::nullopt);

  const std::string inHome = makeFile("home/.tarno/bin/tarno-mcp");
  EXPECT_EQ(AssistantEngineHost::resolveMCPPath(bundle, home), inHome);
  EXPECT_EQ(AssistantEngineHost::resolveMCPPath(std::nullopt, home), inHome);

  const std::string inBundle = makeFile("bin/Contents/Helpers/tarno-mcp");
  EXPECT_EQ(AssistantEngineHost::resolveMCPPath(bundle + "/", home), inBundle);

  // Present but not executable counts as missing.
  ::chmod(inBundle.c_str(), 0644);
  ::chmod(inHome.c_str(), 0644);
  EXPECT_EQ(AssistantEngineHost::resolveMCPPath(bundle, home), std::nullopt);

  EXPECT_EQ(AssistantEngineHost::mainBundleDirectory(),
            std::filesystem::canonical("/proc/self/exe").parent_path().string());
}

TEST_F(AssistantEngineHostTest, StreamsDroppedUnreadWindDown) {
  fakes::FakeClaudeScript script;
  script.status().out(fakes::authStatusJSON(true));
  script.print().sleepMs(200).out(R"({"type":"result","result":"ok"})");
  script.login().out("https://claude.ai/oauth/x").exit(1);
  home.install(script);
  // A run is told to stop, a sign-in or a check ends by itself.
  for (const AssistantCommand& command : everyCommand())
    auto dropped = start(command);
  EXPECT_TRUE(resources.settled());
}

}  // namespace
}  // namespace tarno::assistant
