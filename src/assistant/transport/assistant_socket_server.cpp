// The helper socket's server: accept loop, peer check, one thread per connection.
#include "tarno/assistant/transport/assistant_socket_server.hpp"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tarno/assistant/support/diagnostics.hpp"
#include "tarno/assistant/transport/socket_io.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/protocol/frame_codec.hpp"

namespace tarno::assistant {
namespace {

constexpr int listenBacklog = 8;
// How long the accept loop pauses after a failure that would otherwise repeat at once (out of
// descriptors or memory), so that it does not spin.
constexpr int acceptRetryPauseMs = 100;

std::optional<AssistantCommand> decodeCommand(std::string_view frame) {
  try {
    return core::decodeFromString<AssistantCommand>(frame);
  } catch (const core::DecodingError& error) {
    if (diagnostics::debugEnabled()) {
      diagnostics::debug("frame does not decode as a command: " + error.description() +
                         (error.path().empty() ? "" : " at " + error.path()));
    }
    return std::nullopt;
  } catch (const std::exception& error) {
    diagnostics::debug(std::string("frame does not decode as a command: ") + error.what());
    return std::nullopt;
  }
}

// Frames bigger than this are sent as soon as they are encoded rather than gathered first.
constexpr std::size_t writeBlockBytes = 64 * 1024;

// Writes the events' frames in order, gathering the frames of events that waited together
// into one send: the peer sees the same bytes as with one send per event, for far fewer
// system calls and wake-ups on both ends. False, after writing the frames before it, at the
// first event that cannot be encoded, or once a write fails.
bool writeEvents(int fd, const std::vector<AssistantEvent>& events) {
  std::string block;
  for (const AssistantEvent& event : events) {
    try {
      block += protocol::FrameCodec::encodeFrame(core::encodeToString(event));
    } catch (...) {
      diagnostics::debug("event dropped: it cannot be sent as one frame");
      if (!block.empty()) (void)SocketIO::writeAll(fd, block);
      return false;
    }
    if (block.size() >= writeBlockBytes) {
      if (!SocketIO::writeAll(fd, block)) return false;
      block.clear();
    }
  }
  return block.empty() || SocketIO::writeAll(fd, block);
}

bool isTransientAcceptError(int error) {
  return error == EINTR || error == ECONNABORTED || error == EAGAIN || error == EWOULDBLOCK ||
         error == EPROTO;
}

}  // namespace

AssistantSocketServer::StartError::StartError(Kind kind, int error) noexcept
    : kind_(kind), error_(error) {
  static constexpr const char* names[] = {"socketFailed", "bindFailed", "listenFailed",
                                          "pathTooLong"};
  const char* name = names[static_cast<int>(kind)];
  if (kind == Kind::pathTooLong) {
    std::snprintf(text_, sizeof text_, "%s", name);
  } else {
    std::snprintf(text_, sizeof text_, "%s(%d)", name, error);
  }
}

AssistantSocketServer::AssistantSocketServer(std::string socketPath, Handler handler,
                                             CodeSink codeSink)
    : socketPath_(std::move(socketPath)),
      handler_(std::move(handler)),
      codeSink_(std::move(codeSink)) {}

AssistantSocketServer::~AssistantSocketServer() {
  stop();
  // Each connection's stop shuts its socket down, which ends it as if the client had left.
  connections_.stopAll();
}

void AssistantSocketServer::start() {
  std::lock_guard life(lifecycleMutex_);
  if (running_.load()) return;

  const auto address = SocketAddr::unix(socketPath_);
  if (!address) throw StartError::pathTooLong();

  // Whatever is there (most likely the socket of an earlier run) has to go for bind to work.
  ::unlink(socketPath_.c_str());

  auto wake = makePipe();
  if (!wake) throw StartError::socketFailed(errno);
  unique_fd fd = SocketIO::makeSocket();
  if (!fd) throw StartError::socketFailed(errno);

  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0)
    throw StartError::bindFailed(errno);
  ::chmod(socketPath_.c_str(), 0600);
  struct stat info {};
  std::optional<std::pair<dev_t, ino_t>> boundFile;
  if (::lstat(socketPath_.c_str(), &info) == 0) boundFile.emplace(info.st_dev, info.st_ino);

  if (::listen(fd.get(), listenBacklog) != 0) {
    const int error = errno;
    fd.reset();
    ::unlink(socketPath_.c_str());
    throw StartError::listenFailed(error);
  }

  listenFD_ = std::move(fd);
  wakeRead_ = std::move(wake->readEnd);
  wakeWrite_ = std::move(wake->writeEnd);
  socketFile_ = boundFile;
  running_.store(true);
  try {
    acceptor_.start("accept", [this](std::stop_token) { acceptLoop(); });
  } catch (const std::system_error& error) {
    running_.store(false);
    listenFD_.reset();
    wakeRead_.reset();
    wakeWrite_.reset();
    socketFile_.reset();
    ::unlink(socketPath_.c_str());
    throw StartError::listenFailed(error.code().value());
  }
}

void AssistantSocketServer::stop() {
  std::lock_guard life(lifecycleMutex_);
  if (!listenFD_) return;
  running_.store(false);
  // The pipe wakes the loop's poll on every platform; the shutdown also ends an accept that
  // is already under way (on Linux closing the descriptor would not).
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_.get(), &byte, 1);
  ::shutdown(listenFD_.get(), SHUT_RDWR);
  acceptor_.stopAll();

  // Checked while our socket still holds its inode, so a match cannot be a recycled number.
  if (socketFile_) {
    struct stat info {};
    if (::lstat(socketPath_.c_str(), &info) == 0 && info.st_dev == socketFile_->first &&
        info.st_ino == socketFile_->second)
      ::unlink(socketPath_.c_str());
    socketFile_.reset();
  }
  listenFD_.reset();
  wakeRead_.reset();
  wakeWrite_.reset();
}

void AssistantSocketServer::acceptLoop() {
  const uid_t ownUser = ::getuid();
  const int listenFD = listenFD_.get();
  const int wakeFD = wakeRead_.get();
  while (running_.load()) {
    pollfd fds[2] = {{listenFD, POLLIN, 0}, {wakeFD, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0 || !running_.load()) break;

    unique_fd connection = SocketIO::acceptConnection(listenFD);
    if (!connection) {
      if (!isTransientAcceptError(errno)) {
        pollfd wake{wakeFD, POLLIN, 0};
        ::poll(&wake, 1, acceptRetryPauseMs);
      }
      continue;
    }
    // Only the helper's own user may talk to it; anyone else is closed without a word.
    const auto peer = SocketIO::peerUserID(connection.get());
    if (!peer || *peer != ownUser) {
      diagnostics::debug("connection refused: peer uid " +
                         (peer ? std::to_string(*peer) : std::string("unknown")));
      continue;
    }
    diagnostics::debug("connection " + std::to_string(connection.get()) + " accepted: peer uid " +
                       std::to_string(*peer));
    serve(std::move(connection));
  }
}

void AssistantSocketServer::serve(unique_fd fd) {
  try {
    connections_.start("conn", [this, owned = std::move(fd)](std::stop_token stop) {
      const int number = owned.get();
      // Only the server going away stops a connection: it ends as if the client had left. The
      // descriptor is closed once this callback can no longer run.
      std::stop_callback hangUp(stop, [number] { ::shutdown(number, SHUT_RDWR); });
      runConnection(stop, number);
    });
  } catch (const std::exception&) {
    // No thread (or no memory): the connection is closed unanswered with the discarded body.
  }
}

void AssistantSocketServer::runConnection(std::stop_token stop, int fd) {
  const auto frame = SocketIO::readOneFrame(fd);
  if (!frame) return;
  auto command = decodeCommand(*frame);
  if (!command) return;

  // Stopped and joined before the descriptor can be closed and its number reused.
  ThreadOwner followUp;
  if (command->isInteractive()) {
    try {
      followUp.start("follow", [this, fd](std::stop_token followStop) {
        // The reader may be blocked in a read that the peer will never complete.
        std::stop_callback release(followStop, [fd] { ::shutdown(fd, SHUT_RD); });
        readFollowUp(followStop, fd);
      });
    } catch (const std::system_error&) {
      // The sign-in still runs; its codes cannot be heard on this connection.
    }
  }

  {
    std::optional<EventStream<AssistantEvent>> stream;
    try {
      stream.emplace(handler_(std::move(*command)));
    } catch (...) {
    }
    // The stop token only fires when the server is destroyed; it ends the wait for the next
    // event just like a client that leaves.
    while (stream) {
      auto batch = stream->nextBatch(stop);
      if (batch.empty() || !writeEvents(fd, batch)) break;
    }
    // Leaving this block lets go of the stream: a producer still running is told nobody
    // listens any more.
  }

  followUp.stopAll();
}

void AssistantSocketServer::readFollowUp(std::stop_token stop, int fd) {
  SocketIO::FrameReader reader(fd);
  while (!stop.stop_requested()) {
    auto frames = reader.nextFrames();
    if (!frames) return;
    for (const auto& frame : *frames) {
      const auto command = decodeCommand(frame);
      if (!command) continue;
      if (const auto* code = command->as<AssistantCommand::LoginCode>()) {
        try {
          (void)codeSink_(code->code);
        } catch (...) {
        }
      }
    }
  }
}

}  // namespace tarno::assistant
