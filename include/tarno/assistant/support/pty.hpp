// A pseudo-terminal pair for running a child on a terminal of its own.
//
// Opened with posix_openpt/grantpt/unlockpt and the slave opened by name, because that way both
// sides are close-on-exec from the moment they exist; openpty() cannot set the flag atomically,
// so a child started by another thread in between would inherit them.
//
// To run a child on it: ChildProcess::Options::onTerminal(pty.slavePath()) (new session, the
// slave as controlling terminal and standard streams), then closeSlave() once the child has
// started, so that reading the master fails with EIO after the child and its descendants have
// closed the terminal. Use readWithin()/writeAll() (descriptor_io.hpp) on master().
//
// A Pty is not thread-safe; master() may be used from several threads as long as nobody closes
// it meanwhile.
#pragma once

#include <optional>
#include <string>

#include "tarno/assistant/support/unique_fd.hpp"

namespace tarno::assistant {

class Pty {
 public:
  static constexpr unsigned short defaultRows = 200;
  static constexpr unsigned short defaultColumns = 4000;

  // A new pair with the kernel's default terminal attributes and the given window size; absent
  // on failure with errno set.
  static std::optional<Pty> open(unsigned short rows = defaultRows,
                                 unsigned short columns = defaultColumns);

  int master() const noexcept { return master_.get(); }
  int slave() const noexcept { return slave_.get(); }
  // Device path of the slave, e.g. "/dev/pts/3".
  const std::string& slavePath() const noexcept { return slavePath_; }

  [[nodiscard]] unique_fd takeMaster() noexcept { return std::move(master_); }
  void closeSlave() noexcept { slave_.reset(); }

 private:
  Pty(unique_fd master, unique_fd slave, std::string slavePath)
      : master_(std::move(master)), slave_(std::move(slave)), slavePath_(std::move(slavePath)) {}

  unique_fd master_;
  unique_fd slave_;
  std::string slavePath_;
};

}  // namespace tarno::assistant
