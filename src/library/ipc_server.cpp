// The app's JSON-RPC server: accept loop, peer check, one thread per client.
#include "tarno/library/ipc_server.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <exception>
#include <string>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "tarno/core/json_coding.hpp"
#include "tarno/protocol/frame_codec.hpp"
#include "tarno/protocol/ipc_endpoint.hpp"
#include "tarno/protocol/rpc.hpp"

namespace tarno::library {
namespace {

using protocol::unique_fd;
namespace FrameCodec = protocol::FrameCodec;
namespace SocketIO = protocol::SocketIO;
namespace RPC = protocol::RPC;

constexpr int listenBacklog = 64;
// Answers waiting together are sent in one call once they reach this size, or at the end of a read.
constexpr std::size_t writeBlockBytes = 64 * 1024;

std::string tooLongLine() {
  return RPC::encodeError(
      std::nullopt, protocol::RPCErrorCode::invalidRequest,
      "request line over " + std::to_string(FrameCodec::maxFrameBytes) + " bytes");
}

// The request's id, read only when an answer has to be replaced.
std::optional<protocol::RPCID> requestID(std::string_view line) {
  try {
    return core::decodeFromString<protocol::RPCEnvelope>(line).id;
  } catch (...) {
    return std::nullopt;
  }
}

std::string systemMessage(int error) {
  return std::strerror(error);
}

void setSendTimeout(int fd, std::chrono::milliseconds limit) {
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(limit.count() / 1000);
  timeout.tv_usec = static_cast<suseconds_t>((limit.count() % 1000) * 1000);
  (void)::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
}

}  // namespace

IPCServer::IPCServer(std::string socketPath, Handler handler, Limits limits)
    : socketPath_(std::move(socketPath)),
      handler_(std::move(handler)),
      limits_(limits),
      listener_(socketPath_, {.maxConnections = limits.maxConnections, .backlog = listenBacklog}) {}

IPCServer::~IPCServer() {
  stop();
  connections_.stopAll();
}

std::size_t IPCServer::connections() const {
  return listener_.connections();
}

void IPCServer::start() {
  using Kind = StartError::Kind;
  std::lock_guard life(lifecycleMutex_);
  if (listener_.isListening()) return;

  if (!protocol::SocketAddr::unix(socketPath_))
    throw StartError(Kind::pathTooLong, 0,
                     "the socket path " + socketPath_ + " is longer than " +
                         std::to_string(protocol::IPCEndpoint::sunPathLimit) + " bytes");
  if (SocketIO::socketAnswers(socketPath_))
    throw StartError(Kind::alreadyServed, 0,
                     "another process is already serving on " + socketPath_);
  // Nobody answers: what is there is the socket of a run that ended without removing it.
  struct stat info {};
  if (::lstat(socketPath_.c_str(), &info) == 0 && S_ISSOCK(info.st_mode))
    ::unlink(socketPath_.c_str());

  const auto failure = listener_.start([this](unique_fd fd, protocol::SocketAcceptor::Slot slot) {
    serve(std::move(fd), std::move(slot));
  });
  if (!failure) return;
  using Step = SocketIO::ListenFailure::Step;
  const std::string why = systemMessage(failure->error);
  switch (failure->step) {
    case Step::pathTooLong:
      throw StartError(Kind::pathTooLong, 0, "the socket path " + socketPath_ + " is too long");
    case Step::socketFailed:
      throw StartError(Kind::socketFailed, failure->error, "cannot create a socket: " + why);
    case Step::bindFailed:
      throw StartError(Kind::bindFailed, failure->error,
                       "cannot bind a socket at " + socketPath_ + ": " + why);
    case Step::listenFailed:
      throw StartError(Kind::listenFailed, failure->error,
                       "cannot listen on " + socketPath_ + ": " + why);
  }
}

void IPCServer::stop() {
  std::lock_guard life(lifecycleMutex_);
  listener_.stop();
}

void IPCServer::serve(unique_fd fd, protocol::SocketAcceptor::Slot slot) {
  try {
    connections_.start(
        "client", [this, slot = std::move(slot), owned = std::move(fd)](std::stop_token stop) {
          const int number = owned.get();
          // The server going away ends the connection as if the client had left.
          std::stop_callback hangUp(stop, [number] { ::shutdown(number, SHUT_RDWR); });
          try {
            runConnection(number);
          } catch (...) {
            // A handler that throws (or memory running out) ends this client only.
          }
        });
  } catch (const std::exception&) {
    // No thread: the connection is closed unanswered, its place freed with the discarded body.
  }
}

void IPCServer::runConnection(int fd) {
  setSendTimeout(fd, limits_.idleTimeout);
  SocketIO::FrameReader reader(fd);
  std::string out;
  for (;;) {
    pollfd readable{fd, POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(limits_.idleTimeout.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 1) return;  // idle for too long, or the poll failed
    auto lines = reader.nextFrames();
    if (!lines) {
      if (reader.gaveUp()) (void)SocketIO::writeFrame(fd, tooLongLine());
      return;
    }
    for (const std::string& line : *lines) {
      if (!answer(fd, line, out)) return;
    }
    if (!out.empty() && !SocketIO::writeAll(fd, out)) return;
    out.clear();
  }
}

// Adds the answer to `line` to `out`, sending what waits once it is large. False when the
// connection is to end: a line over the limit (its error is sent first), or a failed send.
bool IPCServer::answer(int fd, std::string_view line, std::string& out) {
  if (line.size() > static_cast<std::size_t>(FrameCodec::maxFrameBytes)) {
    out += tooLongLine();
    out += '\n';
    (void)SocketIO::writeAll(fd, out);
    return false;
  }
  std::optional<std::string> response = handler_(line);
  if (!response) return true;
  if (response->size() > static_cast<std::size_t>(FrameCodec::maxFrameBytes) ||
      response->find('\n') != std::string::npos) {
    *response = RPC::encodeError(requestID(line), protocol::RPCErrorCode::internalError,
                                 "response cannot be sent as one line of at most " +
                                     std::to_string(FrameCodec::maxFrameBytes) + " bytes");
  }
  out += *response;
  out += '\n';
  if (out.size() < writeBlockBytes) return true;
  const bool sent = SocketIO::writeAll(fd, out);
  out.clear();
  return sent;
}

}  // namespace tarno::library
