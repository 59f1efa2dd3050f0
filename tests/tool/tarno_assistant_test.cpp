// The tarno-assistant executable end to end: its modes, usage and exit statuses, the one-shot
// output, and serve mode answering the helper client over its socket, with fake-claude as the
// CLI in a home directory of the helper's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "assistant/engine_test_support.hpp"
#include "helper_sandbox.hpp"
#include "mcp_session.hpp"
#include "tarno/assistant/engine/tarno_assistant_config.hpp"
#include "tarno/assistant/transport/assistant_helper_client.hpp"
#include "tarno/core/json_coding.hpp"

namespace tarno::testing {
namespace {

using namespace assistant::test_support;
using assistant::AssistantEvent;
using assistant::AssistantHelperClient;
using assistant::AssistantRunRequest;
using assistant::TarnoAssistantConfig;
using Events = std::vector<AssistantEvent>;

const std::string helper = TARNO_ASSISTANT_PATH;
const std::string signedIn = "Signed in \u2014 you're connected to Claude. Ask away.";
const std::string authURL = "https://claude.ai/oauth/authorize?code=true&state=t1";
const Events signInPrompts{
    AssistantEvent::assistantText(
        "Opening your browser to sign in to Claude\u2026 authorize there, then come back."),
    AssistantEvent::assistantText("If your browser didn't open, sign in here:\n" + authURL)};
const std::string resultLine = R"({"type":"result","result":"done","session_id":"s"})";
const AssistantEvent done = AssistantEvent::finished("done", false, "s");

// Each output line decoded; a line that is not one compact event fails the test (by throwing).
Events eventLines(const std::string& out) {
  Events events;
  std::istringstream lines(out);
  for (std::string line; std::getline(lines, line);) {
    events.push_back(core::decodeFromString<AssistantEvent>(line));
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

// Needs no home of its own: nothing is looked up before the usage is printed.
TEST(TarnoAssistant, WithoutAUsablePromptItPrintsTheUsageAndExitsWithTwo) {
  const HelperSandbox sandbox;
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

// What the CLI locator finds and where the socket goes both come from the user database's
// home, which only the sandbox can redirect.
class TarnoAssistantTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!HelperSandbox::isolated()) {
      GTEST_SKIP() << "needs mount namespaces (unshare) and no claude CLI in a system location";
    }
  }

  // Starts serve mode and waits for its first line, which comes once its socket listens.
  Started serve(const std::string& program = helper) {
    Started serving = sandbox.start(program, {"serve"});
    const std::string line = "tarno-assistant: serving on " + sandbox.socketPath() + "\n";
    EXPECT_TRUE(eventually([&] { return sandbox.err() == line; })) << sandbox.err();
    return serving;
  }

  HelperSandbox sandbox;
};

TEST_F(TarnoAssistantTest, WithoutTheCLIBothOneShotsSayWhatToInstall) {
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

// The gate on the user's photo library holds only when the names the CLI is told to withhold are
// names of tools the MCP server it is handed really offers: all ten writing tools, and no others
// that write.
TEST_F(TarnoAssistantTest, TheWithheldToolsAreExactlyTheMCPServersLibraryWritingTools) {
  sandbox.script.print().out(resultLine);
  sandbox.installScript();
  const HelperResult result = sandbox.run(helper, {"--prompt", "Tidy up", "--mcp", TARNO_MCP_PATH});
  ASSERT_EQ(result.status, ExitStatus::exitedWith(0)) << result.err;
  const fakes::FakeClaudeRecord record = sandbox.record();

  const std::optional<std::string> config = argAfter(record.args, "--mcp-config");
  ASSERT_TRUE(config);
  const core::JsonValue servers = *core::parseJsonIfValid(*config)->find("mcpServers");
  ASSERT_EQ(servers.asObject()->size(), 1u);
  const auto& [serverName, server] = servers.asObject()->front();
  const std::string command = *server.find("command")->asString();
  EXPECT_EQ(*server.find("args"), core::JsonValue(core::JsonValue::Array{}));

  const std::optional<std::string> disallowed = argAfter(record.args, "--disallowedTools");
  ASSERT_TRUE(disallowed);
  std::set<std::string> withheld;
  std::istringstream names(*disallowed);
  for (std::string name; std::getline(names, name, ',');) {
    const std::string prefix = "mcp__" + serverName + "__";
    ASSERT_TRUE(name.starts_with(prefix)) << name;
    withheld.insert(name.substr(prefix.size()));
  }
  EXPECT_EQ(withheld.size(), 10u);

  // The server the CLI would start, asked what it offers.
  const std::string listed = mcpSession(command, sandbox.home() + "/no-app.sock",
                                        R"({"jsonrpc":"2.0","id":1,"method":"tools/list"})"
                                        "\n");
  const core::JsonValue tools = *core::parseJsonIfValid(listed)->find("result")->find("tools");
  std::set<std::string> offered, writing;
  for (const core::JsonValue& tool : *tools.asArray()) {
    const std::string name = *tool.find("name")->asString();
    offered.insert(name);
    if (tool.find("description")->asString()->find("Changes the user's photo library") !=
        std::string::npos) {
      writing.insert(name);
    }
  }
  for (const std::string& name : withheld)
    EXPECT_TRUE(offered.contains(name)) << name;
  EXPECT_EQ(writing, withheld);
}

// Flags are taken as they stand: the --mcp path unchecked, a flag word as a value, an unknown
// model as the default. The exit status says whether any finished event was an error.
TEST_F(TarnoAssistantTest, FlagsAsTheyStandAndTheExitStatusOfTheRun) {
  const std::string failed = R"({"type":"result","is_error":true,"result":"no"})";
  struct Case {
    Strings args;
    std::string prompt, model, mcpPath;
    Strings lines;
    int cliStatus, status;
  };
  for (const Case& c :
       {Case{{"--prompt", "a", "--model", "Opus"}, "a", "sonnet", "", {resultLine}, 3, 0},
        Case{{"--prompt", "b", "--prompt", "c", "--model"}, "b", "sonnet", "", {failed}, 0, 1},
        Case{{"--model", "opus", "--prompt", "--mcp", "x"},
             "--mcp",
             "opus",
             "x",
             {failed, resultLine},
             0,
             1}}) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    sandbox.script = {};
    for (const std::string& line : c.lines)
      sandbox.script.print().out(line);
    sandbox.script.print().exit(c.cliStatus);
    sandbox.installScript();
    const HelperResult result = sandbox.run(helper, c.args);
    EXPECT_EQ(result.status, ExitStatus::exitedWith(c.status));
    EXPECT_EQ(eventLines(result.out).size(), c.lines.size());
    const Strings args = sandbox.record().args;
    EXPECT_EQ(argAfter(args, "-p"), c.prompt);
    EXPECT_EQ(argAfter(args, "--model"), c.model);
    EXPECT_EQ(argAfter(args, "--mcp-config"),
              c.mcpPath.empty() ? std::nullopt
                                : std::optional(TarnoAssistantConfig::mcpConfigJSON(c.mcpPath)));
  }
}

// With nowhere to print to, a one-shot ends its run (the fake would hang) and fails.
TEST_F(TarnoAssistantTest, AOneShotThatCannotPrintEndsItsRunAndFails) {
  sandbox.script.print()
      .sleepMs(200)
      .out(R"({"type":"system","subtype":"init","session_id":"s"})")
      .hang();
  sandbox.installScript();
  for (const char* script : {R"("$0" --prompt hi >&-; echo $? > status)",
                             R"({ "$0" --prompt hi; echo $? > status; } | true)"}) {
    EXPECT_EQ(sandbox.run("/bin/sh", {"-c", script, helper}).status, ExitStatus::exitedWith(0));
    EXPECT_EQ(fakes::readFile(sandbox.home() + "/status"), "1\n") << script;
    EXPECT_TRUE(contains(sandbox.record().log, "sigterm")) << script;
  }
}

TEST_F(TarnoAssistantTest, EachEventIsWrittenAsSoonAsItHappens) {
  sandbox.script.print().out(R"({"type":"system","subtype":"init","session_id":"early"})").hang();
  sandbox.installScript();
  Started running = sandbox.start(helper, {"--prompt", "wait"});
  ASSERT_TRUE(eventually([&] { return sandbox.out().ends_with('\n'); })) << sandbox.out();
  EXPECT_EQ(eventLines(sandbox.out()), Events{AssistantEvent::sessionStarted("early")});
  EXPECT_TRUE(running.child.isRunning());
}

TEST_F(TarnoAssistantTest, TheModeWordsWinWhereverTheyStandServeFirstThenTheSignIn) {
  sandbox.script.login().out("Visit " + authURL + " to sign in.").exit(0);
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

  // The sign-in one-shot prints its events like a prompt one-shot.
  const HelperResult login = sandbox.run(helper, {"--prompt", "login"});
  EXPECT_EQ(login.status, ExitStatus::exitedWith(0));
  Events expected = signInPrompts;
  expected.push_back(AssistantEvent::finished(signedIn, false));
  EXPECT_EQ(eventLines(login.out), expected);
  EXPECT_EQ(sandbox.record().args, (Strings{"auth", "login"}));
}

TEST_F(TarnoAssistantTest, OnlyServeModeRunsTurnsWithTheMCPServerBesideTheExecutable) {
  sandbox.makeSupportDir();
  sandbox.script.print().out(resultLine);
  sandbox.script.status().out(fakes::authStatusJSON(true));
  sandbox.installScript();
  const std::string app = sandbox.home() + "/app";
  std::filesystem::create_directories(app);
  std::filesystem::copy_file(helper, app + "/tarno-assistant");
  std::ofstream(app + "/tarno-mcp") << "#!/bin/sh\n";
  std::filesystem::permissions(app + "/tarno-mcp", std::filesystem::perms::owner_all);
  // A copy beside a stand-in, and the build folder, where the real server sits beside it.
  for (const auto& [program, mcp] : {std::pair{app + "/tarno-assistant", app + "/tarno-mcp"},
                                     {helper, std::string(TARNO_MCP_PATH)}}) {
    const Started serving = serve(program);
    auto run =
        AssistantHelperClient::run(AssistantRunRequest{.prompt = "two"}, sandbox.socketPath());
    EXPECT_EQ(drain(run), Events{done});
    EXPECT_EQ(argAfter(sandbox.record().args, "--mcp-config"),
              TarnoAssistantConfig::mcpConfigJSON(mcp));
    // The server goes on answering after a run.
    EXPECT_TRUE(AssistantHelperClient::isReachable(sandbox.socketPath()));
    EXPECT_EQ(drain(AssistantHelperClient::status(sandbox.socketPath())),
              Events{AssistantEvent::finished("ready", false)});
  }
  EXPECT_EQ(sandbox.run(app + "/tarno-assistant", {"--prompt", "one"}).status,
            ExitStatus::exitedWith(0));
  EXPECT_FALSE(contains(sandbox.record().args, "--mcp-config")) << "a one-shot never falls back";
}

// A code sent while the sign-in waits reaches the CLI through the sign-in's own connection.
TEST_F(TarnoAssistantTest, ServeModeRelaysTheSignInAndItsCode) {
  sandbox.makeSupportDir();
  sandbox.script.login().out("Visit " + authURL).code("c0de-42").exit(0);
  sandbox.installScript();
  Started serving = serve();
  auto login = AssistantHelperClient::connect(sandbox.socketPath());
  Events awaiting = signInPrompts;
  awaiting.push_back(AssistantEvent::awaitingLoginCode());
  for (const AssistantEvent& expected : awaiting)
    EXPECT_EQ(nextWithin(login), expected);
  EXPECT_TRUE(AssistantHelperClient::submitLoginCode("\t c0de-42 \r\n"));
  EXPECT_EQ(drain(login), Events{AssistantEvent::finished(signedIn, false)});
  EXPECT_TRUE(contains(sandbox.record().log, "code c0de-42"));
}

// The helper's pid as this test sees it: the parent of the CLI it started.
pid_t parentOf(const std::string& pid) {
  std::ifstream status("/proc/" + pid + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("PPid:")) return std::stoi(line.substr(5));
  }
  return -1;
}

TEST_F(TarnoAssistantTest, SIGTERMEndsTheRunningCLIBeforeTheHelperExits) {
  sandbox.makeSupportDir();
  sandbox.script.print().out(resultLine).hang();
  sandbox.installScript();
  Started serving = serve();
  auto run = AssistantHelperClient::run(AssistantRunRequest{.prompt = "p"}, sandbox.socketPath());
  ASSERT_EQ(nextWithin(run), done);
  const pid_t served = parentOf(sandbox.record().pid);
  ASSERT_GT(served, 0);
  ASSERT_EQ(::kill(served, SIGTERM), 0);
  // The helper leads its pid namespace: had it exited first, the CLI would have been killed
  // without a word.
  EXPECT_EQ(serving.child.waitFor(30s), ExitStatus::exitedWith(0));
  EXPECT_TRUE(contains(sandbox.record().log, "sigterm"));
}

// Killed outright, the helper leaves no CLI running. It runs under a shell here: as the first
// process of its namespace, its death would end everything in it anyway.
TEST_F(TarnoAssistantTest, TheCLIDiesWithAHelperKilledOutright) {
  sandbox.makeSupportDir();
  sandbox.script.print().hang();
  sandbox.installScript();
  sandbox.programLeadsNamespace = false;
  Started serving = serve();
  auto run = AssistantHelperClient::run(AssistantRunRequest{.prompt = "p"}, sandbox.socketPath());
  ASSERT_TRUE(eventually([&] { return contains(sandbox.record().log, "start print"); }));
  const std::string cli = sandbox.record().pid;
  const pid_t served = parentOf(cli);
  ASSERT_GT(served, 1);  // never kill(-1)
  ASSERT_EQ(::kill(served, SIGKILL), 0);
  EXPECT_TRUE(eventually([&] { return ended(cli); }));
}

// A client that leaves is noticed at once: the CLI of its run or of its status check is asked
// to stop then, well within the grace a CLI that has finished its turn would get.
TEST_F(TarnoAssistantTest, AClientThatLeavesHasTheCLIOfItsRunOrStatusCheckStoppedAtOnce) {
  sandbox.makeSupportDir();
  sandbox.script.print().hang();
  sandbox.script.status().hang();
  sandbox.installScript();
  Started serving = serve();
  const std::pair<assistant::AssistantCommand, std::string> cases[] = {
      {assistant::AssistantCommand::run({.prompt = "p"}), "start print"},
      {assistant::AssistantCommand::status(), "start status"}};
  long stopped = 0;
  for (const auto& [command, startLine] : cases) {
    // A plain reference: clang 14 lambdas cannot capture a structured binding.
    const std::string& started = startLine;
    SCOPED_TRACE(started);
    assistant::unique_fd client = connectTo(sandbox.socketPath());
    ASSERT_TRUE(sendAll(client.get(), frame(command)));
    ASSERT_TRUE(eventually([&] { return contains(sandbox.record().log, started); }));
    const std::string cli = sandbox.record().pid;
    client.reset();
    EXPECT_TRUE(eventually([&] { return ended(cli); }, ChildProcess::terminationGrace / 2));
    const Strings log = sandbox.record().log;
    EXPECT_EQ(std::count(log.begin(), log.end(), "sigterm"), ++stopped);
  }
}

// Digit runs (descriptors, pids, uids) as "#", so that diagnostic lines compare exactly.
std::string masked(const std::string& text) {
  std::string out;
  for (const char c : text) {
    const bool digit = c >= '0' && c <= '9';
    if (!digit)
      out += c;
    else if (out.empty() || out.back() != '#')
      out += '#';
  }
  return out;
}

TEST_F(TarnoAssistantTest, DebugNotesGoToStandardErrorOnlyWhenAskedFor) {
  sandbox.makeSupportDir();
  sandbox.script.login().out("Visit " + authURL).exit(0);
  sandbox.installScript();
  const HelperResult quiet = sandbox.run(helper, {"login"});
  EXPECT_EQ(quiet.err, "");
  const HelperResult noted = sandbox.run(helper, {"login"}, {"TARNO_ASSISTANT_LOG=debug"});
  EXPECT_EQ(noted.out, quiet.out);
  EXPECT_EQ(masked(noted.err),
            "tarno-assistant: started claude auth login (pid #)\n"
            "tarno-assistant: sign-in started\n"
            "tarno-assistant: sign-in address found\n"
            "tarno-assistant: claude auth login (pid #) exited with status #\n"
            "tarno-assistant: sign-in finished: signed in\n");

  Started serving = sandbox.start(helper, {"serve"}, {"TARNO_ASSISTANT_LOG=debug"});
  ASSERT_TRUE(eventually([&] { return !sandbox.err().empty(); }));
  const assistant::unique_fd client = connectTo(sandbox.socketPath());
  ASSERT_TRUE(sendAll(client.get(), R"({"run":{"_0":{"model":"opus"}}})"
                                    "\n"));
  EXPECT_EQ(readEvents(client.get()), Events{});  // closed unanswered
  EXPECT_TRUE(eventually([&] {
    return masked(sandbox.err()) ==
           "tarno-assistant: serving on " + masked(sandbox.socketPath()) +
               "\n"
               "tarno-assistant: connection # accepted: peer uid #\n"
               "tarno-assistant: frame does not decode as a command: No value associated with key "
               "\"prompt\". at run._#.prompt\n";
  })) << sandbox.err();
}

}  // namespace
}  // namespace tarno::testing
