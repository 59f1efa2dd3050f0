// The tarno-assistant executable end to end: its modes, usage and exit statuses, the one-shot
// output, and serve mode answering the helper client over its socket, with fake-claude as the
// CLI in a home directory of the helper's own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "event_waiting.hpp"
#include "helper_sandbox.hpp"
#include "tarno/assistant/engine/tarno_assistant_config.hpp"
#include "tarno/assistant/transport/assistant_helper_client.hpp"
#include "tarno/assistant/transport/socket_io.hpp"
#include "tarno/core/json_coding.hpp"

namespace tarno::testing {
namespace {

using assistant::AssistantCommand;
using assistant::AssistantHelperClient;
using assistant::AssistantRunRequest;
using Strings = std::vector<std::string>;

const std::string helper = TARNO_ASSISTANT_PATH;
const std::string signedIn = "Signed in \u2014 you're connected to Claude. Ask away.";
const std::string authURL = "https://claude.ai/oauth/authorize?code=true&state=t1";
const Events signInPrompts{
    AssistantEvent::assistantText(
        "Opening your browser to sign in to Claude\u2026 authorize there, then come back."),
    AssistantEvent::assistantText("If your browser didn't open, sign in here:\n" + authURL)};
const std::string resultLine = R"({"type":"result","result":"done","session_id":"s"})";
const AssistantEvent done = AssistantEvent::finished("done", false, "s");

// Each output line decoded; a line that is not one compact event fails the test.
Events eventLines(const std::string& out) {
  Events events;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos);
    try {
      events.push_back(core::decodeFromString<AssistantEvent>(line));
    } catch (const std::exception& error) {
      ADD_FAILURE() << "not an event line: " << line << " (" << error.what() << ")";
    }
  }
  EXPECT_TRUE(out.empty() || out.back() == '\n');
  return events;
}

// The value after `flag` in a recorded argument list.
std::optional<std::string> argAfter(const Strings& args, const std::string& flag) {
  const auto found = std::find(args.begin(), args.end(), flag);
  if (found == args.end() || std::next(found) == args.end()) return std::nullopt;
  return *std::next(found);
}

bool contains(const Strings& list, const std::string& item) {
  return std::find(list.begin(), list.end(), item) != list.end();
}

class TarnoAssistantTest : public ::testing::Test {
 protected:
  // For tests whose outcome depends on what the CLI locator finds or on the helper's socket
  // path: both come from the user database's home, which only the sandbox can redirect.
  bool isolated() const {
    return HelperSandbox::available() && !HelperSandbox::realClaudeInstalled();
  }

  // Serve mode's first line, once its socket is listening.
  std::string servingLine() const {
    return "tarno-assistant: serving on " + sandbox.socketPath() + "\n";
  }

  HelperSandbox sandbox;
};

#define REQUIRE_ISOLATION()                                                            \
  if (!isolated()) {                                                                   \
    GTEST_SKIP() << "needs mount namespaces (unshare) and no claude CLI installed in " \
                    "a system location";                                               \
  }

TEST_F(TarnoAssistantTest, WithoutAUsablePromptItPrintsTheUsageAndExitsWithTwo) {
  for (const Strings& args :
       {Strings{}, Strings{"--prompt"}, Strings{"--prompt", ""},
        Strings{"--model", "opus", "--resume", "s"}, Strings{"prompt", "hello"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const HelperResult result = sandbox.run(helper, args);
    EXPECT_EQ(result.status, ExitStatus::exitedWith(2));
    EXPECT_EQ(result.err,
              "tarno-assistant: usage: tarno-assistant serve | --prompt <text> [--mcp <tarno-mcp "
              "path>] [--model sonnet|opus|haiku] [--resume <session-id>]\n");
    EXPECT_EQ(result.out, "");
  }
}

TEST_F(TarnoAssistantTest, WithoutTheCLIBothOneShotsSayWhatToInstall) {
  REQUIRE_ISOLATION();
  std::filesystem::remove(sandbox.binDir() + "/claude");
  const HelperResult prompt = sandbox.run(helper, {"--prompt", "hi"});
  EXPECT_EQ(prompt.status, ExitStatus::exitedWith(2));
  EXPECT_EQ(prompt.err,
            "tarno-assistant: couldn't find the `claude` CLI. Install Claude Code and sign in with "
            "your Claude subscription (https://claude.com/product/claude-code), then retry.\n");
  const HelperResult login = sandbox.run(helper, {"login"});
  EXPECT_EQ(login.status, ExitStatus::exitedWith(2));
  EXPECT_EQ(login.err,
            "tarno-assistant: couldn't find the `claude` CLI. Install Claude Code first.\n");
}

TEST_F(TarnoAssistantTest, APromptOneShotPrintsEveryEventAsOneJSONLine) {
  REQUIRE_ISOLATION();
  sandbox.script.print()
      .out(R"({"type":"system","subtype":"init","session_id":"s","model":"claude-haiku"})")
      .out(R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":"Crop"}}})")
      .err("a warning that nobody reads")
      .out(resultLine);
  sandbox.installScript();
  sandbox.workingDirectory = sandbox.home() + "/photos";
  std::filesystem::create_directories(sandbox.workingDirectory);

  const HelperResult result =
      sandbox.run(helper, {"--prompt", "Crop it square", "--model", "haiku", "--resume", "s-1"},
                  {"LANG=C.UTF-8", "TARNO_NOT_FOR_THE_CLI=secret"});
  EXPECT_EQ(result.status, ExitStatus::exitedWith(0));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(eventLines(result.out), (Events{AssistantEvent::sessionStarted("s", "claude-haiku"),
                                            AssistantEvent::textDelta("Crop"), done}));

  const fakes::FakeClaudeRecord record = sandbox.record();
  EXPECT_EQ(argAfter(record.args, "-p"), "Crop it square");
  EXPECT_EQ(argAfter(record.args, "--model"), "haiku");
  EXPECT_EQ(argAfter(record.args, "--resume"), "s-1");
  EXPECT_TRUE(contains(record.args, "--disallowedTools")) << "no commits from here";
  // The CLI runs where the user started the helper, with the allowlisted environment only.
  EXPECT_EQ(record.cwd, sandbox.workingDirectory);
  EXPECT_TRUE(contains(record.environment, "LANG=C.UTF-8"));
  EXPECT_FALSE(contains(record.environment, "TARNO_NOT_FOR_THE_CLI=secret"));
}

TEST_F(TarnoAssistantTest, FlagsAreTakenAsTheyStand) {
  REQUIRE_ISOLATION();
  sandbox.script.print().out(resultLine);
  sandbox.installScript();
  struct Case {
    Strings args;
    std::string prompt, model;
    std::optional<std::string> mcpConfig;
  };
  for (const Case& c : {
           Case{{"--prompt", "a", "--model", "Opus"}, "a", "sonnet", std::nullopt},
           Case{{"--prompt", "b", "--prompt", "c", "--model"}, "b", "sonnet", std::nullopt},
           // The path is passed on unchecked, and a flag word can be a value.
           Case{{"--model", "opus", "--prompt", "--mcp", "x"},
                "--mcp",
                "opus",
                assistant::TarnoAssistantConfig::mcpConfigJSON("x")},
       }) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    EXPECT_EQ(sandbox.run(helper, c.args).status, ExitStatus::exitedWith(0));
    const Strings args = sandbox.record().args;
    EXPECT_EQ(argAfter(args, "-p"), c.prompt);
    EXPECT_EQ(argAfter(args, "--model"), c.model);
    EXPECT_EQ(argAfter(args, "--mcp-config"), c.mcpConfig);
  }
}

TEST_F(TarnoAssistantTest, TheExitStatusSaysWhetherAnyFinishedEventWasAnError) {
  REQUIRE_ISOLATION();
  const std::string failed = R"({"type":"result","is_error":true,"result":"no"})";
  struct Case {
    Strings lines;
    int cliStatus, status;
  };
  for (const Case& c :
       {Case{{failed}, 0, 1}, Case{{failed, resultLine}, 0, 1}, Case{{resultLine}, 3, 0}}) {
    SCOPED_TRACE(::testing::PrintToString(c.lines));
    sandbox.script = {};
    for (const std::string& line : c.lines)
      sandbox.script.print().out(line);
    sandbox.script.print().exit(c.cliStatus);
    sandbox.installScript();
    const HelperResult result = sandbox.run(helper, {"--prompt", "go"});
    EXPECT_EQ(result.status, ExitStatus::exitedWith(c.status));
    EXPECT_EQ(eventLines(result.out).size(), c.lines.size());
  }
}

TEST_F(TarnoAssistantTest, EachEventIsWrittenAsSoonAsItHappens) {
  REQUIRE_ISOLATION();
  sandbox.script.print().out(R"({"type":"system","subtype":"init","session_id":"early"})").hang();
  sandbox.installScript();
  RunningHelper running(sandbox, {"--prompt", "wait"});
  EXPECT_EQ(eventLines(running.outLine()), Events{AssistantEvent::sessionStarted("early")});
  EXPECT_TRUE(running.isRunning());
}

TEST_F(TarnoAssistantTest, TheSignInOneShotPrintsItsEvents) {
  REQUIRE_ISOLATION();
  sandbox.script.login().out("Visit " + authURL + " to sign in.").exit(0);
  sandbox.installScript();
  const HelperResult result = sandbox.run(helper, {"login"});
  EXPECT_EQ(result.status, ExitStatus::exitedWith(0));
  Events expected = signInPrompts;
  expected.push_back(AssistantEvent::finished(signedIn, false));
  EXPECT_EQ(eventLines(result.out), expected);
  EXPECT_EQ(sandbox.record().args, (Strings{"auth", "login"}));
}

TEST_F(TarnoAssistantTest, TheModeWordsWinWhereverTheyStandAndServeComesFirst) {
  REQUIRE_ISOLATION();
  sandbox.script.login().exit(0);
  sandbox.script.print().out(resultLine);
  sandbox.installScript();
  // Without a support directory serve mode cannot bind: its message shows it was chosen.
  for (const Strings& args : {Strings{"--prompt", "serve"}, Strings{"login", "serve"},
                              Strings{"serve", "login", "--prompt", "x"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const HelperResult serve = sandbox.run(helper, args);
    EXPECT_EQ(serve.status, ExitStatus::exitedWith(2));
    EXPECT_EQ(serve.err, "tarno-assistant: couldn't start the assistant helper: bindFailed(2)\n");
    EXPECT_EQ(serve.out, "");
  }
  EXPECT_EQ(sandbox.run(helper, {"--prompt", "login"}).status, ExitStatus::exitedWith(0));
  EXPECT_EQ(sandbox.record().args, (Strings{"auth", "login"}));
}

TEST_F(TarnoAssistantTest, ServeModeReportsASocketPathThatIsTooLong) {
  REQUIRE_ISOLATION();
  // 103 bytes is the longest socket path: a home of 82 bytes makes it 104.
  const std::size_t tooLongHome = 82;
  if (sandbox.home().size() + 2 > tooLongHome) GTEST_SKIP() << "TMPDIR is too long";
  HelperSandbox far(std::string(tooLongHome - sandbox.home().size() - 1, 'h'));
  ASSERT_EQ(far.home().size(), tooLongHome);
  far.makeSupportDir();
  const HelperResult result = far.run(helper, {"serve"});
  EXPECT_EQ(result.status, ExitStatus::exitedWith(2));
  EXPECT_EQ(result.err, "tarno-assistant: couldn't start the assistant helper: pathTooLong\n");
}

TEST_F(TarnoAssistantTest, ServeModeKeepsAnsweringTheClientOnAPrivateSocket) {
  REQUIRE_ISOLATION();
  sandbox.makeSupportDir();
  sandbox.script.status().out(fakes::authStatusJSON(true));
  sandbox.installScript();
  RunningHelper serving(sandbox);
  ASSERT_EQ(serving.errLine(), servingLine());
  struct stat info {};
  ASSERT_EQ(::stat(sandbox.socketPath().c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  EXPECT_TRUE(AssistantHelperClient::isReachable(sandbox.socketPath()));
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    auto status = AssistantHelperClient::status(sandbox.socketPath());
    EXPECT_EQ(drain(status), Events{AssistantEvent::finished("ready", false)});
    EXPECT_TRUE(serving.isRunning());
  }
}

TEST_F(TarnoAssistantTest, OnlyServeModeRunsTurnsWithTheMCPServerBesideTheExecutable) {
  REQUIRE_ISOLATION();
  sandbox.makeSupportDir();
  sandbox.script.print().out(resultLine);
  sandbox.installScript();
  const std::string app = sandbox.home() + "/app";
  std::filesystem::create_directories(app);
  std::filesystem::copy_file(helper, app + "/tarno-assistant");
  std::ofstream(app + "/tarno-mcp") << "#!/bin/sh\n";
  std::filesystem::permissions(app + "/tarno-mcp", std::filesystem::perms::owner_all);
  {
    RunningHelper serving(sandbox, {"serve"}, app + "/tarno-assistant");
    ASSERT_EQ(serving.errLine(), servingLine());
    auto run =
        AssistantHelperClient::run(AssistantRunRequest{.prompt = "two"}, sandbox.socketPath());
    EXPECT_EQ(drain(run), Events{done});
    EXPECT_EQ(argAfter(sandbox.record().args, "--mcp-config"),
              assistant::TarnoAssistantConfig::mcpConfigJSON(app + "/tarno-mcp"));
  }
  EXPECT_EQ(sandbox.run(app + "/tarno-assistant", {"--prompt", "one"}).status,
            ExitStatus::exitedWith(0));
  EXPECT_FALSE(contains(sandbox.record().args, "--mcp-config")) << "a one-shot never falls back";
}

class TarnoAssistantSignInTest : public TarnoAssistantTest {
 protected:
  void SetUp() override {
    REQUIRE_ISOLATION();
    sandbox.makeSupportDir();
    sandbox.script.login().out("Visit " + authURL).code("c0de-42").exit(0);
    sandbox.installScript();
    serving.emplace(sandbox);
    ASSERT_EQ(serving->errLine(), servingLine());
  }

  // Starts a sign-in and reads its events up to the request for a code.
  EventStream<AssistantEvent> signInAwaitingCode() {
    auto login = AssistantHelperClient::connect(sandbox.socketPath());
    Events expected = signInPrompts;
    expected.push_back(AssistantEvent::awaitingLoginCode());
    EXPECT_EQ(readThrough<AssistantEvent::AwaitingLoginCode>(login), expected);
    return login;
  }

  void expectSignedInWithCode(EventStream<AssistantEvent>& login) {
    EXPECT_EQ(drain(login), Events{AssistantEvent::finished(signedIn, false)});
    EXPECT_TRUE(contains(sandbox.record().log, "code c0de-42"));
  }

  std::optional<RunningHelper> serving;
};

TEST_F(TarnoAssistantSignInTest, TheCodeGoesOverTheSignInsOwnConnection) {
  auto login = signInAwaitingCode();
  EXPECT_TRUE(AssistantHelperClient::submitLoginCode("\t c0de-42 \r\n"));
  expectSignedInWithCode(login);
}

TEST_F(TarnoAssistantSignInTest, TheCodeCanComeOnASecondConnection) {
  auto login = signInAwaitingCode();
  const assistant::unique_fd second = assistant::SocketIO::connect(sandbox.socketPath());
  ASSERT_TRUE(assistant::SocketIO::writeFrame(
      second.get(), core::encodeToString(AssistantCommand::loginCode(" c0de-42\n"))));
  EXPECT_EQ(assistant::SocketIO::readOneFrame(second.get()),
            core::encodeToString(AssistantEvent::finished("Code sent.", false)));
  expectSignedInWithCode(login);
}

TEST_F(TarnoAssistantTest, AClientThatGoesAwayStopsItsRunButNotTheHelper) {
  REQUIRE_ISOLATION();
  sandbox.makeSupportDir();
  auto& steps =
      sandbox.script.print().out(R"({"type":"system","subtype":"init","session_id":"s"})");
  for (int i = 0; i < 400; ++i)
    steps.sleepMs(25).out(R"({"type":"stream_event","event":{"delta":{"type":"text_delta",)"
                          R"("text":"."}}})");
  sandbox.script.status().out(fakes::authStatusJSON(true));
  sandbox.installScript();
  RunningHelper serving(sandbox);
  ASSERT_EQ(serving.errLine(), servingLine());
  {
    auto run =
        AssistantHelperClient::run(AssistantRunRequest{.prompt = "long"}, sandbox.socketPath());
    EXPECT_EQ(nextWithin(run), AssistantEvent::sessionStarted("s"));
  }
  EXPECT_TRUE(eventually([&] { return contains(sandbox.record().log, "sigterm"); }));
  // The failed write neither raised SIGPIPE nor disturbed the other connections.
  EXPECT_TRUE(serving.isRunning());
  auto status = AssistantHelperClient::status(sandbox.socketPath());
  EXPECT_EQ(drain(status), Events{AssistantEvent::finished("ready", false)});
}

}  // namespace
}  // namespace tarno::testing
