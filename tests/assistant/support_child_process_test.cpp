// ChildProcess against real programs: environment, working directory, streams, exit statuses,
// launch failures, signals, concurrent wait/terminate and descriptor/zombie hygiene.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "fakes/fake_claude_script.hpp"
#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/assistant/support/environment.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using Stdio = ChildProcess::Stdio;
using Options = ChildProcess::Options;

std::string readAll(int fd) {
  std::string out;
  std::array<char, 4096> buffer;
  for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;)
    out.append(buffer.data(), static_cast<size_t>(n));
  return out;
}

ChildProcess spawnOrFail(const Options& options) {
  auto result = ChildProcess::spawn(options);
  if (auto* error = std::get_if<LaunchError>(&result)) {
    ADD_FAILURE() << "spawn " << options.executable << ": " << error->message;
    return {};
  }
  return std::move(std::get<ChildProcess>(result));
}

// Runs a program with standard output on a pipe; returns what it printed and how it ended.
std::pair<std::string, ExitStatus> capture(Options options) {
  options.standardOutput = Stdio::piped();
  auto child = spawnOrFail(options);
  unique_fd out = child.takeStdout();
  std::string text = out ? readAll(out.get()) : "";
  return {text, child.wait()};
}

Options shell(const std::string& script) {
  return Options("/bin/sh").withArguments({"-c", script}).withEnvironment({"PATH=/usr/bin:/bin"});
}

TEST(SupportChildProcess, ChildGetsExactlyTheGivenEnvironmentArgumentsAndDirectory) {
  ::setenv("TARNO_PARENT_ONLY", "leak=1", 1);
  EXPECT_EQ(processEnvironment().at("TARNO_PARENT_ONLY"), "leak=1");
  const Environment given = {{"BETA", "two words"}, {"EMPTY", ""}, {"ALPHA", "1"}};
  auto [env, envStatus] =
      capture(Options("/usr/bin/env").withEnvironment(environmentEntries(given)));
  auto [none, noneStatus] = capture(Options("/usr/bin/env"));
  ::unsetenv("TARNO_PARENT_ONLY");
  EXPECT_EQ(env, "ALPHA=1\nBETA=two words\nEMPTY=\n");
  EXPECT_EQ(envStatus, ExitStatus::exitedWith(0));
  EXPECT_EQ(none, "");

  auto [cmdline, cmdlineStatus] = capture(
      Options("/bin/cat").withArguments({"/proc/self/cmdline", ""}).withArgv0("custom argv0"));
  EXPECT_EQ(cmdline, "custom argv0\0/proc/self/cmdline\0\0"s);

  fakes::TempDir dir;
  auto [pwd, pwdStatus] = capture(shell("pwd -P").withWorkingDirectory(dir.path()));
  EXPECT_EQ(pwd, std::filesystem::canonical(dir.path()).string() + "\n");
}

TEST(SupportChildProcess, StreamsOnDevNullOrAGivenDescriptor) {
  auto [input, inputStatus] = capture(Options("/bin/readlink")
                                          .withArguments({"/proc/self/fd/0"})
                                          .withStandardInput(Stdio::devNull()));
  EXPECT_EQ(input, "/dev/null\n");

  // A descriptor the caller owns, given as both output streams, stays open here.
  auto pipe = makePipe();
  ASSERT_TRUE(pipe);
  auto writer = spawnOrFail(shell("echo one; echo two >&2")
                                .withStandardOutput(Stdio::descriptor(pipe->writeEnd.get()))
                                .withStandardError(Stdio::descriptor(pipe->writeEnd.get())));
  EXPECT_TRUE(writer.wait().succeeded());
  EXPECT_NE(::fcntl(pipe->writeEnd.get(), F_GETFD), -1);
  pipe->writeEnd.reset();
  EXPECT_EQ(readAll(pipe->readEnd.get()), "one\ntwo\n");
}

TEST(SupportChildProcess, ReportsExitCodesAndSignalsAndIgnoresSignalsAfterReap) {
  EXPECT_EQ(capture(shell("exit 7")).second, ExitStatus::exitedWith(7));
  EXPECT_EQ(capture(shell("kill -KILL $$")).second, ExitStatus::killedBy(SIGKILL));
  // An unbounded time-out waits for the child instead of overflowing its deadline.
  auto quick = spawnOrFail(shell("sleep 0.05; exit 3"));
  EXPECT_EQ(quick.waitFor(std::chrono::milliseconds::max()), ExitStatus::exitedWith(3));

  // Terminated while another thread waits for it.
  auto sleeper = spawnOrFail(Options("/bin/sleep").withArguments({"10"}));
  ExitStatus waited;
  {
    std::jthread waiter([&] { waited = sleeper.wait(); });
    EXPECT_EQ(sleeper.waitFor(20ms), std::nullopt);
    EXPECT_TRUE(sleeper.terminate());
  }
  EXPECT_EQ(waited, ExitStatus::killedBy(SIGTERM));
  EXPECT_EQ(sleeper.wait(), ExitStatus::killedBy(SIGTERM)) << "the same status every time";
  EXPECT_FALSE(sleeper.isRunning());
  EXPECT_FALSE(sleeper.terminate());
  EXPECT_FALSE(sleeper.sendSignal(SIGKILL));
  EXPECT_FALSE(ChildProcess().terminate());
}

TEST(SupportChildProcess, LaunchFailuresCarryErrnoAndItsText) {
  fakes::TempDir dir;
  const std::string script = dir.path() + "/script";
  std::ofstream(script) << "#!/nonexistent/tarno-interpreter\necho hi\n";
  ::chmod(script.c_str(), 0755);
  const std::string plain = dir.path() + "/plain";
  std::ofstream(plain) << "echo hi\n";

  const struct {
    Options options;
    LaunchError expected;
  } cases[] = {
      {Options("/nonexistent/tarno-no-such-program"), {ENOENT, "No such file or directory"}},
      {Options(script), {ENOENT, "No such file or directory"}},
      {Options(plain), {EACCES, "Permission denied"}},
      {Options("/bin/true").withWorkingDirectory(dir.path() + "/missing"),
       {ENOENT, "No such file or directory"}},
      {Options("/bin/true").withArguments({"-p", std::string("a\0b", 3)}),
       {EINVAL, "Invalid argument"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options.executable);
    auto result = ChildProcess::spawn(c.options);
    ASSERT_TRUE(std::holds_alternative<LaunchError>(result));
    EXPECT_EQ(std::get<LaunchError>(result), c.expected);
  }
}

TEST(SupportChildProcess, ChildStartsWithDefaultSignalsAndEmptyMask) {
  // What a daemon typically has: SIGPIPE ignored, and a signal blocked in the spawning thread.
  const auto oldPipe = ::signal(SIGPIPE, SIG_IGN);
  sigset_t block;
  sigset_t oldMask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &block, &oldMask);
  auto [status, statusExit] =
      capture(Options("/bin/grep").withArguments({"-E", "^Sig(Blk|Ign):", "/proc/self/status"}));
  ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  ::signal(SIGPIPE, oldPipe);

  unsigned long long blocked = ~0ull;
  unsigned long long ignored = ~0ull;
  ASSERT_EQ(std::sscanf(status.c_str(), "SigBlk: %llx SigIgn: %llx", &blocked, &ignored), 2)
      << status;
  EXPECT_EQ(blocked, 0u);
  // Signals 32 and 33 belong to the C library, which keeps them out of every signal set we can
  // pass; it leaves them ignored in a spawned child and the child's own C library takes them
  // back when it needs them.
  const unsigned long long libraryOwned = (1ull << 31) | (1ull << 32);
  EXPECT_EQ(ignored & ~libraryOwned, 0u) << status;
}

// Children die with this process, but not with the thread that happened to start them.
TEST(SupportChildProcess, AChildOutlivesTheThreadThatStartedIt) {
  ChildProcess child;
  std::thread([&] { child = spawnOrFail(Options("/bin/sleep").withArguments({"10"})); }).join();
  EXPECT_EQ(child.waitFor(300ms), std::nullopt);
  EXPECT_EQ(child.terminateAndWait(), ExitStatus::killedBy(SIGTERM));
}

TEST(SupportChildProcess, EndingAChildIgnoringSigtermKillsItReapsItAndClosesItsPipes) {
  const auto openDescriptors = [] {
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {});
  };
  const auto before = openDescriptors();
  pid_t stubborn;
  {
    auto child = spawnOrFail(shell("trap '' TERM; echo ready; exec /bin/sleep 10")
                                 .withStandardOutput(Stdio::piped())
                                 .withStandardError(Stdio::piped()));
    stubborn = child.pid();
    unique_fd out = child.takeStdout();
    std::array<char, 16> buffer;
    ASSERT_EQ(readWithin(out.get(), buffer, 5s).status, ReadResult::Status::data);
    EXPECT_EQ(child.terminateAndWait(100ms), ExitStatus::killedBy(SIGKILL));
  }
  siginfo_t info{};
  EXPECT_NE(::waitid(P_PID, static_cast<id_t>(stubborn), &info, WEXITED | WNOHANG), 0)
      << "not reaped";
  EXPECT_EQ(openDescriptors(), before) << "the untaken standard error pipe";
}

}  // namespace
}  // namespace tarno::assistant
