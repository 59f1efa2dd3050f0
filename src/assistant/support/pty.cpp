// Pseudo-terminal pairs, close-on-exec on both sides from creation.
#include "tarno/assistant/support/pty.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <cerrno>

namespace tarno::assistant {

std::optional<Pty> Pty::open(unsigned short rows, unsigned short columns) {
  unique_fd master(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master) return std::nullopt;
  if (::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) return std::nullopt;
  char name[128];
  if (int rc = ::ptsname_r(master.get(), name, sizeof name); rc != 0) {
    errno = rc;
    return std::nullopt;
  }
  unique_fd slave = openCloexec(name, O_RDWR | O_NOCTTY);
  if (!slave) return std::nullopt;
  winsize size{};
  size.ws_row = rows;
  size.ws_col = columns;
  if (::ioctl(slave.get(), TIOCSWINSZ, &size) != 0) return std::nullopt;
  return Pty(std::move(master), std::move(slave), name);
}

}  // namespace tarno::assistant
