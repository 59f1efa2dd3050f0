// fake-claude itself: what later runner and sign-in tests rely on it to do and record.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "fakes/fake_claude_script.hpp"
#include "tarno/assistant/support/unique_fd.hpp"

namespace tarno::assistant {
namespace {

using Strings = std::vector<std::string>;
using fakes::FakeClaudeScript;

struct Launch {
  Strings args{};
  Strings environment{};
  std::string cwd = "/";
  bool mergeStderr = false;  // standard error into the standard output pipe
  std::string terminal{};    // when set: all three streams on this terminal, in a new session
};

struct Outcome {
  std::string out, err;
  int status = -1;  // as waitpid reports it
};

pid_t spawnFake(const Launch& launch, int outFd, int errFd) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  if (launch.terminal.empty()) {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, outFd, 1);
    posix_spawn_file_actions_adddup2(&actions, launch.mergeStderr ? outFd : errFd, 2);
  } else {
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSID);
    posix_spawn_file_actions_addopen(&actions, 0, launch.terminal.c_str(), O_RDWR, 0);
    posix_spawn_file_actions_adddup2(&actions, 0, 1);
    posix_spawn_file_actions_adddup2(&actions, 0, 2);
  }
  posix_spawn_file_actions_addchdir_np(&actions, launch.cwd.c_str());
  Strings argvStrings = {"fake-claude"};
  argvStrings.insert(argvStrings.end(), launch.args.begin(), launch.args.end());
  std::vector<char*> argv, envp;
  for (std::string& s : argvStrings)
    argv.push_back(s.data());
  argv.push_back(nullptr);
  Strings env = launch.environment;
  for (std::string& s : env)
    envp.push_back(s.data());
  envp.push_back(nullptr);
  pid_t pid = -1;
  const int rc =
      posix_spawn(&pid, TARNO_FAKE_CLAUDE_PATH, &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return rc == 0 ? pid : -1;
}

// Reads until every descriptor reports end of file (or EIO, as a terminal master does), with
// a generous deadline so that a broken fake fails the test instead of hanging it.
void drain(std::vector<std::pair<int, std::string*>> sources,
           const std::function<void(const std::string&)>& onRead = {}) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!sources.empty()) {
    std::vector<pollfd> fds;
    for (const auto& source : sources)
      fds.push_back({source.first, POLLIN, 0});
    ASSERT_GT(::poll(fds.data(), fds.size(), 200) + 1, 0);
    ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "fake-claude did not finish";
    for (std::size_t i = fds.size(); i-- > 0;) {
      if (fds[i].revents == 0) continue;
      char buf[65536];
      const ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
      if (n > 0) {
        sources[i].second->append(buf, static_cast<std::size_t>(n));
        if (onRead) onRead(*sources[i].second);
      } else if (n == 0 || errno != EINTR) {
        sources.erase(sources.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
}

int reap(pid_t pid) {
  int status = -1;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

// Runs the fake over pipes; `onOutput` sees standard output so far after every read.
Outcome run(const Launch& launch,
            const std::function<void(pid_t, const std::string&)>& onOutput = {}) {
  Outcome outcome;
  auto out = makePipe(), err = makePipe();
  if (!out || !err) return outcome;
  const pid_t pid = spawnFake(launch, out->writeEnd.get(), err->writeEnd.get());
  if (pid < 0) return outcome;
  out->writeEnd.reset();
  err->writeEnd.reset();
  drain({{out->readEnd.get(), &outcome.out}, {err->readEnd.get(), &outcome.err}},
        [&](const std::string& text) {
          if (onOutput && &text == &outcome.out) onOutput(pid, text);
        });
  outcome.status = reap(pid);
  return outcome;
}

class FakeClaudeTest : public ::testing::Test {
 protected:
  fakes::TempDir home;
  Strings tinyEnv() const { return {"HOME=" + home.path()}; }
  Launch print(Strings extra = {}) const {
    Strings args = {"-p", "hello"};
    args.insert(args.end(), extra.begin(), extra.end());
    return {.args = args, .environment = tinyEnv()};
  }
  fakes::FakeClaudeRecord record() const { return fakes::readFakeClaudeRecord(home.path()); }
  static bool exitedWith(int status, int code) {
    return WIFEXITED(status) && WEXITSTATUS(status) == code;
  }
};

TEST_F(FakeClaudeTest, RecordsArgumentsEnvironmentDirectoryAndStreams) {
  FakeClaudeScript script;
  script.print();
  script.install(home.path());
  Launch launch = print({"two\nlines", ""});
  launch.environment.push_back("LANG=C.UTF-8");
  launch.cwd = home.path() + "/.fake-claude";

  const Outcome outcome = run(launch);
  EXPECT_TRUE(exitedWith(outcome.status, 0));
  EXPECT_EQ(outcome.out, "");
  const fakes::FakeClaudeRecord rec = record();
  EXPECT_EQ(rec.args, (Strings{"-p", "hello", "two\nlines", ""}));
  EXPECT_EQ(rec.environment, (Strings{"HOME=" + home.path(), "LANG=C.UTF-8"}));
  EXPECT_EQ(rec.cwd, home.path() + "/.fake-claude");
  ASSERT_EQ(rec.stdio.size(), 3u);
  EXPECT_EQ(rec.stdio[0], "0 null");
  EXPECT_EQ(rec.stdio[1].rfind("1 pipe:", 0), 0u);
  EXPECT_EQ(rec.stdio[2].rfind("2 pipe:", 0), 0u);
  EXPECT_NE(rec.stdio[1].substr(2), rec.stdio[2].substr(2));
  EXPECT_EQ(rec.tty, "");
  EXPECT_EQ(rec.log, (Strings{"start print", "exit 0"}));
}

TEST_F(FakeClaudeTest, PrintWritesScriptedBytesExactly) {
  FakeClaudeScript script;
  script.print()
      .out(R"({"type":"system","subtype":"init"})")
      .outRaw("bad \xFF\xC3(\n")
      .err("something went wrong")
      .outFill(300000, "abc")
      .out("")
      .sleepMs(150)
      .outRaw("no newline at the end")
      .exit(3);
  script.install(home.path());

  const auto start = std::chrono::steady_clock::now();
  const Outcome outcome = run(print());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
  EXPECT_TRUE(exitedWith(outcome.status, 3));
  std::string fill;
  for (int i = 0; i < 300000; ++i)
    fill += "abc";
  EXPECT_EQ(outcome.out, "{\"type\":\"system\",\"subtype\":\"init\"}\nbad \xFF\xC3(\n" + fill +
                             "\nno newline at the end");
  EXPECT_EQ(outcome.err, "something went wrong\n");
  EXPECT_EQ(record().log.back(), "exit 3");
}

TEST_F(FakeClaudeTest, DiesOfAScriptedSignal) {
  FakeClaudeScript script;
  script.print().out("partial").signal(SIGKILL).out("never");
  script.install(home.path());
  const Outcome outcome = run(print());
  ASSERT_TRUE(WIFSIGNALED(outcome.status));
  EXPECT_EQ(WTERMSIG(outcome.status), SIGKILL);
  EXPECT_EQ(outcome.out, "partial\n");
}

TEST_F(FakeClaudeTest, HangsUntilSIGTERMThenRunsTheRest) {
  FakeClaudeScript script;
  script.print().out("ready").hang().out("bye").exit(7);
  script.install(home.path());
  bool sent = false;
  const Outcome outcome = run(print(), [&](pid_t pid, const std::string& out) {
    if (!sent && out == "ready\n") sent = ::kill(pid, SIGTERM) == 0;
  });
  EXPECT_TRUE(sent);
  EXPECT_TRUE(exitedWith(outcome.status, 7));
  EXPECT_EQ(outcome.out, "ready\nbye\n");
  EXPECT_EQ(record().log, (Strings{"start print", "sigterm", "exit 7"}));
}

TEST_F(FakeClaudeTest, SIGTERMWithoutHangEndsItBySignal) {
  FakeClaudeScript script;
  script.print().out("ready").sleepMs(30000).out("never");
  script.install(home.path());
  const Outcome outcome = run(print(), [](pid_t pid, const std::string&) { ::kill(pid, SIGTERM); });
  ASSERT_TRUE(WIFSIGNALED(outcome.status));
  EXPECT_EQ(WTERMSIG(outcome.status), SIGTERM);
  EXPECT_EQ(outcome.out, "ready\n");
  EXPECT_EQ(record().log, (Strings{"start print", "sigterm", "signal 15"}));
}

TEST_F(FakeClaudeTest, AuthStatusOnOneSharedPipe) {
  FakeClaudeScript script;
  script.status().err("warning: update available").out(fakes::authStatusJSON(true));
  script.install(home.path());
  const Outcome outcome =
      run({.args = {"auth", "status"}, .environment = tinyEnv(), .mergeStderr = true});
  EXPECT_TRUE(exitedWith(outcome.status, 0));
  EXPECT_EQ(outcome.out,
            "warning: update available\n{\"loggedIn\":true,\"authMethod\":\"claude.ai\"}\n");
  const fakes::FakeClaudeRecord rec = record();
  ASSERT_EQ(rec.stdio.size(), 3u);
  EXPECT_EQ(rec.stdio[1].substr(2), rec.stdio[2].substr(2));
  EXPECT_EQ(rec.log.front(), "start status");
}

TEST_F(FakeClaudeTest, RefusesWhatItCannotPlay) {
  FakeClaudeScript script;
  script.print().out("x");
  script.install(home.path());
  Outcome outcome = run({.args = {"auth", "status"}, .environment = tinyEnv()});
  EXPECT_TRUE(exitedWith(outcome.status, 64));
  EXPECT_NE(outcome.err.find("[status]"), std::string::npos);
  EXPECT_TRUE(exitedWith(run({.args = {"--version"}, .environment = tinyEnv()}).status, 64));
  EXPECT_TRUE(exitedWith(run({.args = {"-p", "x"}, .environment = {}}).status, 64));
}

// A sign-in on a real pseudo-terminal: answers the code prompt with `code`.
struct LoginOutcome {
  std::string output;
  int status = -1;
};

LoginOutcome login(const Strings& env, const std::string& cwd, const std::string& code) {
  LoginOutcome outcome;
  int master = -1, slave = -1;
  winsize size{.ws_row = 200, .ws_col = 4000, .ws_xpixel = 0, .ws_ypixel = 0};
  if (::openpty(&master, &slave, nullptr, nullptr, &size) != 0) return outcome;
  unique_fd masterFd(master), slaveFd(slave);
  ::fcntl(master, F_SETFD, FD_CLOEXEC);
  ::fcntl(slave, F_SETFD, FD_CLOEXEC);
  const pid_t pid = spawnFake(
      {.args = {"auth", "login"}, .environment = env, .cwd = cwd, .terminal = ::ttyname(slave)}, -1,
      -1);
  slaveFd.reset();
  if (pid < 0) return outcome;
  bool answered = false;
  drain({{master, &outcome.output}}, [&](const std::string& text) {
    if (!answered && text.ends_with("Paste code here if prompted > ")) {
      const std::string line = code + "\n";
      answered = ::write(master, line.data(), line.size()) == static_cast<ssize_t>(line.size());
    }
  });
  outcome.status = reap(pid);
  return outcome;
}

TEST_F(FakeClaudeTest, LoginOnATerminalWithTheRightCode) {
  const std::string url = "https://claude.ai/oauth/authorize?code=true&state=abc";
  FakeClaudeScript script;
  script.login()
      .out("Opening browser to sign in\xE2\x80\xA6")
      .out(fakes::osc8Link(url, "Click here"))
      .code("ABC-123");
  script.install(home.path());

  const LoginOutcome outcome = login(tinyEnv(), home.path(), "ABC-123");
  EXPECT_TRUE(exitedWith(outcome.status, 0));
  EXPECT_NE(outcome.output.find("\x1b]8;;" + url + "\aClick here\x1b]8;;\a"), std::string::npos);
  EXPECT_NE(outcome.output.find("Login successful."), std::string::npos);
  const fakes::FakeClaudeRecord rec = record();
  EXPECT_EQ(rec.tty, "200 4000 controlling");
  EXPECT_EQ(rec.stdio[0], "0 tty");
  EXPECT_EQ(rec.log, (Strings{"start login", "code ABC-123", "exit 0"}));
}

TEST_F(FakeClaudeTest, LoginFailsOnAWrongCode) {
  FakeClaudeScript script;
  script.login().outRaw(fakes::osc8Link("https://x.test/login", "sign in", true)).code("RIGHT");
  script.install(home.path());

  const LoginOutcome outcome = login(tinyEnv(), home.path(), "WRONG");
  EXPECT_TRUE(exitedWith(outcome.status, 1));
  EXPECT_NE(outcome.output.find("\x1b]8;;https://x.test/login\x1b\\sign in\x1b]8;;\x1b\\"),
            std::string::npos);
  EXPECT_NE(outcome.output.find("Login failed"), std::string::npos);
  EXPECT_EQ(record().log, (Strings{"start login", "code WRONG", "exit 1"}));
}

}  // namespace
}  // namespace tarno::assistant
