// A listening socket file with the thread that accepts its connections, shared by the helper's
// server and the app's IPC server: connections of the process's own user are handed on, at most
// maxConnections at a time (later ones wait in the listen backlog until a place is free); those
// of other users are closed without a word.
//
// start() and stop() may be called from any thread (they are serialised); `serve` and `refused`
// are called on the accept thread. A connection keeps its place as long as its Slot lives, so a
// server moves the slot into whatever serves the connection and lets it go when that ends.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "tarno/protocol/socket_io.hpp"
#include "tarno/protocol/thread_owner.hpp"
#include "tarno/protocol/unique_fd.hpp"

namespace tarno::protocol {

class SocketAcceptor {
 public:
  // The place of one connection being served; it is free again once the slot is destroyed.
  class Slot {
   public:
    Slot(Slot&& other) noexcept : owner_(std::exchange(other.owner_, nullptr)) {}
    Slot(const Slot&) = delete;
    Slot& operator=(const Slot&) = delete;
    Slot& operator=(Slot&&) = delete;
    ~Slot();

   private:
    friend class SocketAcceptor;
    explicit Slot(SocketAcceptor* owner) noexcept : owner_(owner) {}
    SocketAcceptor* owner_;
  };

  // Takes a connection and its slot; must not block for long (it starts a thread, say).
  using Serve = std::function<void(unique_fd, Slot)>;
  // Hears of each connection refused, with the peer's user id when it is known.
  using Refused = std::function<void(std::optional<uid_t>)>;

  struct Options {
    std::size_t maxConnections = 64;
    int backlog = 8;
    Refused refused;
    // Called whenever the last connection being served has let go of its slot.
    std::function<void()> idle;
  };

  SocketAcceptor(std::string socketPath, Options options);
  SocketAcceptor(const SocketAcceptor&) = delete;
  SocketAcceptor& operator=(const SocketAcceptor&) = delete;
  // stop(). Slots still held must not outlive the acceptor.
  ~SocketAcceptor();

  // Binds a socket at the path (whatever was there must have been removed by the caller) with
  // mode 0600, listens and starts accepting. Nothing on success; otherwise the failure, and no
  // socket file of its own is left (a failure to make the wake-up pipe is socketFailed, one to
  // start the thread listenFailed with its error code). Does nothing while already listening.
  std::optional<SocketIO::ListenFailure> start(Serve serve);

  // Stops accepting, closes the listening socket and removes the socket file, unless another
  // file has replaced it since start(). Connections being served are not touched. Safe to call
  // again, or before start().
  void stop();

  bool isListening() const noexcept { return running_.load(); }
  // Connections holding a slot.
  std::size_t connections() const;

 private:
  void acceptLoop(const Serve& serve);
  bool awaitFreeSlot();
  void release();

  const std::string socketPath_;
  const Options options_;

  mutable std::mutex slotsMutex_;
  std::condition_variable slotFreed_;
  std::size_t served_ = 0;  // guarded by slotsMutex_

  std::mutex lifecycleMutex_;
  std::atomic<bool> running_{false};
  unique_fd listenFD_;
  unique_fd wakeRead_;  // readable once stop() wants the accept loop to end
  unique_fd wakeWrite_;
  std::optional<SocketIO::FileIdentity> socketFile_;

  ThreadOwner acceptor_;  // last: its thread uses everything above
};

}  // namespace tarno::protocol
