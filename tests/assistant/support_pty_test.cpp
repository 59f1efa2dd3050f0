// Pty with a real child: close-on-exec sides, the window size, and the slave as the child's
// controlling terminal.
#include <fcntl.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <string>

#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/assistant/support/pty.hpp"

namespace tarno::assistant {
namespace {

using namespace std::chrono_literals;

// The child reports the window size through its controlling terminal.
TEST(SupportPty, ChildRunsWithTheTerminalAsControllingTerminal) {
  auto pty = Pty::open();
  ASSERT_TRUE(pty);
  EXPECT_NE(::fcntl(pty->master(), F_GETFD) & FD_CLOEXEC, 0);
  EXPECT_NE(::fcntl(pty->slave(), F_GETFD) & FD_CLOEXEC, 0);
  // /dev/tty opens only for a process with a controlling terminal.
  auto spawned = ChildProcess::spawn(
      ChildProcess::Options("/bin/sh")
          .withArguments({"-c",
                          "exec 3<>/dev/tty && test -t 0 && test -t 1 && test -t 2 && "
                          "stty size <&3"})
          .withEnvironment({"PATH=/usr/bin:/bin"})
          .onTerminal(pty->slavePath()));
  ASSERT_TRUE(std::holds_alternative<ChildProcess>(spawned))
      << std::get<LaunchError>(spawned).message;
  auto& child = std::get<ChildProcess>(spawned);
  pty->closeSlave();  // so that the master reports EIO once the child is gone

  std::string output;
  std::array<char, 256> buffer;
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (std::chrono::steady_clock::now() < deadline) {
    auto r = readWithin(pty->master(), buffer, 100ms);
    if (r.status == ReadResult::Status::data) {
      output.append(buffer.data(), r.size);
    } else if (r.status != ReadResult::Status::timedOut) {
      break;
    }
  }
  EXPECT_EQ(output, "200 4000\r\n");
  EXPECT_EQ(child.wait(), ExitStatus::exitedWith(0));
}

}  // namespace
}  // namespace tarno::assistant
