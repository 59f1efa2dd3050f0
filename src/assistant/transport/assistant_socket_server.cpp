// The helper socket's server: accept loop, peer check, one thread per connection.
#include "tarno/assistant/transport/assistant_socket_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <variant>
#include <vector>

#include "tarno/assistant/support/diagnostics.hpp"
#include "tarno/assistant/transport/socket_io.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/protocol/frame_codec.hpp"

namespace tarno::assistant {
namespace {

constexpr int listenBacklog = 8;

std::optional<AssistantCommand> decodeCommand(std::string_view frame) {
  try {
    return core::decodeFromString<AssistantCommand>(frame);
  } catch (const core::DecodingError& error) {
    if (diagnostics::debugEnabled()) {
      diagnostics::debug("frame does not decode as a command: " + error.description() +
                         (error.path().empty() ? "" : " at " + error.path()));
    }
    return std::nullopt;
  } catch (const std::exception& error) {
    diagnostics::debug(std::string("frame does not decode as a command: ") + error.what());
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
      diagnostics::debug("event dropped: it cannot be sent as one frame");
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

// The poll events that mean the client has gone: closed its end, or reset. A client that only
// shut down its sending side (POLLRDHUP) has said all it will say and still reads its events.
constexpr short hangUpEvents = POLLHUP | POLLERR;

// A connection that read this much (one oversized or unterminated frame, say) hands its
// memory back to the system when it ends: the allocator would otherwise keep the freed pages
// of a burst for good, in the arena of whichever thread read them.
constexpr std::size_t trimAfterBytes = 1024 * 1024;

void returnFreedMemory() {
#if defined(__GLIBC__)
  ::malloc_trim(0);
#endif
}

// glibc raises its mmap threshold after each large free, up to 32 MiB, so the next burst of
// big buffers lands in the connection threads' arenas, whose tops malloc_trim does not give
// back. A fixed threshold keeps every large buffer in a mapping of its own, unmapped on free.
void keepLargeBuffersMapped() {
#if defined(__GLIBC__)
  ::mallopt(M_MMAP_THRESHOLD, 128 * 1024);
#endif
}

// A rough frame size for backpressure: the event's texts plus what JSON wraps them in. Only
// the order of magnitude matters, and the estimate costs no encoding.
std::size_t estimatedFrameBytes(const AssistantEvent& event) {
  return std::visit(
      [](const auto& payload) {
        std::size_t bytes = 64;
        auto add = [&](const auto& text) {
          if constexpr (requires { text.has_value(); }) {
            if (text) bytes += text->size();
          } else {
            bytes += text.size();
          }
        };
        if constexpr (requires { payload.text; }) add(payload.text);
        if constexpr (requires { payload.sessionID; }) add(payload.sessionID);
        if constexpr (requires { payload.model; }) add(payload.model);
        if constexpr (requires { payload.id; }) add(payload.id);
        if constexpr (requires { payload.name; }) add(payload.name);
        if constexpr (requires { payload.inputSummary; }) add(payload.inputSummary);
        if constexpr (requires { payload.summary; }) add(payload.summary);
        return bytes;
      },
      event.payload());
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
                                             CodeSink codeSink, Limits limits)
    : socketPath_(std::move(socketPath)),
      handler_(std::move(handler)),
      codeSink_(std::move(codeSink)),
      limits_(limits),
      listener_(socketPath_,
                {.maxConnections = limits.maxConnections,
                 .backlog = listenBacklog,
                 // Only the helper's own user may talk to it; anyone else is closed unheard.
                 .refused =
                     [](std::optional<uid_t> peer) {
                       diagnostics::debug("connection refused: peer uid " +
                                          (peer ? std::to_string(*peer) : std::string("unknown")));
                     },
                 // What the connections' threads freed stays in their arenas otherwise: an idle
                 // helper gives it back.
                 .idle = returnFreedMemory}) {}

AssistantSocketServer::~AssistantSocketServer() {
  stop();
  // Each connection's stop shuts its socket down, which ends it as if the client had left.
  connections_.stopAll();
}

void AssistantSocketServer::start() {
  std::lock_guard life(lifecycleMutex_);
  if (listener_.isListening()) return;

  if (!SocketAddr::unix(socketPath_)) throw StartError::pathTooLong();
  keepLargeBuffersMapped();

  // Whatever is there (most likely the socket of an earlier run) has to go for bind to work.
  ::unlink(socketPath_.c_str());

  const auto failure = listener_.start([this](unique_fd fd, protocol::SocketAcceptor::Slot slot) {
    if (diagnostics::debugEnabled()) {
      diagnostics::debug("connection " + std::to_string(fd.get()) + " accepted: peer uid " +
                         std::to_string(::getuid()));
    }
    serve(std::move(fd), std::move(slot));
  });
  if (!failure) return;
  using Step = SocketIO::ListenFailure::Step;
  switch (failure->step) {
    case Step::pathTooLong:
      throw StartError::pathTooLong();
    case Step::socketFailed:
      throw StartError::socketFailed(failure->error);
    case Step::bindFailed:
      throw StartError::bindFailed(failure->error);
    case Step::listenFailed:
      throw StartError::listenFailed(failure->error);
  }
}

void AssistantSocketServer::stop() {
  std::lock_guard life(lifecycleMutex_);
  listener_.stop();
}

void AssistantSocketServer::serve(unique_fd fd, protocol::SocketAcceptor::Slot slot) {
  try {
    // The slot is held until the connection's body (and its descriptor) is gone.
    connections_.start(
        "conn", [this, slot = std::move(slot), owned = std::move(fd)](std::stop_token stop) {
          const int number = owned.get();
          // Only the server going away stops a connection: it ends as if the client had left. The
          // descriptor is closed once this callback can no longer run.
          std::stop_callback hangUp(stop, [number] { ::shutdown(number, SHUT_RDWR); });
          runConnection(stop, number);
        });
  } catch (const std::exception&) {
    // No thread (or no memory): the connection is closed unanswered with the discarded body.
  }
}

void AssistantSocketServer::runConnection(std::stop_token stop, int fd) {
  std::size_t bytesRead = 0;
  std::optional<AssistantCommand> command;
  {
    auto frame = SocketIO::readOneFrame(fd, limits_.firstFrameTimeout, bytesRead);
    if (frame) command = decodeCommand(*frame);
  }
  if (bytesRead >= trimAfterBytes) returnFreedMemory();
  if (!command) return;

  // Stopped and joined before the descriptor can be closed and its number reused.
  ThreadOwner followUp;
  if (command->isInteractive()) {
    try {
      followUp.start("follow", [this, fd](std::stop_token followStop) {
        // The reader may be blocked in a read that the peer will never complete.
        std::stop_callback release(followStop, [fd] { ::shutdown(fd, SHUT_RD); });
        readFollowUp(followStop, fd);
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
    // The stop token only fires when the server is destroyed: its shutdown of the socket
    // ends the relay just like a client that leaves.
    (void)stop;
    if (stream) relay(*stream, fd);
    // Leaving this block lets go of the stream: a producer still running is told nobody
    // listens any more.
  }

  followUp.stopAll();
}

// Has the stream's producers write their events straight to the socket (one thread hand-off
// less per event: the producer's thread sends, this one only watches) until the stream ends or
// the client goes. The socket is watched for a hang-up meanwhile, so that a client leaving a
// silent run is noticed at once; a client that stops reading blocks the producer in its send.
void AssistantSocketServer::relay(EventStream<AssistantEvent>& stream, int fd) {
  auto wake = makePipe();
  if (!wake) return;
  // Never blocks a producer: a full pipe is readable anyway.
  const int writeEnd = wake->writeEnd.get();
  if (::fcntl(writeEnd, F_SETFL, ::fcntl(writeEnd, F_GETFL) | O_NONBLOCK) != 0 ||
      ::fcntl(wake->readEnd.get(), F_SETFL, ::fcntl(wake->readEnd.get(), F_GETFL) | O_NONBLOCK) !=
          0)
    return;
  // What producers yield while another one writes waits here, within the limit.
  stream.limit(limits_.maxUnsentBytes, estimatedFrameBytes);
  stream.onReady([writeEnd] {
    const char byte = 1;
    [[maybe_unused]] const ssize_t ignored = ::write(writeEnd, &byte, 1);
  });
  stream.writeThrough(
      [fd](std::vector<AssistantEvent>& events) { return writeEvents(fd, events); });
  bool leave = false;
  // Woken by the stream's end or a failed write (the ready hook), or by the client's hang-up.
  while (!stream.isTerminated() && !stream.writeFailed()) {
    pollfd fds[2] = {{fd, hangUpEvents, 0}, {wake->readEnd.get(), POLLIN, 0}};
    const bool failed = ::poll(fds, 2, -1) < 0 && errno != EINTR;
    if (failed || (fds[0].revents & hangUpEvents) != 0) {
      diagnostics::debug("connection " + std::to_string(fd) + ": client gone");
      leave = true;
      break;
    }
    char drained[64];
    while (::read(wake->readEnd.get(), drained, sizeof drained) > 0) {
    }
  }
  if (leave || stream.writeFailed()) {
    // The run hears of it first; then a producer still blocked in a send to that client gets
    // its send failed, so that the writer can be taken back.
    stream.cancel();
    ::shutdown(fd, SHUT_RDWR);
  }
  // The socket and the pipe die with the caller's frame; the stream may outlive them.
  stream.writeThrough({});
  stream.onReady({});
}

void AssistantSocketServer::readFollowUp(std::stop_token stop, int fd) {
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
