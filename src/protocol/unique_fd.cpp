// Descriptor ownership and close-on-exec creation helpers.
#include "tarno/protocol/unique_fd.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace tarno::protocol {

void unique_fd::reset(int fd) noexcept {
  int saved = errno;
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
  errno = saved;
}

std::optional<FdPair> makePipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return std::nullopt;
  return FdPair{unique_fd(fds[0]), unique_fd(fds[1])};
}

unique_fd openCloexec(const char* path, int flags, mode_t mode) {
  int fd;
  do {
    fd = ::open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return unique_fd(fd);
}

unique_fd duplicateCloexec(int fd, int lowest) {
  return unique_fd(::fcntl(fd, F_DUPFD_CLOEXEC, lowest));
}

}  // namespace tarno::protocol
