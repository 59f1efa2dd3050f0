// The tarno-assistant executable end to end: its modes, usage and exit statuses, the one-shot
// output, and serve mode answering the helper client over its socket, with fake-claude as the
// CLI in a home directory of the helper's own.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
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
const std::string usageLine =
    "tarno-assistant: usage: tarno-assistant serve | --prompt <text> [--mcp <tarno-mcp path>] "
    "[--model sonnet|opus|haiku] [--resume <session-id>]\n";
const std::string signedIn = "Signed in \u2014 you're connected to Claude. Ask away.";
const std::string openingBrowser =
    "Opening your browser to sign in to Claude\u2026 authorize there, then come back.";
const std::string authURL = "https://claude.ai/oauth/authorize?code=true&state=t1";

std::string streamEvent(const std::string& text) {
  return R"({"type":"stream_event","event":{"delta":{"type":"text_delta","text":")" + text +
         R"("}}})";
}

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
    EXPECT_EQ(result.err, usageLine);
    EXPECT_EQ(result.out, "");
  }
}

TEST_F(TarnoAssistantTest, WithoutTheCLIBothOneShotsSayWhatToInstall) {
  REQUIRE_ISOLATION();
  sandbox.removeClaude();
  const HelperResult prompt = sandbox.run(helper, {"--prompt", "hi"});
  EXPECT_EQ(prompt.status, ExitStatus::exitedWith(2));
  EXPECT_EQ(prompt.err,
            "tarno-assistant: couldn't find the `claude` CLI. Install Claude Code and sign in with "
            "your Claude subscription (https://claude.com/product/claude-code), then retry.\n");
  EXPECT_EQ(prompt.out, "");

  const HelperResult login = sandbox.run(helper, {"login"});
  EXPECT_EQ(login.status, ExitStatus::exitedWith(2));
  EXPECT_EQ(login.err,
            "tarno-assistant: couldn't find the `claude` CLI. Install Claude Code first.\n");
}

TEST_F(TarnoAssistantTest, APromptOneShotPrintsEveryEventAsOneJSONLine) {
  REQUIRE_ISOLATION();
  sandbox.script.print()
      .out(R"({"type":"system","subtype":"init","session_id":"s-2","model":"claude-haiku"})")
      .out(streamEvent("Crop"))
      .out(streamEvent("ping"))
      .out(R"({"type":"assistant","message":{"content":[{"type":"tool_use","id":"t1",)"
           R"("name":"mcp__tarno__tarno_crop","input":"1:1"}]}})")
      .out(R"({"type":"user","message":{"content":[{"type":"tool_result","tool_use_id":"t1",)"
           R"("content":"done"}]}})")
      .err("a warning that nobody reads")
      .out(R"({"type":"result","subtype":"success","result":"Cropped.","session_id":"s-2"})");
  sandbox.installScript();
  sandbox.workingDirectory = sandbox.home() + "/photos";
  std::filesystem::create_directories(sandbox.workingDirectory);

  const HelperResult result =
      sandbox.run(helper, {"--prompt", "Crop it square", "--model", "haiku", "--resume", "s-1"},
                  {"LANG=C.UTF-8", "TARNO_NOT_FOR_THE_CLI=secret"});
  EXPECT_EQ(result.status, ExitStatus::exitedWith(0));
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(eventLines(result.out),
            (Events{AssistantEvent::sessionStarted("s-2", "claude-haiku"),
                    AssistantEvent::textDelta("Crop"), AssistantEvent::textDelta("ping"),
                    AssistantEvent::toolUse("t1", "mcp__tarno__tarno_crop", "1:1"),
                    AssistantEvent::toolResult("t1", false, "done"),
                    AssistantEvent::finished("Cropped.", false, "s-2")}));

  const fakes::FakeClaudeRecord record = sandbox.record();
  ASSERT_GE(record.args.size(), 2u);
  EXPECT_EQ(record.args[0], "-p");
  EXPECT_EQ(record.args[1], "Crop it square");
  EXPECT_EQ(argAfter(record.args, "--model"), "haiku");
  EXPECT_EQ(argAfter(record.args, "--resume"), "s-1");
  EXPECT_TRUE(argAfter(record.args, "--append-system-prompt").has_value());
  EXPECT_TRUE(argAfter(record.args, "--disallowedTools").has_value()) << "no commits from here";
  EXPECT_FALSE(contains(record.args, "--mcp-config")) << "no sibling fallback in a one-shot";
  // The CLI runs where the user started the helper, with the allowlisted environment only.
  EXPECT_EQ(record.cwd, sandbox.workingDirectory);
  EXPECT_TRUE(contains(record.environment, "LANG=C.UTF-8"));
  EXPECT_TRUE(contains(record.environment, "HOME=" + sandbox.home()));
  for (const std::string& entry : record.environment) {
    EXPECT_FALSE(entry.starts_with("TARNO_NOT_FOR_THE_CLI=")) << entry;
  }
}

TEST_F(TarnoAssistantTest, FlagsAreTakenAsTheyStand) {
  REQUIRE_ISOLATION();
  sandbox.script.print().out(R"({"type":"result","result":"ok"})");
  sandbox.installScript();
  struct Case {
    Strings args;
    std::string prompt, model;
    std::optional<std::string> mcpConfig;
  };
  const std::string mcp = "/nowhere/at all/tarno-mcp";
  for (const Case& c : {
           Case{{"--prompt", "a", "--model", "Opus"}, "a", "sonnet", std::nullopt},
           Case{{"--prompt", "a", "--model", "gpt"}, "a", "sonnet", std::nullopt},
           Case{{"--prompt", "a", "--model"}, "a", "sonnet", std::nullopt},
           Case{{"--model", "opus", "--prompt", "--mcp", "x"},
                "--mcp",
                "opus",
                assistant::TarnoAssistantConfig::mcpConfigJSON("x")},
           Case{{"--prompt", "a", "--mcp", mcp},
                "a",
                "sonnet",
                assistant::TarnoAssistantConfig::mcpConfigJSON(mcp)},
           Case{{"--prompt", "b", "--prompt", "c"}, "b", "sonnet", std::nullopt},
       }) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const HelperResult result = sandbox.run(helper, c.args);
    EXPECT_EQ(result.status, ExitStatus::exitedWith(0)) << result.err;
    const Strings args = sandbox.record().args;
    EXPECT_EQ(argAfter(args, "-p"), c.prompt);
    EXPECT_EQ(argAfter(args, "--model"), c.model);
    EXPECT_EQ(argAfter(args, "--mcp-config"), c.mcpConfig);
  }
}

TEST_F(TarnoAssistantTest, TheExitStatusSaysWhetherAnyFinishedEventWasAnError) {
  REQUIRE_ISOLATION();
  struct Case {
    const char* name;
    std::function<void(fakes::FakeClaudeSection&)> script;
    int status;
    Events events;
  };
  for (const Case& c : {
           Case{"error result",
                [](auto& s) { s.out(R"({"type":"result","is_error":true,"result":"no"})"); },
                1,
                {AssistantEvent::finished("no", true)}},
           Case{"error, then success",
                [](auto& s) {
                  s.out(R"({"type":"result","is_error":true,"result":"no"})")
                      .out(R"({"type":"result","is_error":false,"result":"yes"})");
                },
                1,
                {AssistantEvent::finished("no", true), AssistantEvent::finished("yes", false)}},
           Case{"a result, then a failing exit",
                [](auto& s) { s.out(R"({"type":"result","result":"fine"})").exit(3); },
                0,
                {AssistantEvent::finished("fine", false)}},
           Case{"silence and status 0",
                [](auto&) {},
                0,
                {AssistantEvent::finished("claude exited with status 0", false)}},
           Case{"standard error and status 2",
                [](auto& s) { s.err("  bad flag\n").exit(2); },
                1,
                {AssistantEvent::finished("bad flag", true)}},
       }) {
    SCOPED_TRACE(c.name);
    sandbox.script = {};
    c.script(sandbox.script.print());
    sandbox.installScript();
    const HelperResult result = sandbox.run(helper, {"--prompt", "go"});
    EXPECT_EQ(result.status, ExitStatus::exitedWith(c.status));
    EXPECT_EQ(eventLines(result.out), c.events);
    EXPECT_EQ(result.err, "");
  }
}

TEST_F(TarnoAssistantTest, EachEventIsWrittenAsSoonAsItHappens) {
  REQUIRE_ISOLATION();
  sandbox.script.print()
      .out(R"({"type":"system","subtype":"init","session_id":"early"})")
      .hang()
      .exit(0);
  sandbox.installScript();
  auto spawned = ChildProcess::spawn(sandbox.options(helper, {"--prompt", "wait"}));
  ASSERT_TRUE(std::holds_alternative<ChildProcess>(spawned));
  ChildProcess& child = std::get<ChildProcess>(spawned);
  const assistant::unique_fd out = child.takeStdout();
  std::string line;
  char c = 0;
  while (c != '\n') {
    pollfd p{out.get(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 20000), 1) << "no line while the run goes on; got: " << line;
    ASSERT_EQ(::read(out.get(), &c, 1), 1);
    line.push_back(c);
  }
  EXPECT_EQ(eventLines(line), Events{AssistantEvent::sessionStarted("early")});
  EXPECT_TRUE(child.isRunning());
  child.sendSignal(SIGKILL);
  child.wait();
}

TEST_F(TarnoAssistantTest, TheSignInOneShotPrintsItsEventsAndExitsWithItsOutcome) {
  REQUIRE_ISOLATION();
  sandbox.script.login().out("Visit " + authURL + " to sign in.").exit(0);
  sandbox.installScript();
  const HelperResult result = sandbox.run(helper, {"login"});
  EXPECT_EQ(result.status, ExitStatus::exitedWith(0));
  EXPECT_EQ(eventLines(result.out),
            (Events{AssistantEvent::assistantText(openingBrowser),
                    AssistantEvent::assistantText("If your browser didn't open, sign in here:\n" +
                                                  authURL),
                    AssistantEvent::finished(signedIn, false)}));
  EXPECT_EQ(sandbox.record().args, (Strings{"auth", "login"}));

  sandbox.script = {};
  sandbox.script.login().out("Something went wrong.").exit(1);
  sandbox.installScript();
  const HelperResult failed = sandbox.run(helper, {"login"});
  EXPECT_EQ(failed.status, ExitStatus::exitedWith(1));
  EXPECT_EQ(
      eventLines(failed.out),
      (Events{AssistantEvent::assistantText(openingBrowser),
              AssistantEvent::finished("Sign-in didn't complete. Try Connect again.", true)}));
}

TEST_F(TarnoAssistantTest, TheModeWordsWinWhereverTheyStandAndServeComesFirst) {
  REQUIRE_ISOLATION();
  sandbox.script.login().exit(0);
  sandbox.script.print().out(R"({"type":"result","result":"prompt ran"})");
  sandbox.installScript();

  // Without a support directory serve mode cannot bind: its message shows it was chosen.
  const std::string cannotBind =
      "tarno-assistant: couldn't start the assistant helper: bindFailed(2)\n";
  for (const Strings& args : {Strings{"--prompt", "serve"}, Strings{"login", "serve"},
                              Strings{"serve", "login", "--prompt", "x"}}) {
    SCOPED_TRACE(::testing::PrintToString(args));
    const HelperResult serve = sandbox.run(helper, args);
    EXPECT_EQ(serve.status, ExitStatus::exitedWith(2));
    EXPECT_EQ(serve.err, cannotBind);
    EXPECT_EQ(serve.out, "");
  }

  // The sign-in creates the agent directory, and with it the support directory.
  const HelperResult login = sandbox.run(helper, {"--prompt", "login"});
  EXPECT_EQ(login.status, ExitStatus::exitedWith(0));
  EXPECT_EQ(sandbox.record().args, (Strings{"auth", "login"}));
}

TEST_F(TarnoAssistantTest, ServeModeReportsASocketItCannotSetUp) {
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

TEST_F(TarnoAssistantTest, ServeModeAnswersTheClientOnItsSocket) {
  REQUIRE_ISOLATION();
  sandbox.makeSupportDir();
  sandbox.script.status().out(fakes::authStatusJSON(true));
  sandbox.installScript();
  const std::string socketPath = sandbox.socketPath();

  ServingHelper serving(sandbox, helper);
  ASSERT_EQ(serving.firstLine(), "tarno-assistant: serving on " + socketPath + "\n");
  struct stat info {};
  ASSERT_EQ(::stat(socketPath.c_str(), &info), 0);
  EXPECT_TRUE(S_ISSOCK(info.st_mode));
  EXPECT_EQ(info.st_mode & 0777, 0600u);

  EXPECT_TRUE(AssistantHelperClient::isReachable(socketPath));
  auto ready = AssistantHelperClient::status(socketPath);
  EXPECT_EQ(drain(ready), Events{AssistantEvent::finished("ready", false)});

  sandbox.script = {};
  sandbox.script.status().out(fakes::authStatusJSON(false));
  sandbox.installScript();
  auto signedOut = AssistantHelperClient::status(socketPath);
  EXPECT_EQ(drain(signedOut),
            Events{AssistantEvent::finished("Connect Claude (your subscription) to start.", true)});
  EXPECT_TRUE(serving.isRunning());
}

TEST_F(TarnoAssistantTest, ServeModeRunsTurnsWithTheMCPServerBesideTheExecutable) {
  REQUIRE_ISOLATION();
  sandbox.makeSupportDir();
  sandbox.script.print().out(R"({"type":"result","result":"done","session_id":"s"})");
  sandbox.installScript();

  // Without a tarno-mcp beside the build's executable, runs get no MCP configuration.
  ASSERT_FALSE(std::filesystem::exists(std::filesystem::path(helper).parent_path() / "tarno-mcp"));
  {
    ServingHelper serving(sandbox, helper);
    auto run =
        AssistantHelperClient::run(AssistantRunRequest{.prompt = "one"}, sandbox.socketPath());
    EXPECT_EQ(drain(run), Events{AssistantEvent::finished("done", false, "s")});
    const fakes::FakeClaudeRecord record = sandbox.record();
    EXPECT_FALSE(contains(record.args, "--mcp-config"));
    EXPECT_EQ(record.cwd, sandbox.home() + "/.tarno/agent");
  }

  // A copy of the executable with a tarno-mcp beside it.
  const std::string app = sandbox.home() + "/app";
  std::filesystem::create_directories(app);
  std::filesystem::copy_file(helper, app + "/tarno-assistant");
  sandbox.writeFile("app/tarno-mcp", "#!/bin/sh\nexit 0\n");
  std::filesystem::permissions(app + "/tarno-mcp", std::filesystem::perms::owner_all);
  {
    ServingHelper serving(sandbox, app + "/tarno-assistant");
    ASSERT_EQ(serving.firstLine(), "tarno-assistant: serving on " + sandbox.socketPath() + "\n");
    auto run = AssistantHelperClient::run(AssistantRunRequest{.prompt = "two", .allowCommit = true},
                                          sandbox.socketPath());
    EXPECT_EQ(drain(run), Events{AssistantEvent::finished("done", false, "s")});
    const Strings args = sandbox.record().args;
    EXPECT_EQ(argAfter(args, "-p"), "two");
    EXPECT_EQ(argAfter(args, "--mcp-config"),
              assistant::TarnoAssistantConfig::mcpConfigJSON(app + "/tarno-mcp"));
    EXPECT_FALSE(contains(args, "--disallowedTools")) << "the request allowed changes";
  }
}

class TarnoAssistantSignInTest : public TarnoAssistantTest {
 protected:
  void SetUp() override {
    REQUIRE_ISOLATION();
    sandbox.makeSupportDir();
    sandbox.script.login().out("Visit " + authURL).code("c0de-42").exit(0);
    sandbox.installScript();
    serving.emplace(sandbox, helper);
    ASSERT_EQ(serving->firstLine(), "tarno-assistant: serving on " + sandbox.socketPath() + "\n");
  }

  // Starts a sign-in and reads its events up to the request for a code.
  EventStream<AssistantEvent> signInAwaitingCode() {
    auto login = AssistantHelperClient::connect(sandbox.socketPath());
    EXPECT_EQ(readThrough<AssistantEvent::AwaitingLoginCode>(login),
              (Events{AssistantEvent::assistantText(openingBrowser),
                      AssistantEvent::assistantText("If your browser didn't open, sign in here:\n" +
                                                    authURL),
                      AssistantEvent::awaitingLoginCode()}));
    return login;
  }

  // Sends one command on a connection of its own and returns the answer.
  Events sendAlone(const AssistantCommand& command) {
    const assistant::unique_fd connection = assistant::SocketIO::connect(sandbox.socketPath());
    EXPECT_TRUE(connection.valid());
    EXPECT_TRUE(assistant::SocketIO::writeFrame(connection.get(), core::encodeToString(command)));
    Events answer;
    assistant::SocketIO::FrameReader reader(connection.get());
    while (auto frames = reader.nextFrames()) {
      for (const std::string& frame : *frames)
        answer.push_back(core::decodeFromString<AssistantEvent>(frame));
    }
    return answer;
  }

  bool cliGotCode(const std::string& code) const {
    return contains(sandbox.record().log, "code " + code);
  }

  std::optional<ServingHelper> serving;
};

TEST_F(TarnoAssistantSignInTest, TheCodeGoesOverTheSignInsOwnConnection) {
  auto login = signInAwaitingCode();
  EXPECT_TRUE(AssistantHelperClient::submitLoginCode("\t c0de-42 \r\n"));
  EXPECT_EQ(drain(login), Events{AssistantEvent::finished(signedIn, false)});
  EXPECT_TRUE(cliGotCode("c0de-42"));
  EXPECT_FALSE(AssistantHelperClient::submitLoginCode("again")) << "the sign-in is over";
}

TEST_F(TarnoAssistantSignInTest, TheCodeCanComeOnASecondConnection) {
  EXPECT_EQ(sendAlone(AssistantCommand::loginCode("early")),
            Events{AssistantEvent::finished("No sign-in is waiting for a code.", true)});

  auto login = signInAwaitingCode();
  EXPECT_EQ(sendAlone(AssistantCommand::loginCode(" c0de-42\n")),
            Events{AssistantEvent::finished("Code sent.", false)});
  EXPECT_EQ(drain(login), Events{AssistantEvent::finished(signedIn, false)});
  EXPECT_TRUE(cliGotCode("c0de-42"));
}

TEST_F(TarnoAssistantTest, AClientThatGoesAwayStopsItsRunButNotTheHelper) {
  REQUIRE_ISOLATION();
  sandbox.makeSupportDir();
  auto& steps =
      sandbox.script.print().out(R"({"type":"system","subtype":"init","session_id":"s"})");
  for (int i = 0; i < 400; ++i)
    steps.sleepMs(25).out(streamEvent("."));
  sandbox.script.status().out(fakes::authStatusJSON(true));
  sandbox.installScript();
  ServingHelper serving(sandbox, helper);

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
