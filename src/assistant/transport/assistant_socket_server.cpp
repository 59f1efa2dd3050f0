// The helper socket's server: accept loop, peer check, one thread per connection.
#include "tarno/assistant/transport/assistant_socket_server.hpp"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

#include "tarno/assistant/transport/socket_io.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/protocol/frame_codec.hpp"

namespace tarno::assistant {
namespace {

constexpr int listenBacklog = 8;
// How long the accept loop pauses after a failure that would otherwise repeat at once (out of
// descriptors or memory), so that it does not spin.
constexpr int acceptRetryPauseMs = 100;

// Thread names show in debuggers and /proc; Linux keeps 15 bytes of them.
void nameThisThread(const std::string& name) {
#if defined(__APPLE__)
  ::pthread_setname_np(name.c_str());
#elif defined(__linux__)
  ::pthread_setname_np(::pthread_self(), name.substr(0, 15).c_str());
#else
  (void)name;
#endif
}

std::optional<AssistantCommand> decodeCommand(std::string_view frame) {
  try {
    return core::decodeFromString<AssistantCommand>(frame);
  } catch (const std::exception&) {
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
  std::vector<std::jthread> toJoin;
  {
    std::unique_lock lock(connMutex_);
    // Descriptors of live entries stay open until their thread removes the entry under this
    // lock, so these shutdowns never reach a reused number.
    for (auto& [id, connection] : live_) {
      connection.thread.request_stop();
      ::shutdown(connection.fd, SHUT_RDWR);
    }
    drained_.wait(lock, [&] { return live_.empty(); });
    toJoin.swap(finished_);
  }
  for (auto& thread : toJoin)
    thread.join();
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
    acceptThread_ = std::jthread([this] { acceptLoop(); });
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
  if (acceptThread_.joinable()) acceptThread_.join();

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
  nameThisThread("tarno.accept");
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
    if (!peer || *peer != ownUser) continue;
    serve(std::move(connection));
  }
}

void AssistantSocketServer::serve(unique_fd fd) {
  std::lock_guard lock(connMutex_);
  const std::uint64_t id = nextConnectionID_++;
  const int number = fd.get();
  try {
    auto& entry = live_[id];
    entry.fd = number;
    // The thread cannot finish before the entry holds it: finishing takes connMutex_.
    entry.thread = std::jthread([this, id, owned = std::move(fd)](std::stop_token stop) mutable {
      try {
        nameThisThread("tarno.conn." + std::to_string(owned.get()));
        runConnection(stop, owned.get());
      } catch (...) {
        // Nothing a connection meets may take the process down; it just ends.
      }
      finishConnection(id, owned);
    });
  } catch (const std::exception&) {
    // No thread (or no memory): the connection is closed unanswered, with its descriptor
    // (owned by the discarded closure, or still by `fd`).
    live_.erase(id);
  }
}

void AssistantSocketServer::runConnection(std::stop_token stop, int fd) {
  const auto frame = SocketIO::readOneFrame(fd);
  if (!frame) return;
  auto command = decodeCommand(*frame);
  if (!command) return;

  std::jthread followUp;
  if (command->isInteractive()) {
    try {
      followUp = std::jthread([this, fd](std::stop_token followStop) {
        try {
          readFollowUp(followStop, fd);
        } catch (...) {
        }
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

  if (followUp.joinable()) {
    // The reader may be blocked in a read that the peer will never complete; the shutdown
    // ends it, and it is joined before the descriptor can be closed and its number reused.
    followUp.request_stop();
    ::shutdown(fd, SHUT_RD);
    followUp.join();
  }
}

void AssistantSocketServer::finishConnection(std::uint64_t id, unique_fd& fd) {
  std::vector<std::jthread> earlier;
  {
    std::lock_guard lock(connMutex_);
    auto node = live_.extract(id);
    fd.reset();
    earlier.swap(finished_);
    if (node) finished_.push_back(std::move(node.mapped().thread));
    if (live_.empty()) drained_.notify_all();
  }
  // Those threads have left their connections; joining them here keeps at most one ended
  // thread unjoined at any time.
  for (auto& thread : earlier)
    thread.join();
}

void AssistantSocketServer::readFollowUp(std::stop_token stop, int fd) {
  nameThisThread("tarno.follow." + std::to_string(fd));
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
