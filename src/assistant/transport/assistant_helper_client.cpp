// The helper socket's client: a reader thread per command, the sign-in connection's registry.
#include "tarno/assistant/transport/assistant_helper_client.hpp"

#include <pthread.h>
#include <sys/socket.h>

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <system_error>
#include <thread>
#include <utility>

#include "tarno/core/json_coding.hpp"
#include "tarno/core/text.hpp"
#include "tarno/protocol/ipc_endpoint.hpp"

namespace tarno::assistant {

namespace {

using Stream = EventStream<AssistantEvent>;

std::optional<std::string> encodeCommand(const AssistantCommand& command) {
  try {
    return core::encodeToString(command);
  } catch (const std::exception&) {
    return std::nullopt;
  }
}

// One stream's connection and reader. Shared by the reader thread and the stream's termination
// hook, whichever of them outlives the other.
class ClientCall {
 public:
  ClientCall(std::string socketPath, std::shared_ptr<ActiveConnection> registration)
      : socketPath_(std::move(socketPath)), registration_(std::move(registration)) {}

  const std::shared_ptr<FDBox>& box() const { return box_; }

  // Starts the reader; false when no thread could be started.
  bool start(std::shared_ptr<ClientCall> self, std::string payload, Stream::Continuation out) {
    std::lock_guard guard(threadMutex_);
    try {
      reader_ = std::jthread([self = std::move(self), payload = std::move(payload),
                              out = std::move(out)](std::stop_token stop) {
        ::pthread_setname_np(::pthread_self(), "client");
        self->read(stop, payload, out);
        self->releaseSelf();
      });
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

  // The stream's termination hook, run once on whichever thread ended the stream.
  void terminated() {
    if (registration_) registration_->setValue(nullptr);
    std::jthread reader;
    {
      std::lock_guard guard(threadMutex_);
      // On the reader thread itself nothing is pending: it ended the stream.
      if (reader_.joinable() && reader_.get_id() != std::this_thread::get_id()) {
        reader = std::move(reader_);
      }
    }
    if (reader.joinable()) {
      // Stop first: a reader that stores its descriptor after the shutdown below sees the
      // request before it reads.
      reader.request_stop();
      box_->withFD([](int fd) {
        if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
        return 0;
      });
      reader.join();
    }
    closeConnection();
  }

 private:
  void read(std::stop_token stop, const std::string& payload, const Stream::Continuation& out) {
    unique_fd connected = SocketIO::connect(socketPath_);
    if (!connected) {
      out.yield(
          AssistantEvent::finished(std::string(AssistantHelperClient::notRunningMessage), true));
      out.finish();
      return;
    }
    const int fd = connected.get();
    box_->store(std::move(connected));
    if (stop.stop_requested()) {
      closeConnection();
      return;
    }
    if (!SocketIO::writeFrame(fd, payload)) {
      out.yield(
          AssistantEvent::finished(std::string(AssistantHelperClient::couldNotSendMessage), true));
      out.finish();
      closeConnection();
      return;
    }
    // The descriptor stays valid while this loop runs: only this thread closes it, or the hook
    // after joining this thread.
    SocketIO::FrameReader frames(fd);
    while (!stop.stop_requested()) {
      std::optional<std::vector<std::string>> batch = frames.nextFrames();
      if (!batch) break;
      for (const std::string& frame : *batch) {
        try {
          out.yield(core::decodeFromString<AssistantEvent>(frame));
        } catch (const std::exception&) {
          // Not an event: skipped.
        }
      }
    }
    out.finish();
    closeConnection();
  }

  // Whoever takes the descriptor from the box closes it, so it is closed exactly once.
  void closeConnection() { unique_fd closing = box_->take(); }

  // The reader is ending. If nobody is about to join it, it lets go of its own handle so that
  // the last owner of this object, possibly this very thread, never destroys a joinable thread.
  void releaseSelf() {
    std::lock_guard guard(threadMutex_);
    if (reader_.joinable() && reader_.get_id() == std::this_thread::get_id()) reader_.detach();
  }

  const std::string socketPath_;
  const std::shared_ptr<ActiveConnection> registration_;
  const std::shared_ptr<FDBox> box_ = std::make_shared<FDBox>();
  std::mutex threadMutex_;  // guards reader_
  std::jthread reader_;
};

}  // namespace

std::string AssistantHelperClient::defaultSocketPath() {
  return protocol::IPCEndpoint::assistantSocketPath();
}

const std::shared_ptr<ActiveConnection>& AssistantHelperClient::activeLogin() {
  static const std::shared_ptr<ActiveConnection> registration =
      std::make_shared<ActiveConnection>();
  return registration;
}

bool AssistantHelperClient::isReachable(const std::string& socketPath) {
  return SocketIO::connect(socketPath).valid();
}

EventStream<AssistantEvent> AssistantHelperClient::run(const AssistantRunRequest& request,
                                                       const std::string& socketPath) {
  return send(AssistantCommand::run(request), socketPath, nullptr);
}

EventStream<AssistantEvent> AssistantHelperClient::connect(const std::string& socketPath) {
  return send(AssistantCommand::login(), socketPath, activeLogin());
}

EventStream<AssistantEvent> AssistantHelperClient::status(const std::string& socketPath) {
  return send(AssistantCommand::status(), socketPath, nullptr);
}

EventStream<AssistantEvent> AssistantHelperClient::send(
    AssistantCommand command, std::string socketPath,
    std::shared_ptr<ActiveConnection> registration) {
  auto [stream, continuation] = Stream::make();
  auto call = std::make_shared<ClientCall>(std::move(socketPath), registration);
  if (registration) registration->setValue(call->box());
  continuation.onTermination([call](Termination) { call->terminated(); });

  std::optional<std::string> payload = encodeCommand(command);
  if (!payload || !call->start(call, std::move(*payload), continuation)) {
    continuation.yield(AssistantEvent::finished(std::string(couldNotSendMessage), true));
    continuation.finish();
  }
  return std::move(stream);
}

bool AssistantHelperClient::submitLoginCode(std::string_view code) {
  const std::string trimmed = core::trimmingWhitespaceAndNewlines(code);
  if (trimmed.empty()) return false;
  // The registry's lock is released here, before the box's lock is taken.
  const std::shared_ptr<FDBox> box = activeLogin()->value();
  if (!box) return false;
  const std::optional<std::string> payload = encodeCommand(AssistantCommand::loginCode(trimmed));
  if (!payload) return false;
  // Holding the box's lock keeps the stream's end from closing the descriptor mid-write.
  return box->withFD([&](int fd) { return fd >= 0 && SocketIO::writeFrame(fd, *payload); });
}

}  // namespace tarno::assistant
