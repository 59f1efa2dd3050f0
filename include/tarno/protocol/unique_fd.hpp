// Sole owner of a file descriptor, plus the close-on-exec ways of creating one that the sockets
// and the processes of every module use.
//
// A unique_fd is not thread-safe by itself: whoever shares one between threads must make sure
// that no thread still uses the descriptor when another one closes it. Functions that only use
// a descriptor take a plain int.
#pragma once

#include <sys/types.h>

#include <optional>

namespace tarno::protocol {

class unique_fd {
 public:
  unique_fd() noexcept = default;
  explicit unique_fd(int fd) noexcept : fd_(fd) {}
  ~unique_fd() { reset(); }

  unique_fd(const unique_fd&) = delete;
  unique_fd& operator=(const unique_fd&) = delete;
  unique_fd(unique_fd&& other) noexcept : fd_(other.release()) {}
  unique_fd& operator=(unique_fd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  explicit operator bool() const noexcept { return valid(); }

  // Gives up ownership without closing; the caller now owns the descriptor.
  [[nodiscard]] int release() noexcept {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }

  // Closes the current descriptor (if any and if different) and takes `fd`. errno is left as
  // it was, so a caller can reset on an error path and still report the original failure.
  // close() is not retried on EINTR: Linux has released the number by then, and a retry could
  // close a descriptor another thread has just been given.
  void reset(int fd = -1) noexcept;

 private:
  int fd_ = -1;
};

// Both ends of a pipe, close-on-exec.
struct FdPair {
  unique_fd readEnd;
  unique_fd writeEnd;
};

// A close-on-exec pipe; absent on failure with errno set.
std::optional<FdPair> makePipe();

// open(2) with O_CLOEXEC added; invalid on failure with errno set. EINTR is retried.
unique_fd openCloexec(const char* path, int flags, mode_t mode = 0);

// A close-on-exec duplicate of `fd` numbered at least `lowest`; invalid on failure with errno
// set.
unique_fd duplicateCloexec(int fd, int lowest = 0);

}  // namespace tarno::protocol
