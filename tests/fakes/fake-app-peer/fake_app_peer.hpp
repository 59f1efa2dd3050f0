// A fake of the app's IPC socket, run in-process: it accepts connections on a socket file in a
// temporary directory, reads one JSON-RPC request line from each, answers with what the test's
// function returns for it, and records every request.
#pragma once

#include <sys/socket.h>

#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "fakes/fake_claude_script.hpp"
#include "tarno/assistant/support/unique_fd.hpp"
#include "tarno/assistant/transport/socket_io.hpp"

namespace tarno::fakes {

class FakeAppPeer {
 public:
  // The answer to one request line; nothing closes the connection without an answer.
  using Answer = std::function<std::optional<std::string>(const std::string& request)>;

  explicit FakeAppPeer(Answer answer)
      : answer_(std::move(answer)), path_(dir_.path() + "/ipc.sock") {
    const auto address = assistant::SocketAddr::unix(path_);
    listen_ = assistant::SocketIO::makeSocket();
    if (!address || !listen_ ||
        ::bind(listen_.get(), reinterpret_cast<const sockaddr*>(&*address), sizeof *address) != 0 ||
        ::listen(listen_.get(), 16) != 0) {
      throw std::runtime_error("fake app peer: cannot listen");
    }
    acceptor_ = std::jthread([this] { serve(); });
  }

  ~FakeAppPeer() {
    ::shutdown(listen_.get(), SHUT_RDWR);
    acceptor_.join();
  }

  FakeAppPeer(const FakeAppPeer&) = delete;
  FakeAppPeer& operator=(const FakeAppPeer&) = delete;

  const std::string& socketPath() const { return path_; }

  std::vector<std::string> requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  // One connection at a time: each carries one call.
  void serve() {
    for (;;) {
      const assistant::unique_fd fd = assistant::SocketIO::acceptConnection(listen_.get());
      if (!fd) return;
      const std::optional<std::string> request = assistant::SocketIO::readOneFrame(fd.get());
      if (!request) continue;
      {
        std::lock_guard lock(mutex_);
        requests_.push_back(*request);
      }
      if (const std::optional<std::string> reply = answer_(*request)) {
        assistant::SocketIO::writeFrame(fd.get(), *reply);
      }
    }
  }

  Answer answer_;
  TempDir dir_;
  std::string path_;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
  assistant::unique_fd listen_;
  std::jthread acceptor_;
};

}  // namespace tarno::fakes
