// ChildProcess against real programs: environment, working directory, streams, exit statuses,
// launch failures, signals, concurrent wait/terminate and descriptor/zombie hygiene.
#include <dirent.h>
#include <fcntl.h>
#include <gmock/gmock.h>
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
#include <vector>

#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/assistant/support/event_stream.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;
using Stdio = ChildProcess::Stdio;
using Options = ChildProcess::Options;
using ::testing::HasSubstr;

// Everything until end of file, giving up after a few seconds so a fault fails instead of
// hanging the suite.
std::string readAll(int fd) {
  std::string out;
  std::array<char, 4096> buffer;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    auto r = readWithin(fd, buffer, 100ms);
    if (r.status == ReadResult::Status::data) {
      out.append(buffer.data(), r.size);
    } else if (r.status != ReadResult::Status::timedOut) {
      break;
    }
  }
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

int countOpenDescriptors() {
  int count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr)
      ++count;
    ::closedir(dir);
  }
  return count;
}

bool isUnreapedChild(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0;
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "tarno-child-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~TempDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

TEST(SupportChildProcess, ChildSeesExactlyTheGivenEnvironment) {
  ::setenv("TARNO_PARENT_ONLY", "leak", 1);
  auto [out, status] =
      capture(Options("/usr/bin/env").withEnvironment({"ALPHA=1", "BETA=two words", "EMPTY="}));
  ::unsetenv("TARNO_PARENT_ONLY");
  EXPECT_EQ(out, "ALPHA=1\nBETA=two words\nEMPTY=\n");
  EXPECT_EQ(status, ExitStatus::exitedWith(0));

  auto [none, noneStatus] = capture(Options("/usr/bin/env"));
  EXPECT_EQ(none, "");
  EXPECT_TRUE(noneStatus.succeeded());
}

TEST(SupportChildProcess, ArgumentsAndArgv0) {
  auto [out, status] = capture(shell("printf '%s|' \"$0\" \"$@\"; echo"));
  EXPECT_EQ(out, "/bin/sh|\n");

  auto options = shell("printf '%s|' \"$0\" \"$@\"");
  options.arguments.insert(options.arguments.end(), {"name", "a b", ""});
  auto [named, namedStatus] = capture(options);
  EXPECT_EQ(named, "name|a b||");

  using namespace std::string_literals;
  auto [cmdline, cmdlineStatus] =
      capture(Options("/bin/cat").withArguments({"/proc/self/cmdline"}).withArgv0("custom-argv0"));
  EXPECT_EQ(cmdline, "custom-argv0\0/proc/self/cmdline\0"s);
}

TEST(SupportChildProcess, RunsInTheGivenWorkingDirectory) {
  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  auto options = shell("pwd -P");
  options.workingDirectory = dir.path();
  auto [out, status] = capture(options);
  EXPECT_EQ(out, std::filesystem::canonical(dir.path()).string() + "\n");

  auto [inherited, inheritedStatus] = capture(shell("pwd -P"));
  EXPECT_EQ(inherited, std::filesystem::canonical(std::filesystem::current_path()).string() + "\n");
}

TEST(SupportChildProcess, PipesRoundTripAndDevNullInput) {
  auto cat = spawnOrFail(Options("/bin/cat")
                             .withStandardInput(Stdio::piped())
                             .withStandardOutput(Stdio::piped())
                             .withStandardError(Stdio::devNull()));
  unique_fd in = cat.takeStdin();
  unique_fd out = cat.takeStdout();
  ASSERT_TRUE(in && out);
  EXPECT_FALSE(cat.takeStdin()) << "taken once";
  EXPECT_NE(::fcntl(in.get(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(::fcntl(out.get(), F_GETFD) & FD_CLOEXEC, 0);
  ASSERT_TRUE(writeAll(in.get(), "hello\nworld"));
  in.reset();
  EXPECT_EQ(readAll(out.get()), "hello\nworld");
  EXPECT_EQ(cat.wait(), ExitStatus::exitedWith(0));

  // With /dev/null as input cat ends at once instead of waiting on our terminal or pipe.
  auto [nothing, status] = capture(Options("/bin/cat").withStandardInput(Stdio::devNull()));
  EXPECT_EQ(nothing, "");
  EXPECT_TRUE(status.succeeded());
}

TEST(SupportChildProcess, StandardErrorAndGivenDescriptors) {
  auto options = shell("echo out; echo err >&2");
  options.standardError = Stdio::piped();
  options.standardOutput = Stdio::piped();
  auto child = spawnOrFail(options);
  unique_fd out = child.takeStdout();
  unique_fd err = child.takeStderr();
  EXPECT_EQ(readAll(out.get()), "out\n");
  EXPECT_EQ(readAll(err.get()), "err\n");
  child.wait();

  // A descriptor the caller owns, given as both output streams; it stays open here.
  auto pipe = makePipe();
  ASSERT_TRUE(pipe);
  auto shared = shell("echo one; echo two >&2");
  shared.standardOutput = Stdio::descriptor(pipe->writeEnd.get());
  shared.standardError = Stdio::descriptor(pipe->writeEnd.get());
  auto writer = spawnOrFail(shared);
  EXPECT_TRUE(writer.wait().succeeded());
  EXPECT_NE(::fcntl(pipe->writeEnd.get(), F_GETFD), -1);
  pipe->writeEnd.reset();
  EXPECT_EQ(readAll(pipe->readEnd.get()), "one\ntwo\n");
}

TEST(SupportChildProcess, GivenDescriptorsBelowThreeDoNotOverwriteEachOther) {
  // Swap roles: the child's stdout gets what is our fd 0 slot and its stdin gets a pipe.
  // Moving a pipe end onto our fd 0 forces a low source descriptor.
  auto in = makePipe();
  auto out = makePipe();
  ASSERT_TRUE(in && out);
  unique_fd savedStdin = duplicateCloexec(0, 3);
  ASSERT_TRUE(savedStdin);
  ASSERT_EQ(::dup3(out->writeEnd.get(), 0, O_CLOEXEC), 0);
  auto child = spawnOrFail(Options("/bin/cat")
                               .withStandardInput(Stdio::descriptor(in->readEnd.get()))
                               .withStandardOutput(Stdio::descriptor(0)));
  ASSERT_EQ(::dup3(savedStdin.get(), 0, 0), 0);
  out->writeEnd.reset();
  in->readEnd.reset();
  ASSERT_TRUE(writeAll(in->writeEnd.get(), "through"));
  in->writeEnd.reset();
  EXPECT_EQ(readAll(out->readEnd.get()), "through");
  EXPECT_TRUE(child.wait().succeeded());
}

TEST(SupportChildProcess, ReportsExitCodesAndSignals) {
  EXPECT_EQ(capture(shell("exit 7")).second, ExitStatus::exitedWith(7));
  EXPECT_EQ(capture(shell("exit 0")).second, ExitStatus::exitedWith(0));
  EXPECT_EQ(capture(shell("kill -KILL $$")).second, ExitStatus::killedBy(SIGKILL));

  auto sleeper = spawnOrFail(Options("/bin/sleep").withArguments({"10"}));
  EXPECT_TRUE(sleeper.isRunning());
  EXPECT_TRUE(sleeper.terminate());
  EXPECT_EQ(sleeper.wait(), ExitStatus::killedBy(SIGTERM));
  EXPECT_EQ(sleeper.wait(), ExitStatus::killedBy(SIGTERM)) << "the same status every time";

  // An unbounded time-out waits for the child instead of overflowing its deadline.
  auto quick = spawnOrFail(shell("sleep 0.05; exit 3"));
  EXPECT_EQ(quick.waitFor(std::chrono::milliseconds::max()), ExitStatus::exitedWith(3));
}

TEST(SupportChildProcess, SignalsAfterReapAreNoOps) {
  auto child = spawnOrFail(Options("/bin/true"));
  EXPECT_TRUE(child.wait().succeeded());
  EXPECT_FALSE(child.isRunning());
  EXPECT_FALSE(child.terminate());
  EXPECT_FALSE(child.sendSignal(SIGKILL));
  EXPECT_EQ(child.waitFor(0ms), ExitStatus::exitedWith(0));

  ChildProcess none;
  EXPECT_EQ(none.pid(), -1);
  EXPECT_FALSE(none.terminate());
  EXPECT_FALSE(none.isRunning());
}

TEST(SupportChildProcess, LaunchFailuresCarryErrnoAndItsText) {
  auto missing = ChildProcess::spawn(Options("/nonexistent/tarno-no-such-program"));
  ASSERT_TRUE(std::holds_alternative<LaunchError>(missing));
  EXPECT_EQ(std::get<LaunchError>(missing), (LaunchError{ENOENT, "No such file or directory"}));

  TempDir dir;
  ASSERT_FALSE(dir.path().empty());
  const std::string script = dir.path() + "/script";
  std::ofstream(script) << "#!/nonexistent/tarno-interpreter\necho hi\n";
  ::chmod(script.c_str(), 0755);
  auto noInterpreter = ChildProcess::spawn(Options(script));
  ASSERT_TRUE(std::holds_alternative<LaunchError>(noInterpreter));
  EXPECT_EQ(std::get<LaunchError>(noInterpreter).code, ENOENT);
  EXPECT_EQ(std::get<LaunchError>(noInterpreter).message, "No such file or directory");

  const std::string notExecutable = dir.path() + "/plain";
  std::ofstream(notExecutable) << "echo hi\n";
  auto denied = ChildProcess::spawn(Options(notExecutable));
  ASSERT_TRUE(std::holds_alternative<LaunchError>(denied));
  EXPECT_EQ(std::get<LaunchError>(denied).code, EACCES);

  auto badDirectory =
      ChildProcess::spawn(Options("/bin/true").withWorkingDirectory(dir.path() + "/missing"));
  ASSERT_TRUE(std::holds_alternative<LaunchError>(badDirectory));
  EXPECT_EQ(std::get<LaunchError>(badDirectory).code, ENOENT);
}

TEST(SupportChildProcess, ChildStartsWithDefaultSignalsAndEmptyMask) {
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  struct sigaction oldPipe {};
  struct sigaction oldTerm {};
  ::sigaction(SIGPIPE, &ignore, &oldPipe);
  ::sigaction(SIGTERM, &ignore, &oldTerm);
  sigset_t block;
  sigset_t oldMask;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  sigaddset(&block, SIGUSR1);
  ::pthread_sigmask(SIG_BLOCK, &block, &oldMask);

  auto [status, statusExit] =
      capture(Options("/bin/grep").withArguments({"-E", "^Sig(Blk|Ign):", "/proc/self/status"}));
  auto sleeper = spawnOrFail(Options("/bin/sleep").withArguments({"10"}));

  ::pthread_sigmask(SIG_SETMASK, &oldMask, nullptr);
  ::sigaction(SIGPIPE, &oldPipe, nullptr);
  ::sigaction(SIGTERM, &oldTerm, nullptr);

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
  sleeper.terminate();
  EXPECT_EQ(sleeper.wait(), ExitStatus::killedBy(SIGTERM));
}

TEST(SupportChildProcess, WaitAndTerminateFromDifferentThreads) {
  auto child = spawnOrFail(Options("/bin/sleep").withArguments({"10"}));
  ExitStatus first;
  ExitStatus second;
  {
    std::jthread waiterA([&] { first = child.wait(); });
    std::jthread waiterB([&] { second = child.wait(); });
    std::this_thread::sleep_for(30ms);
    EXPECT_EQ(child.waitFor(20ms), std::nullopt);
    EXPECT_TRUE(child.terminate());
  }
  EXPECT_EQ(first, ExitStatus::killedBy(SIGTERM));
  EXPECT_EQ(second, first);
  EXPECT_FALSE(child.terminate());
}

TEST(SupportChildProcess, StreamCancellationHookTerminatesTheChild) {
  auto child = spawnOrFail(Options("/bin/sleep").withArguments({"10"}));
  {
    auto made = EventStream<int>::make();
    made.second.onTermination([&child](Termination) { child.terminate(); });
    std::jthread body([&child, c = std::move(made.second)] {
      c.yield(1);
      child.wait();
      c.finish();
    });
    EXPECT_EQ(made.first.next(), 1);
    // The consumer goes away while the child still runs.
    auto gone = std::move(made.first);
  }
  EXPECT_EQ(child.wait(), ExitStatus::killedBy(SIGTERM));
}

TEST(SupportChildProcess, DestructorReapsEvenAChildIgnoringSigterm) {
  pid_t polite;
  {
    auto child = spawnOrFail(Options("/bin/sleep").withArguments({"10"}));
    polite = child.pid();
  }
  EXPECT_FALSE(isUnreapedChild(polite));

  auto options = shell("trap '' TERM; echo ready; exec /bin/sleep 10");
  options.standardOutput = Stdio::piped();
  pid_t stubborn;
  const auto start = std::chrono::steady_clock::now();
  {
    auto child = spawnOrFail(options);
    stubborn = child.pid();
    unique_fd out = child.takeStdout();
    std::array<char, 16> buffer;
    ASSERT_EQ(readWithin(out.get(), buffer, 5s).status, ReadResult::Status::data);
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, ChildProcess::terminationGrace);
  EXPECT_FALSE(isUnreapedChild(stubborn));
}

TEST(SupportChildProcess, ManySpawnsLeaveNoZombieAndNoDescriptor) {
  const int before = countOpenDescriptors();
  std::vector<pid_t> pids;
  for (int i = 0; i < 500; ++i) {
    auto child = spawnOrFail(Options("/bin/true")
                                 .withStandardInput(Stdio::devNull())
                                 .withStandardOutput(Stdio::piped())
                                 .withStandardError(Stdio::piped()));
    ASSERT_NE(child.pid(), -1);
    pids.push_back(child.pid());
    if (i % 2 == 0) {
      unique_fd out = child.takeStdout();
      ASSERT_TRUE(child.wait().succeeded());
    }
    // Odd rounds leave the pipes and the reap to the destructor.
  }
  EXPECT_EQ(countOpenDescriptors(), before);
  for (pid_t pid : pids)
    ASSERT_FALSE(isUnreapedChild(pid)) << pid;
}

}  // namespace
}  // namespace tarno::assistant
