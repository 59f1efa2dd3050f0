// Time-limited reads and complete writes on plain descriptors.
#include "tarno/assistant/support/descriptor_io.hpp"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace tarno::assistant {

ReadResult readWithin(int fd, std::span<char> buffer, std::chrono::milliseconds timeout) {
  using Clock = std::chrono::steady_clock;
  const bool unlimited = timeout.count() < 0;
  const auto deadline = Clock::now() + (unlimited ? std::chrono::milliseconds(0) : timeout);
  for (;;) {
    int waitMs = -1;
    if (!unlimited) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      waitMs = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
    }
    pollfd entry{fd, POLLIN, 0};
    int ready = ::poll(&entry, 1, waitMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return {ReadResult::Status::failed, 0, errno};
    }
    if (ready == 0) return {ReadResult::Status::timedOut, 0, 0};
    if (entry.revents & POLLNVAL) return {ReadResult::Status::failed, 0, EBADF};
    // Readable, hung up or in error: read() tells which without blocking.
    ssize_t got = ::read(fd, buffer.data(), buffer.size());
    if (got > 0) return {ReadResult::Status::data, static_cast<std::size_t>(got), 0};
    if (got == 0) return {ReadResult::Status::endOfFile, 0, 0};
    if (errno == EINTR) continue;
    // A spurious wake-up on a descriptor another reader drained.
    if (errno == EAGAIN || errno == EWOULDBLOCK) continue;
    return {ReadResult::Status::failed, 0, errno};
  }
}

bool writeAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t wrote = ::write(fd, bytes.data(), bytes.size());
    if (wrote < 0 && errno == EINTR) continue;
    if (wrote <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(wrote));
  }
  return true;
}

}  // namespace tarno::assistant
