// Blocking socket calls of the project's Unix-domain stream sockets.
#include "tarno/protocol/socket_io.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "tarno/protocol/ipc_endpoint.hpp"

namespace tarno::protocol {
namespace {

#ifdef MSG_NOSIGNAL
constexpr int sendFlags = MSG_NOSIGNAL;
#else
constexpr int sendFlags = 0;  // SO_NOSIGPIPE is set on the socket instead
#endif

// Platforms without SOCK_CLOEXEC/accept4 (macOS) get the flags right after creation; no other
// descriptor path exists there.
[[maybe_unused]] bool finishSocketSetup(int fd) {
#ifndef MSG_NOSIGNAL
  int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof on) != 0) return false;
#endif
#ifndef SOCK_CLOEXEC
  int flags = ::fcntl(fd, F_GETFD);
  if (flags < 0 || ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC) != 0) return false;
#endif
  (void)fd;
  return true;
}

unique_fd finished(unique_fd fd) {
  if (fd && !finishSocketSetup(fd.get())) fd.reset();
  return fd;
}

}  // namespace

std::optional<sockaddr_un> SocketAddr::unix(std::string_view path) {
  static_assert(IPCEndpoint::sunPathLimit + 1 <= sizeof(sockaddr_un{}.sun_path));
  if (path.empty() || path.size() > static_cast<std::size_t>(IPCEndpoint::sunPathLimit))
    return std::nullopt;
  if (path.find('\0') != std::string_view::npos) return std::nullopt;
  sockaddr_un address;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path.data(), path.size());
  return address;
}

namespace SocketIO {

unique_fd makeSocket() {
#ifdef SOCK_CLOEXEC
  return finished(unique_fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0)));
#else
  return finished(unique_fd(::socket(AF_UNIX, SOCK_STREAM, 0)));  // cloexec: set after
#endif
}

unique_fd acceptConnection(int listenFD) {
#if defined(__APPLE__)
  // No accept4 here; finished() sets the flag at once.
  return finished(unique_fd(::accept(listenFD, nullptr, nullptr)));  // cloexec: set after
#else
  return finished(unique_fd(::accept4(listenFD, nullptr, nullptr, SOCK_CLOEXEC)));
#endif
}

std::optional<uid_t> peerUserID(int fd) {
#if defined(SO_PEERCRED)
  ucred credentials{};
  socklen_t length = sizeof credentials;
  if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 ||
      length != sizeof credentials)
    return std::nullopt;
  return credentials.uid;
#else
  uid_t euid = 0;
  gid_t egid = 0;
  if (::getpeereid(fd, &euid, &egid) != 0) return std::nullopt;
  return euid;
#endif
}

unique_fd connect(std::string_view path) {
  auto address = SocketAddr::unix(path);
  if (!address) return {};
  unique_fd fd = makeSocket();
  if (!fd) return {};
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0)
    return {};
  return fd;
}

namespace {
bool isTransientAcceptError(int error) {
  return error == EINTR || error == ECONNABORTED || error == EAGAIN || error == EWOULDBLOCK ||
         error == EPROTO;
}

// How long accepting pauses after a failure that would otherwise repeat at once.
constexpr int acceptRetryPauseMs = 100;
}  // namespace

std::variant<Listener, ListenFailure> listenAt(std::string_view path, int backlog) {
  using Step = ListenFailure::Step;
  const auto address = SocketAddr::unix(path);
  if (!address) return ListenFailure{Step::pathTooLong, 0};
  const std::string file(path);
  unique_fd fd = makeSocket();
  if (!fd) return ListenFailure{Step::socketFailed, errno};
  if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0)
    return ListenFailure{Step::bindFailed, errno};
  ::chmod(file.c_str(), 0600);
  Listener listener;
  struct stat info {};
  if (::lstat(file.c_str(), &info) == 0) listener.file.emplace(info.st_dev, info.st_ino);
  if (::listen(fd.get(), backlog) != 0) {
    const int error = errno;
    fd.reset();
    ::unlink(file.c_str());
    return ListenFailure{Step::listenFailed, error};
  }
  listener.fd = std::move(fd);
  return listener;
}

void removeSocketFile(std::string_view path, const std::optional<FileIdentity>& file) {
  if (!file) return;
  const std::string name(path);
  struct stat info {};
  if (::lstat(name.c_str(), &info) == 0 && info.st_dev == file->first &&
      info.st_ino == file->second)
    ::unlink(name.c_str());
}

bool socketAnswers(std::string_view path) {
  return static_cast<bool>(connect(path));
}

unique_fd acceptSameUser(int listenFD, int wakeFD,
                         const std::function<void(std::optional<uid_t>)>& refused) {
  const uid_t ownUser = ::getuid();
  for (;;) {
    pollfd fds[2] = {{listenFD, POLLIN, 0}, {wakeFD, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return {};
    unique_fd connection = acceptConnection(listenFD);
    if (!connection) {
      if (!isTransientAcceptError(errno)) {
        pollfd wake{wakeFD, POLLIN, 0};
        ::poll(&wake, 1, acceptRetryPauseMs);
      }
      continue;
    }
    const auto peer = peerUserID(connection.get());
    if (peer && *peer == ownUser) return connection;
    if (refused) refused(peer);
  }
}

namespace {

// One read call into a buffer of readSize bytes, calling `use` with what it got; false at end
// of stream or on any error. The buffer is left uninitialised: a connection parked in a read
// then holds only the pages that the kernel has filled, not 64 KiB of zeros.
template <class Use>
bool readOnce(int fd, Use&& use) {
  const auto buffer = std::make_unique_for_overwrite<char[]>(readSize);
  const ssize_t count = ::read(fd, buffer.get(), readSize);
  if (count < 1) return false;
  std::forward<Use>(use)(std::string_view(buffer.get(), static_cast<std::size_t>(count)));
  return true;
}

}  // namespace

std::optional<std::string> readChunk(int fd) {
  std::optional<std::string> chunk;
  if (!readOnce(fd, [&](std::string_view bytes) { chunk.emplace(bytes); })) return std::nullopt;
  return chunk;
}

std::optional<std::vector<std::string>> FrameReader::nextFrames() {
  if (ended_) return std::nullopt;
  try {
    std::optional<std::vector<std::string>> frames;
    if (readOnce(fd_, [&](std::string_view bytes) {
          bytesRead_ += bytes.size();
          frames.emplace(scanner_.append(bytes));
        }))
      return frames;
  } catch (const FrameCodec::FrameError&) {
    // An unterminated line over the limit: the peer is given up on (see the header).
    gaveUp_ = true;
    scanner_ = FrameCodec::LineScanner();
  } catch (const std::bad_alloc&) {
    scanner_ = FrameCodec::LineScanner();
  }
  ended_ = true;
  return std::nullopt;
}

std::optional<std::string> readOneFrame(int fd) {
  FrameReader reader(fd);
  while (auto frames = reader.nextFrames()) {
    if (!frames->empty()) return std::move(frames->front());
  }
  return std::nullopt;
}

std::optional<std::string> readOneFrame(int fd, std::chrono::milliseconds limit,
                                        std::size_t& bytesRead) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + limit;
  FrameReader reader(fd);
  std::optional<std::string> frame;
  while (!frame) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) break;
    pollfd readable{fd, POLLIN, 0};
    const int ready = ::poll(&readable, 1, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 1) break;
    auto frames = reader.nextFrames();
    if (!frames) break;
    if (!frames->empty()) frame = std::move(frames->front());
  }
  bytesRead = reader.bytesRead();
  return frame;
}

bool writeFrame(int fd, std::string_view payload) {
  std::string frame;
  try {
    frame = FrameCodec::encodeFrame(payload);
  } catch (const FrameCodec::FrameError&) {
    return false;
  } catch (const std::bad_alloc&) {
    return false;
  }
  return writeAll(fd, frame);
}

bool writeAll(int fd, std::string_view bytes) {
  const char* next = bytes.data();
  std::size_t remaining = bytes.size();
  while (remaining > 0) {
    const ssize_t written = ::send(fd, next, remaining, sendFlags);
    if (written < 1) return false;
    next += written;
    remaining -= static_cast<std::size_t>(written);
  }
  return true;
}

}  // namespace SocketIO

}  // namespace tarno::protocol
