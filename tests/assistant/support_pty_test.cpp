// Pty with real children: controlling terminal in a new session, window size, and talking to
// the child through the master.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <string>

#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/assistant/support/pty.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;

// Reads the master until the terminal is closed on the child's side (EIO) or time runs out.
std::string readTerminal(int master) {
  std::string out;
  std::array<char, 8192> buffer;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    auto r = readWithin(master, buffer, 100ms);
    if (r.status == ReadResult::Status::data) {
      out.append(buffer.data(), r.size);
    } else if (r.status != ReadResult::Status::timedOut) {
      break;
    }
  }
  return out;
}

struct TerminalRun {
  std::string output;
  ExitStatus status;
};

TerminalRun runOnTerminal(const std::string& script, bool controlling = true) {
  auto pty = Pty::open();
  if (!pty) {
    ADD_FAILURE() << "no pty: errno " << errno;
    return {};
  }
  auto options = ChildProcess::Options("/bin/sh")
                     .withArguments({"-c", script})
                     .withEnvironment({"PATH=/usr/bin:/bin"});
  if (controlling) {
    options.onTerminal(pty->slavePath());
  } else {
    options.newSession = true;
    options.standardInput = options.standardOutput = options.standardError =
        ChildProcess::Stdio::descriptor(pty->slave());
  }
  auto spawned = ChildProcess::spawn(options);
  if (auto* error = std::get_if<LaunchError>(&spawned)) {
    ADD_FAILURE() << error->message;
    return {};
  }
  auto& child = std::get<ChildProcess>(spawned);
  pty->closeSlave();
  TerminalRun run;
  run.output = readTerminal(pty->master());
  run.status = child.wait();
  return run;
}

TEST(SupportPty, BothSidesAreCloseOnExecWithTheWindowSize) {
  auto pty = Pty::open();
  ASSERT_TRUE(pty);
  EXPECT_NE(::fcntl(pty->master(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(::fcntl(pty->slave(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_EQ(pty->slavePath().rfind("/dev/pts/", 0), 0u) << pty->slavePath();
  winsize size{};
  ASSERT_EQ(::ioctl(pty->slave(), TIOCGWINSZ, &size), 0);
  EXPECT_EQ(size.ws_row, 200);
  EXPECT_EQ(size.ws_col, 4000);

  auto small = Pty::open(24, 80);
  ASSERT_TRUE(small);
  ASSERT_EQ(::ioctl(small->slave(), TIOCGWINSZ, &size), 0);
  EXPECT_EQ(size.ws_row, 24);
  EXPECT_EQ(size.ws_col, 80);
}

TEST(SupportPty, ChildGetsTheTerminalAsControllingTerminal) {
  auto run = runOnTerminal("exec 3<>/dev/tty && echo ok; test -t 0 && test -t 1 && test -t 2");
  EXPECT_THAT(run.output, HasSubstr("ok"));
  EXPECT_EQ(run.status, ExitStatus::exitedWith(0));

  // Same terminal as its standard streams but only inherited descriptors: a new session
  // without a controlling terminal, so /dev/tty cannot be opened.
  auto bare = runOnTerminal("exec 3<>/dev/tty && echo ok", /*controlling=*/false);
  EXPECT_THAT(bare.output, ::testing::Not(HasSubstr("ok")));
  EXPECT_NE(bare.status, ExitStatus::exitedWith(0));
}

TEST(SupportPty, ChildSeesTheWindowSize) {
  auto run = runOnTerminal("stty size");
  EXPECT_EQ(run.output, "200 4000\r\n");
  EXPECT_TRUE(run.status.succeeded());
}

TEST(SupportPty, ParentWritesToTheChildThroughTheMaster) {
  auto pty = Pty::open();
  ASSERT_TRUE(pty);
  auto options = ChildProcess::Options("/bin/sh")
                     .withArguments({"-c", "stty -echo; echo ready; read line; echo \"got:$line\""})
                     .withEnvironment({"PATH=/usr/bin:/bin"});
  auto spawned = ChildProcess::spawn(options.onTerminal(pty->slavePath()));
  ASSERT_TRUE(std::holds_alternative<ChildProcess>(spawned));
  auto& child = std::get<ChildProcess>(spawned);
  pty->closeSlave();

  std::array<char, 256> buffer;
  std::string seen;
  while (seen.find("ready") == std::string::npos) {
    auto r = readWithin(pty->master(), buffer, 5s);
    ASSERT_EQ(r.status, ReadResult::Status::data) << seen;
    seen.append(buffer.data(), r.size);
  }
  EXPECT_EQ(readWithin(pty->master(), buffer, 20ms).status, ReadResult::Status::timedOut);
  ASSERT_TRUE(writeAll(pty->master(), "abc 123\n"));
  EXPECT_THAT(readTerminal(pty->master()), HasSubstr("got:abc 123\r\n"));
  EXPECT_TRUE(child.wait().succeeded());
}

}  // namespace
}  // namespace tarno::assistant
