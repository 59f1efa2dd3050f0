// The app's JSON-RPC server on its IPC socket: every line a client sends is one request, handed
// to the handler, and answered with the handler's line (a request the handler gives nothing
// for gets no line). Each client's requests are answered one after another, in the order sent,
// so a client may send many before reading; different clients are served at the same time.
//
// Bounds, because every client is a peer that may be broken or hostile: at most maxConnections
// are served at once (more wait in the listen backlog until one ends); a client that sends
// nothing for idleTimeout, or does not take its answers within it, is disconnected; a line over
// FrameCodec::maxFrameBytes (8 MiB) is answered with an invalidRequest error without an id, and
// the connection is then closed, since nothing after it can be trusted to start a line. An
// answer over the frame limit is replaced by an internalError naming the limit. A client that
// sends half a line and leaves costs nothing once it has gone: its thread and buffer end with it.
//
// Only the server's own user may connect: the socket file has mode 0600, and the peer of each
// connection is checked.
//
// Threads: start() starts an accept thread; each connection is served on a thread of its own,
// and the handler is called there, concurrently for different connections. The destructor ends
// the connections (their sockets are shut down) and joins every thread, so it must not run in
// the handler.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "tarno/protocol/socket_acceptor.hpp"
#include "tarno/protocol/socket_io.hpp"
#include "tarno/protocol/thread_owner.hpp"
#include "tarno/protocol/unique_fd.hpp"

namespace tarno::library {

struct IPCServerLimits {
  std::size_t maxConnections = 64;
  std::chrono::milliseconds idleTimeout{std::chrono::minutes(10)};
};

class IPCServer {
 public:
  // One request line (without its line feed) in, its response line out, or nothing. Must not
  // throw (a throw closes the client's connection).
  using Handler = std::function<std::optional<std::string>(std::string_view line)>;
  using Limits = IPCServerLimits;

  // Why start() failed, with a sentence for the user as what().
  class StartError : public std::runtime_error {
   public:
    enum class Kind : std::uint8_t {
      alreadyServed,  // another process answers on the socket
      pathTooLong,
      socketFailed,
      bindFailed,
      listenFailed,
    };
    StartError(Kind kind, int error, const std::string& message)
        : std::runtime_error(message), kind_(kind), error_(error) {}
    Kind kind() const noexcept { return kind_; }
    int error() const noexcept { return error_; }

   private:
    Kind kind_;
    int error_;
  };

  IPCServer(std::string socketPath, Handler handler, Limits limits = {});
  IPCServer(const IPCServer&) = delete;
  IPCServer& operator=(const IPCServer&) = delete;
  ~IPCServer();

  // Refuses (alreadyServed) when a process answers on the socket path; otherwise removes what is
  // there (the socket of an earlier run that ended without removing it), binds with mode 0600,
  // listens and starts accepting. Throws StartError; a failed start leaves no socket of its own.
  void start();

  // Stops accepting and removes the socket file (unless another file has replaced it since).
  // Connections being served run on until they end or the server is destroyed.
  void stop();

  const std::string& socketPath() const noexcept { return socketPath_; }
  // Connections being served now.
  std::size_t connections() const;

 private:
  void serve(protocol::unique_fd fd, protocol::SocketAcceptor::Slot slot);
  void runConnection(int fd);
  bool answer(int fd, std::string_view line, std::string& out);

  const std::string socketPath_;
  const Handler handler_;
  const Limits limits_;

  std::mutex lifecycleMutex_;  // serialises start(), stop() and the destructor
  protocol::SocketAcceptor listener_;

  // Last: their threads use everything above.
  protocol::ThreadOwner connections_;
};

}  // namespace tarno::library
