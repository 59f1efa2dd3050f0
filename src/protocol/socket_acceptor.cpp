// A listening socket and its accept thread, with a bound on the connections served at once.
#include "tarno/protocol/socket_acceptor.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>
#include <utility>
#include <variant>

namespace tarno::protocol {

SocketAcceptor::Slot::~Slot() {
  if (owner_ != nullptr) owner_->release();
}

SocketAcceptor::SocketAcceptor(std::string socketPath, Options options)
    : socketPath_(std::move(socketPath)), options_(std::move(options)) {}

SocketAcceptor::~SocketAcceptor() {
  stop();
}

std::size_t SocketAcceptor::connections() const {
  std::lock_guard slots(slotsMutex_);
  return served_;
}

std::optional<SocketIO::ListenFailure> SocketAcceptor::start(Serve serve) {
  using Failure = SocketIO::ListenFailure;
  std::lock_guard life(lifecycleMutex_);
  if (running_.load()) return std::nullopt;
  if (!SocketAddr::unix(socketPath_)) return Failure{Failure::Step::pathTooLong, 0};

  auto wake = makePipe();
  if (!wake) return Failure{Failure::Step::socketFailed, errno};
  auto bound = SocketIO::listenAt(socketPath_, options_.backlog);
  if (const auto* failure = std::get_if<Failure>(&bound)) return *failure;
  auto& listener = std::get<SocketIO::Listener>(bound);

  listenFD_ = std::move(listener.fd);
  socketFile_ = listener.file;
  wakeRead_ = std::move(wake->readEnd);
  wakeWrite_ = std::move(wake->writeEnd);
  running_.store(true);
  try {
    acceptor_.start("accept",
                    [this, serve = std::move(serve)](std::stop_token) { acceptLoop(serve); });
  } catch (const std::system_error& error) {
    running_.store(false);
    SocketIO::removeSocketFile(socketPath_, socketFile_);
    socketFile_.reset();
    listenFD_.reset();
    wakeRead_.reset();
    wakeWrite_.reset();
    return Failure{Failure::Step::listenFailed, error.code().value()};
  }
  return std::nullopt;
}

void SocketAcceptor::stop() {
  std::lock_guard life(lifecycleMutex_);
  if (!listenFD_) return;
  running_.store(false);
  // The pipe wakes the loop's poll on every platform; the shutdown also ends an accept that
  // is already under way (on Linux closing the descriptor would not).
  const char byte = 1;
  [[maybe_unused]] const ssize_t ignored = ::write(wakeWrite_.get(), &byte, 1);
  ::shutdown(listenFD_.get(), SHUT_RDWR);
  { std::lock_guard slots(slotsMutex_); }  // an accept loop waiting for a slot sees running_
  slotFreed_.notify_all();
  acceptor_.stopAll();

  // Checked while our socket still holds its inode, so a match cannot be a recycled number.
  SocketIO::removeSocketFile(socketPath_, socketFile_);
  socketFile_.reset();
  listenFD_.reset();
  wakeRead_.reset();
  wakeWrite_.reset();
}

void SocketAcceptor::acceptLoop(const Serve& serve) {
  const int listenFD = listenFD_.get();
  const int wakeFD = wakeRead_.get();
  while (awaitFreeSlot()) {
    unique_fd connection = SocketIO::acceptSameUser(listenFD, wakeFD, options_.refused);
    if (!connection || !running_.load()) break;
    {
      std::lock_guard slots(slotsMutex_);
      ++served_;
    }
    serve(std::move(connection), Slot(this));
  }
}

// Connections beyond the limit wait in the listen backlog, not in a thread of ours.
bool SocketAcceptor::awaitFreeSlot() {
  std::unique_lock slots(slotsMutex_);
  slotFreed_.wait(slots, [&] { return served_ < options_.maxConnections || !running_.load(); });
  return running_.load();
}

void SocketAcceptor::release() {
  bool idle = false;
  {
    std::lock_guard slots(slotsMutex_);
    idle = --served_ == 0;
  }
  slotFreed_.notify_all();
  if (idle && options_.idle) options_.idle();
}

}  // namespace tarno::protocol
