// One JSON-RPC call to the app: connect, one frame out, the first frame back, all within one
// deadline; every failure becomes an error response the caller can hand to the model.
#include "tarno/assistant/native/app_dispatch.hpp"

#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
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

// A socket connected to `path` whose connect and sends give up after `timeout`: connecting to
// a Unix socket whose backlog is full waits like a send does.
unique_fd connectWithin(const std::string& path, std::chrono::milliseconds timeout) {
  const std::optional<sockaddr_un> address = SocketAddr::unix(path);
  unique_fd fd = address ? SocketIO::makeSocket() : unique_fd();
  if (!fd) return fd;
  const auto micros = std::chrono::duration_cast<std::chrono::microseconds>(timeout).count();
  timeval limit{static_cast<time_t>(micros / 1'000'000),
                static_cast<suseconds_t>(micros % 1'000'000)};
  ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof limit);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0) {
    return unique_fd();
  }
  return fd;
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
      return failure("the app didn't answer within " + std::to_string(timeout.count()) + " ms");
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
  const unique_fd fd = connectWithin(socketPath, timeout);
  if (!fd) return failure("couldn't reach the app at " + socketPath);
  if (!SocketIO::writeFrame(fd.get(), request)) {
    return failure("couldn't send the request to the app");
  }
  return firstFrame(fd.get(), deadline, timeout);
}

}  // namespace tarno::assistant
