// The helper socket's primitives, as the assistant's code names them, and the two descriptor
// holders that its client shares between threads. The blocking socket calls themselves live in
// the protocol module (tarno/protocol/socket_io.hpp), which the app's IPC server shares.
#pragma once

#include <memory>
#include <mutex>
#include <utility>

#include "tarno/assistant/support/unique_fd.hpp"
#include "tarno/protocol/socket_io.hpp"

namespace tarno::assistant {

namespace SocketAddr = protocol::SocketAddr;
namespace SocketIO = protocol::SocketIO;

// A connection's descriptor shared between the thread that reads it, a termination hook that
// closes it, and writers on other threads. Every access goes through the box's lock, so a
// writer holding the lock (withFD) can never see the descriptor closed under it. A descriptor
// still held when the box is destroyed is closed then.
class FDBox {
 public:
  FDBox() = default;
  FDBox(const FDBox&) = delete;
  FDBox& operator=(const FDBox&) = delete;

  // Takes ownership of `fd`; a descriptor held before is closed.
  void store(unique_fd fd);

  // Hands the descriptor over (invalid when there is none); the box holds -1 afterwards.
  // Whoever takes it closes it, so the descriptor is closed exactly once.
  [[nodiscard]] unique_fd take();

  // Calls `use(fd)` with the descriptor held, or -1, under the lock, and returns its result.
  // Do not take another lock inside that is held elsewhere while this box's lock is awaited.
  template <class F>
  decltype(auto) withFD(F&& use) {
    std::lock_guard guard(lock_);
    return std::forward<F>(use)(fd_.get());
  }

 private:
  std::mutex lock_;
  unique_fd fd_;
};

// Holder of the box of the one connection currently registered (or none). Its lock is held only
// to read or replace the value, and never while a box's lock is held.
class ActiveConnection {
 public:
  std::shared_ptr<FDBox> value() const;
  // Replaces the registered box (nullptr registers none).
  void setValue(std::shared_ptr<FDBox> box);

 private:
  mutable std::mutex lock_;
  std::shared_ptr<FDBox> value_;
};

}  // namespace tarno::assistant
