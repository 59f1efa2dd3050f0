// The helper socket's server: one command per connection, answered with its event stream.
//
// A client of the same user sends one AssistantCommand frame; the server hands it to the
// handler and writes each event of the returned stream as a frame, then closes the connection.
// On a sign-in connection (a command that isInteractive) a second thread keeps reading, and
// hands every loginCode it receives to the code sink; anything else sent there is ignored, and
// nothing after the first frame is read on any other connection.
//
// A client that leaves (closes or resets its end) is noticed at once, not at the next event:
// the connection lets go of its stream, which asks a run or status check to stop. Hostile or
// idle clients are bounded by Limits: a first frame must be complete within firstFrameTimeout
// or the connection is closed; at most maxConnections are served at once (further ones wait in
// the listen backlog). A stream's producer writes its events to the socket itself, so a client
// that does not read blocks it in its send once the socket's buffer is full, and a CLI behind
// it then blocks on its pipe; what other producers of the same stream yield meanwhile waits,
// up to maxUnsentBytes (estimated from the events' text) plus one yield. Nothing is dropped or
// reordered by that.
//
// Threads: start() starts one accept thread ("accept"); each accepted connection gets a thread
// of its own ("conn"), which reads the command and then watches the socket for a hang-up while
// the producers' threads write, plus the follow-up reader of a sign-in ("follow"); a
// connection's thread is joined as soon as it has ended. The handler and the code sink are called
// on those threads, concurrently for different connections. start() and stop() may be called from
// any thread (they are serialised). The destructor waits for the connections' threads, so it must
// not run on one of them (inside the handler or the sink).
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <stop_token>
#include <string>
#include <utility>

#include "tarno/assistant/session/assistant_command.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/support/event_stream.hpp"
#include "tarno/assistant/support/thread_owner.hpp"
#include "tarno/assistant/support/unique_fd.hpp"
#include "tarno/protocol/socket_acceptor.hpp"

namespace tarno::assistant {

// What one helper grants its clients (see above). The defaults are the helper's own limits.
struct SocketServerLimits {
  std::chrono::milliseconds firstFrameTimeout{30'000};
  std::size_t maxConnections = 256;
  std::size_t maxUnsentBytes = 4 * 1024 * 1024;
};

class AssistantSocketServer {
 public:
  // Runs one command. Called on a connection's thread; must not throw (if it does, the
  // connection is closed without an answer).
  using Handler = std::function<EventStream<AssistantEvent>(AssistantCommand)>;
  // Receives the code of each loginCode frame sent on a sign-in connection; the result is
  // ignored. The executable passes ClaudeLoginRunner::submitCode.
  using CodeSink = std::function<bool(std::string)>;

  using Limits = SocketServerLimits;

  // Why start() failed, with the errno of the failing call.
  class StartError : public std::exception {
   public:
    enum class Kind : std::uint8_t { socketFailed, bindFailed, listenFailed, pathTooLong };

    static StartError socketFailed(int error) noexcept { return {Kind::socketFailed, error}; }
    static StartError bindFailed(int error) noexcept { return {Kind::bindFailed, error}; }
    static StartError listenFailed(int error) noexcept { return {Kind::listenFailed, error}; }
    static StartError pathTooLong() noexcept { return {Kind::pathTooLong, 0}; }

    Kind kind() const noexcept { return kind_; }
    // The errno value; 0 for pathTooLong.
    int error() const noexcept { return error_; }
    // The case name, followed by the error number in parentheses where there is one:
    // "bindFailed(2)", "pathTooLong".
    const char* what() const noexcept override { return text_; }

    friend bool operator==(const StartError& a, const StartError& b) noexcept {
      return a.kind_ == b.kind_ && a.error_ == b.error_;
    }

   private:
    StartError(Kind kind, int error) noexcept;

    Kind kind_;
    int error_;
    char text_[32];
  };

  // Stores the path and the callbacks; touches nothing on disk.
  AssistantSocketServer(std::string socketPath, Handler handler, CodeSink codeSink,
                        Limits limits = {});
  AssistantSocketServer(const AssistantSocketServer&) = delete;
  AssistantSocketServer& operator=(const AssistantSocketServer&) = delete;

  // Stops the server, then ends the connections it still serves (their sockets are shut down,
  // their streams let go as if the client had left) and joins every thread it started: no
  // thread outlives the object, and nothing is left to outlive it.
  ~AssistantSocketServer();

  // Removes any file at the path, binds a socket there with mode 0600, listens (backlog 8) and
  // starts accepting. Throws StartError: pathTooLong, before anything is touched, when the path
  // does not fit a socket address (over 103 bytes, empty, or holding a NUL); socketFailed when
  // the socket (or the accept loop's wake-up pipe) cannot be created; bindFailed; listenFailed,
  // also when the accept thread cannot be started. A failed start leaves the server idle, the
  // old file gone and no socket file of its own. Does nothing while already listening.
  void start();

  // Stops accepting, closes the listening socket and removes the socket file, unless another
  // file has replaced it since start() (a later server on the same path keeps its socket).
  // Connections being served are not touched and run to their end. Safe to call again, or
  // before start().
  void stop();

  const std::string& socketPath() const noexcept { return socketPath_; }
  bool isListening() const noexcept { return listener_.isListening(); }

 private:
  void serve(unique_fd fd, protocol::SocketAcceptor::Slot slot);
  void runConnection(std::stop_token stop, int fd);
  void relay(EventStream<AssistantEvent>& stream, int fd);
  void readFollowUp(std::stop_token stop, int fd);

  const std::string socketPath_;
  const Handler handler_;
  const CodeSink codeSink_;
  const Limits limits_;

  std::mutex lifecycleMutex_;  // serialises start(), stop() and the destructor
  protocol::SocketAcceptor listener_;

  // Last: their threads use everything above.
  ThreadOwner connections_;  // one thread per connection being served
};

}  // namespace tarno::assistant
