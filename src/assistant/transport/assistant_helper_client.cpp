// The helper socket's client: a reader thread per command, the sign-in connection's registry.
#include "tarno/assistant/transport/assistant_helper_client.hpp"

#include <sys/socket.h>

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <system_error>
#include <utility>

#include "tarno/assistant/support/thread_owner.hpp"
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

// The process-wide part of the client: the registration of the sign-in connection, and the
// reader threads, which are joined (last member first) before the registration they may still
// clear goes away.
struct ClientShared {
  const std::shared_ptr<ActiveConnection> activeLogin = std::make_shared<ActiveConnection>();
  ThreadOwner readers;
};

ClientShared& shared() {
  static ClientShared instance;
  return instance;
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
    std::lock_guard guard(readerMutex_);
    try {
      reader_ = shared().readers.start(
          "reader", [self = std::move(self), payload = std::move(payload), out = std::move(out)](
                        std::stop_token stop) { self->read(stop, payload, out); });
    } catch (const std::system_error&) {
      return false;
    }
    return true;
  }

  // The stream's termination hook, run once on whichever thread ended the stream: the
  // connection is shut down, the reader has ended (unless this is the reader) and the
  // descriptor is closed, in that order.
  void terminated() {
    if (registration_) registration_->setValue(nullptr);
    std::optional<ThreadOwner::Handle> reader;
    {
      std::lock_guard guard(readerMutex_);
      reader = reader_;
    }
    if (reader) {
      reader->stop.request_stop();
      shared().readers.waitUntilEnded(*reader);
    }
    closeConnection();
  }

 private:
  void read(std::stop_token stop, const std::string& payload, const Stream::Continuation& out) {
    unique_fd connected = SocketIO::connect(socketPath_);
    if (!connected) {
      out.yield(
          AssistantEvent::finished(std::string(AssistantHelperClient::notRunningMessage), true));
      end(out);
      return;
    }
    const int fd = connected.get();
    box_->store(std::move(connected));
    // A stop (the stream let go of, or process exit) releases a read the helper may never
    // answer. Registered after the descriptor is stored, so it cannot miss it.
    std::stop_callback hangUp(stop, [box = box_] {
      box->withFD([](int held) {
        if (held >= 0) ::shutdown(held, SHUT_RDWR);
        return 0;
      });
    });
    if (stop.stop_requested()) {
      closeConnection();
      return;
    }
    if (!SocketIO::writeFrame(fd, payload)) {
      out.yield(
          AssistantEvent::finished(std::string(AssistantHelperClient::couldNotSendMessage), true));
      end(out);
      closeConnection();
      return;
    }
    // The descriptor stays valid while this loop runs: only this thread closes it, or the hook
    // after this thread has ended.
    SocketIO::FrameReader frames(fd);
    while (!stop.stop_requested()) {
      std::optional<std::vector<std::string>> batch = frames.nextFrames();
      if (!batch) break;
      // The events of one read go to the consumer together: one wake-up for a burst.
      std::vector<AssistantEvent> events;
      events.reserve(batch->size());
      for (const std::string& frame : *batch) {
        try {
          events.push_back(core::decodeFromString<AssistantEvent>(frame));
        } catch (const std::exception&) {
          // Not an event: skipped.
        }
      }
      if (!events.empty()) out.yieldAll(std::move(events));
    }
    end(out);
    closeConnection();
  }

  // A sign-in's registration goes before the stream ends, so that a consumer that has seen the
  // end can no longer send a code over it.
  void end(const Stream::Continuation& out) {
    if (registration_) registration_->setValue(nullptr);
    out.finish();
  }

  // Whoever takes the descriptor from the box closes it, so it is closed exactly once.
  void closeConnection() { unique_fd closing = box_->take(); }

  const std::string socketPath_;
  const std::shared_ptr<ActiveConnection> registration_;
  const std::shared_ptr<FDBox> box_ = std::make_shared<FDBox>();
  std::mutex readerMutex_;  // guards reader_
  std::optional<ThreadOwner::Handle> reader_;
};

}  // namespace

std::string AssistantHelperClient::defaultSocketPath() {
  return protocol::IPCEndpoint::assistantSocketPath();
}

const std::shared_ptr<ActiveConnection>& AssistantHelperClient::activeLogin() {
  return shared().activeLogin;
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
