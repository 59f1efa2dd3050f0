// Sole owner of one file descriptor inside the library module, which links neither the
// assistant nor its descriptor helpers.
#pragma once

#include <unistd.h>

#include <cerrno>

namespace tarno::library {

class OwnedFd {
 public:
  OwnedFd() noexcept = default;
  explicit OwnedFd(int fd) noexcept : fd_(fd) {}
  ~OwnedFd() { reset(); }
  OwnedFd(const OwnedFd&) = delete;
  OwnedFd& operator=(const OwnedFd&) = delete;
  OwnedFd(OwnedFd&& other) noexcept : fd_(other.release()) {}
  OwnedFd& operator=(OwnedFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }

  [[nodiscard]] int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Keeps errno, so an error path can close and still report the first failure. close() is
  // not retried on EINTR: the number is already released by then.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0 && fd_ != fd) {
      const int saved = errno;
      ::close(fd_);
      errno = saved;
    }
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace tarno::library
