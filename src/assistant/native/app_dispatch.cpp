// One JSON-RPC call to the app: connect, one frame out, the first frame back, all within one
// deadline; every failure becomes an error response the caller can hand to the model.
#include "tarno/assistant/native/app_dispatch.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/assistant/transport/socket_io.hpp"
#include "tarno/protocol/frame_codec.hpp"
#include "tarno/protocol/rpc.hpp"

namespace tarno::assistant {

namespace {

using Clock = std::chrono::steady_clock;

std::string failure(const std::string& message) {
  return protocol::RPC::encodeError(std::nullopt, protocol::RPCErrorCode::internalError, message);
}

std::string timedOut(std::chrono::milliseconds timeout) {
  return failure("the app didn't answer within " + std::to_string(timeout.count()) + " ms");
}

// Gives up a connect on `fd` when `deadline` comes; false when it has come (a time-out of zero
// would wait forever). Connecting to a Unix socket whose backlog is full waits like a send.
bool limitConnectTo(int fd, Clock::time_point deadline) {
  const auto micros =
      std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  if (micros <= 0) return false;
  timeval limit{static_cast<time_t>(micros / 1'000'000),
                static_cast<suseconds_t>(micros % 1'000'000)};
  return ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit) == 0;
}

// A socket connected to `path` before `deadline`.
unique_fd connectBefore(const std::string& path, Clock::time_point deadline) {
  const std::optional<sockaddr_un> address = SocketAddr::unix(path);
  unique_fd fd = address ? SocketIO::makeSocket() : unique_fd();
  if (!fd || !limitConnectTo(fd.get(), deadline) ||
      ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    return unique_fd();
  }
  return fd;
}

// Sends all of `frame` before `deadline`. Each send takes what fits without waiting: a blocking
// send waits anew for every buffer it fills, so an app that reads a little at a time would
// stretch one send far beyond any time-out.
enum class Sent { all, timedOut, failed };
Sent sendBefore(int fd, std::string_view frame, Clock::time_point deadline) {
  while (!frame.empty()) {
    const ssize_t sent = ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (sent > 0) {
      frame.remove_prefix(static_cast<std::size_t>(sent));
      continue;
    }
    if (sent == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return Sent::failed;
    }
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd writable{.fd = fd, .events = POLLOUT, .revents = 0};
    if (left.count() <= 0 || ::poll(&writable, 1, static_cast<int>(left.count())) == 0) {
      return Sent::timedOut;
    }
  }
  return Sent::all;
}

// The first frame that arrives before `deadline`, or the error response saying why none did.
std::string firstFrame(int fd, Clock::time_point deadline, std::chrono::milliseconds timeout) {
  protocol::FrameCodec::LineScanner scanner;
  std::vector<char> buffer(SocketIO::readSize);
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    const ReadResult read = left.count() > 0 ? readWithin(fd, buffer, left) : ReadResult{};
    if (left.count() <= 0 || read.status == ReadResult::Status::timedOut) {
      return timedOut(timeout);
    }
    if (read.status != ReadResult::Status::data) {
      return failure("the app closed the connection without answering");
    }
    try {
      std::vector<std::string> frames = scanner.append({buffer.data(), read.size});
      if (!frames.empty()) return std::move(frames.front());
    } catch (const protocol::FrameCodec::FrameError&) {
      return failure("the app's answer is larger than a frame can hold");
    }
  }
}

}  // namespace

std::string AppDispatch::call(const std::string& socketPath, std::string_view request,
                              std::chrono::milliseconds timeout) {
  const Clock::time_point deadline = Clock::now() + timeout;
  const unique_fd fd = connectBefore(socketPath, deadline);
  if (!fd) return failure("couldn't reach the app at " + socketPath);
  // The frame goes out as the request and its line feed: a copy of a large request to make
  // one string would double what a call holds.
  Sent sent = Sent::failed;
  if (request.find('\n') == std::string_view::npos &&
      request.size() <= static_cast<std::size_t>(protocol::FrameCodec::maxFrameBytes)) {
    sent = sendBefore(fd.get(), request, deadline);
    if (sent == Sent::all) sent = sendBefore(fd.get(), "\n", deadline);
  }
  switch (sent) {
    case Sent::all:
      return firstFrame(fd.get(), deadline, timeout);
    case Sent::timedOut:
      return timedOut(timeout);
    case Sent::failed:
      break;
  }
  return failure("couldn't send the request to the app");
}

}  // namespace tarno::assistant
