// The engine host's answer to every command, the choice of engine by id, the fallback engine,
// and where tarno-mcp is looked for; CLI runs and sign-ins go to fake-claude.
#include "tarno/assistant/engine/assistant_engine_host.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "engine_test_support.hpp"
#include "tarno/assistant/engine/assistant_engine_registry.hpp"
#include "tarno/assistant/engine/claude_auth.hpp"
#include "tarno/assistant/engine/claude_login_runner.hpp"
#include "tarno/assistant/engine/stream_json_parser.hpp"
#include "tarno/assistant/engine/tarno_assistant_config.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;
using test_support::drain;
using test_support::FakeHome;
using test_support::nextWithin;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

const std::string notInstalled =
    "Claude (your subscription) isn't installed. Install its CLI, then try Connect again.";
const std::string signedOut = "Connect Claude (your subscription) to start.";

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
  spec.checkReady = [environment, directory](const std::string& executable) {
    return ClaudeAuth::isLoggedIn(executable, environment, directory);
  };
  return spec;
}

CLIAgentSpec missingSpec(std::string id, std::string displayName) {
  return CLIAgentSpec{
      .id = std::move(id),
      .displayName = std::move(displayName),
      .locate = [] { return std::optional<std::string>(); },
      .buildArguments = {},
      .makeEnvironment = {},
      .parseLine = {},
      .makeLoginStream = {},
      .checkReady = {},
  };
}

class AssistantEngineHostTest : public ::testing::Test {
 protected:
  std::vector<AssistantEvent> answer(const AssistantCommand& command,
                                     const std::optional<std::string>& mcpPath = std::nullopt) {
    return drain(AssistantEngineHost::run(command, mcpPath, {fakeClaudeSpec(home)}));
  }

  FakeHome home;
};

TEST_F(AssistantEngineHostTest, MissingCLIAnswersEveryCommandTheSameWay) {
  CLIAgentSpec claude = fakeClaudeSpec(home);
  claude.locate = [] { return std::optional<std::string>(); };
  for (const AssistantCommand& command : everyCommand()) {
    EXPECT_THAT(drain(AssistantEngineHost::run(command, "/x/tarno-mcp", {claude})),
                ElementsAre(finished(notInstalled, true)))
        << command.payload().index();
  }
  EXPECT_FALSE(AssistantEngineHost::isAvailable({claude}));
  EXPECT_TRUE(AssistantEngineHost::isAvailable({fakeClaudeSpec(home)}));
  // Nothing was started.
  EXPECT_THAT(home.record().log, IsEmpty());
}

TEST_F(AssistantEngineHostTest, StatusReportsTheSignInState) {
  fakes::FakeClaudeScript in;
  in.status().out("Checking\xe2\x80\xa6").out(fakes::authStatusJSON(true));
  home.install(in);
  EXPECT_THAT(answer(AssistantCommand::status()), ElementsAre(finished("ready", false)));

  fakes::FakeClaudeScript out;
  out.status().out(fakes::authStatusJSON(false));
  home.install(out);
  EXPECT_THAT(answer(AssistantCommand::status()), ElementsAre(finished(signedOut, true)));

  fakes::FakeClaudeScript garbage;
  garbage.status().err("Error: unknown command").exit(1);
  home.install(garbage);
  EXPECT_THAT(answer(AssistantCommand::status()), ElementsAre(finished(signedOut, true)));
}

TEST_F(AssistantEngineHostTest, EnginesWithoutReadinessOrSignInAnswerPlainly) {
  CLIAgentSpec plain = fakeClaudeSpec(home);
  plain.checkReady = {};
  plain.makeLoginStream = {};
  EXPECT_THAT(drain(AssistantEngineHost::run(AssistantCommand::status(), std::nullopt, {plain})),
              ElementsAre(finished("ready", false)));
  EXPECT_THAT(drain(AssistantEngineHost::run(AssistantCommand::login(), std::nullopt, {plain})),
              IsEmpty());
  // Neither asked the CLI anything.
  EXPECT_THAT(home.record().log, IsEmpty());

  const CLIAgentEngine engine(plain);
  EXPECT_FALSE(engine.supportsLogin());
  EXPECT_TRUE(engine.isReady(TARNO_FAKE_CLAUDE_PATH));
  EXPECT_TRUE(CLIAgentEngine(fakeClaudeSpec(home)).supportsLogin());
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
  EXPECT_THAT(record.args, ::testing::Contains("--mcp-config"));
  EXPECT_THAT(record.environment, ElementsAre("HOME=" + home.path(), "PATH=/usr/bin:/bin"));
  EXPECT_EQ(record.cwd, TarnoAssistantConfig::agentWorkingDirectory());

  // Without a tarno-mcp the CLI gets no MCP configuration.
  answer(AssistantCommand::run(request));
  EXPECT_THAT(home.record().args, ::testing::Not(::testing::Contains("--mcp-config")));
}

TEST_F(AssistantEngineHostTest, RunFailuresArriveAsEvents) {
  fakes::FakeClaudeScript script;
  script.print().err("  model not available  ").exit(2);
  home.install(script);
  EXPECT_THAT(answer(AssistantCommand::run(AssistantRunRequest{.prompt = "x"})),
              ElementsAre(finished("model not available", true)));
}

TEST_F(AssistantEngineHostTest, LoginRelaysTheSignInAndTakesItsCode) {
  EXPECT_THAT(answer(AssistantCommand::loginCode("123456")),
              ElementsAre(finished("No sign-in is waiting for a code.", true)));

  fakes::FakeClaudeScript script;
  script.login().out("Go to https://claude.ai/oauth/authorize?x=1").code("123456");
  home.install(script);
  auto signIn =
      AssistantEngineHost::run(AssistantCommand::login(), std::nullopt, {fakeClaudeSpec(home)});
  std::vector<AssistantEvent> events;
  while (auto event = nextWithin(signIn)) {
    events.push_back(*event);
    if (event->is<AssistantEvent::AwaitingLoginCode>()) break;
  }
  ASSERT_FALSE(events.empty());
  ASSERT_TRUE(events.back().is<AssistantEvent::AwaitingLoginCode>());
  EXPECT_THAT(answer(AssistantCommand::loginCode("  \n")),
              ElementsAre(finished("No sign-in is waiting for a code.", true)));
  EXPECT_THAT(answer(AssistantCommand::loginCode(" 123456\n")),
              ElementsAre(finished("Code sent.", false)));
  EXPECT_THAT(drain(signIn), ElementsAre(finished(
                                 "Signed in \u2014 you're connected to Claude. Ask away.", false)));
  EXPECT_THAT(answer(AssistantCommand::loginCode("123456")),
              ElementsAre(finished("No sign-in is waiting for a code.", true)));
  EXPECT_FALSE(AssistantEngineHost::submitLoginCode("123456"));
}

TEST(AssistantEngineRegistryTest, EngineIdsPickTheirSpecAndUnknownOnesTheFirst) {
  const std::vector<CLIAgentSpec> specs = {missingSpec("claude", "Alpha"),
                                           missingSpec("beta", "Beta")};
  const auto answerFor = [&](const std::string& engineID) {
    return drain(AssistantEngineHost::run(
        AssistantCommand::run(AssistantRunRequest{.prompt = "p", .engineID = engineID}),
        std::nullopt, specs));
  };
  const std::string alpha = "Alpha isn't installed. Install its CLI, then try Connect again.";
  const std::string beta = "Beta isn't installed. Install its CLI, then try Connect again.";
  EXPECT_THAT(answerFor("claude"), ElementsAre(finished(alpha, true)));
  EXPECT_THAT(answerFor("beta"), ElementsAre(finished(beta, true)));
  EXPECT_THAT(answerFor("Beta"), ElementsAre(finished(alpha, true)));
  EXPECT_THAT(answerFor("gpt"), ElementsAre(finished(alpha, true)));
  EXPECT_THAT(answerFor(""), ElementsAre(finished(alpha, true)));
  // Commands other than a run carry no engine id.
  EXPECT_THAT(drain(AssistantEngineHost::run(AssistantCommand::status(), std::nullopt,
                                             {missingSpec("beta", "Beta"), specs[0]})),
              ElementsAre(finished(beta, true)));

  // The registered list holds the claude CLI alone.
  const auto& registered = AssistantEngineRegistry::cliAgentSpecs();
  ASSERT_EQ(registered.size(), 1u);
  EXPECT_EQ(registered[0].id, AssistantEngineRegistry::defaultEngineID);
  EXPECT_EQ(&registered, &AssistantEngineRegistry::cliAgentSpecs());
  for (const std::optional<std::string_view> id :
       {std::optional<std::string_view>(), std::optional<std::string_view>("claude"),
        std::optional<std::string_view>(""), std::optional<std::string_view>("codex")}) {
    const CLIAgentEngine engine = AssistantEngineRegistry::engine(id);
    EXPECT_EQ(engine.id(), "claude");
    EXPECT_EQ(engine.displayName(), "Claude (your subscription)");
  }
}

TEST(AssistantEngineRegistryTest, NothingRegisteredRunsTheFallback) {
  EXPECT_THAT(drain(AssistantEngineHost::run(AssistantCommand::login(), std::nullopt, {})),
              ElementsAre(finished("None isn't installed. Install its CLI, then try Connect again.",
                                   true)));
  EXPECT_FALSE(AssistantEngineHost::isAvailable({}));

  const CLIAgentEngine engine = AssistantEngineRegistry::engine("claude", {});
  EXPECT_EQ(engine.id(), "none");
  EXPECT_EQ(engine.displayName(), "None");
  EXPECT_EQ(engine.locateBinary(), std::nullopt);
  EXPECT_THAT(engine.arguments(AssistantRunRequest{.prompt = "p"}, "/m"), IsEmpty());
  EXPECT_THAT(engine.parse(R"({"type":"result","result":"x"})"), IsEmpty());
  EXPECT_EQ(engine.environment(), processEnvironment());
  EXPECT_FALSE(engine.supportsLogin());
  EXPECT_THAT(drain(engine.makeLoginStream("/bin/true")), IsEmpty());
  EXPECT_TRUE(engine.isReady("/bin/false"));
}

TEST(CLIAgentSpecTest, ClaudeEngineBuildsTurnsAndReadsStreamJSON) {
  const CLIAgentEngine engine(CLIAgentSpec::claude());
  const AssistantRunRequest request{.prompt = "p", .allowCommit = true, .context = "c"};
  EXPECT_EQ(engine.arguments(request, "/m"),
            ClaudeInvocation::forRequest(request, "/m").arguments());
  const std::string line = R"({"type":"result","result":"ok","session_id":"s"})";
  EXPECT_EQ(engine.parse(line), StreamJSONParser::events(line));
  for (const auto& [name, value] : engine.environment()) {
    EXPECT_NE(std::find(ClaudeInvocation::agentEnvironmentAllowlist.begin(),
                        ClaudeInvocation::agentEnvironmentAllowlist.end(), name),
              ClaudeInvocation::agentEnvironmentAllowlist.end())
        << name;
  }
  EXPECT_TRUE(engine.supportsLogin());
  // A missing executable cannot be signed in.
  EXPECT_FALSE(engine.isReady("/nonexistent/claude"));
}

class MCPPathTest : public ::testing::Test {
 protected:
  std::string makeFile(const std::string& relative, mode_t mode) {
    const std::string path = root.path() + "/" + relative;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path) << "#!/bin/sh\n";
    ::chmod(path.c_str(), mode);
    return path;
  }
  fakes::TempDir root;
};

TEST_F(MCPPathTest, BundleCopyComesBeforeTheHomeCopy) {
  const std::string bundle = root.path() + "/bin";
  const std::string home = root.path() + "/home";
  EXPECT_EQ(AssistantEngineHost::resolveMCPPath(bundle, home), std::nullopt);

  const std::string inHome = makeFile("home/.tarno/bin/tarno-mcp", 0755);
  EXPECT_EQ(AssistantEngineHost::resolveMCPPath(bundle, home), inHome);
  EXPECT_EQ(AssistantEngineHost::resolveMCPPath(std::nullopt, home), inHome);

  const std::string inBundle = makeFile("bin/Contents/Helpers/tarno-mcp", 0755);
  EXPECT_EQ(AssistantEngineHost::resolveMCPPath(bundle, home), inBundle);
  EXPECT_EQ(AssistantEngineHost::resolveMCPPath(bundle + "/", home), inBundle);

  // Present but not executable counts as missing.
  ::chmod(inBundle.c_str(), 0644);
  ::chmod(inHome.c_str(), 0644);
  EXPECT_EQ(AssistantEngineHost::resolveMCPPath(bundle, home), std::nullopt);
}

TEST_F(MCPPathTest, MainBundleIsTheExecutablesDirectory) {
  EXPECT_EQ(AssistantEngineHost::mainBundleDirectory(),
            std::filesystem::canonical("/proc/self/exe").parent_path().string());
  const auto first = AssistantEngineHost::bundledMCPPath();
  EXPECT_EQ(AssistantEngineHost::bundledMCPPath(), first);
}

TEST_F(AssistantEngineHostTest, AnsweringLeavesNoDescriptorOrThreadBehind) {
  const int descriptors = test_support::openDescriptorCount();
  const int threads = test_support::threadCount();
  fakes::FakeClaudeScript script;
  script.status().out(fakes::authStatusJSON(true));
  script.print().out(R"({"type":"result","result":"ok"})");
  script.login().out("https://claude.ai/oauth/x").exit(1);
  home.install(script);
  for (int round = 0; round < 3; ++round) {
    for (const AssistantCommand& command : everyCommand())
      EXPECT_FALSE(answer(command).empty());
  }
  // Streams dropped unread: the run is told to stop, the sign-in winds down by itself.
  for (const AssistantCommand& command : everyCommand()) {
    auto dropped = AssistantEngineHost::run(command, std::nullopt, {fakeClaudeSpec(home)});
  }
  EXPECT_TRUE(test_support::eventually([&] {
    return test_support::openDescriptorCount() == descriptors &&
           test_support::threadCount() == threads;
  })) << test_support::openDescriptorCount()
      << " descriptors (" << descriptors << " before), " << test_support::threadCount()
      << " threads (" << threads << " before)";
}

}  // namespace
}  // namespace tarno::assistant
