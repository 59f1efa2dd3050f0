// Test-side client of a line-framed socket: sends raw bytes, reads answers line by line with a
// time limit, and tells when the server has closed the connection.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tarno/protocol/socket_io.hpp"

namespace tarno::fakes {

class LineClient {
 public:
  explicit LineClient(const std::string& socketPath)
      : fd_(protocol::SocketIO::connect(socketPath)) {
    if (!fd_) throw std::runtime_error("cannot connect to " + socketPath);
  }

  bool send(std::string_view bytes) { return protocol::SocketIO::writeAll(fd_.get(), bytes); }

  // The next line without its line feed; nothing when the server closed first or nothing
  // complete came within `limit`.
  std::optional<std::string> readLine(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (const auto end = pending_.find('\n'); end != std::string::npos) {
        std::string line = pending_.substr(0, end);
        pending_.erase(0, end + 1);
        return line;
      }
      if (closed_ || !fill(deadline)) return std::nullopt;
    }
  }

  // Whether the server closes the connection within `limit` (reading and keeping what comes
  // before).
  bool closedWithin(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!closed_) {
      if (!fill(deadline)) return false;
    }
    return true;
  }

  // Ends our sending side only: the server sees end of stream.
  void shutdownSending() { ::shutdown(fd_.get(), SHUT_WR); }
  const std::string& pending() const { return pending_; }

 private:
  // One read of what arrives before the deadline; false on time-out.
  bool fill(std::chrono::steady_clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd readable{fd_.get(), POLLIN, 0};
    if (::poll(&readable, 1, static_cast<int>(left.count())) < 1) return false;
    char buffer[65536];
    const ssize_t count = ::read(fd_.get(), buffer, sizeof buffer);
    if (count <= 0) {
      closed_ = true;
    } else {
      pending_.append(buffer, static_cast<std::size_t>(count));
    }
    return true;
  }

  protocol::unique_fd fd_;
  std::string pending_;
  bool closed_ = false;
};

}  // namespace tarno::fakes
