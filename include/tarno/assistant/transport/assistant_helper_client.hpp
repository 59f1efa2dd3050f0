// The app's side of the helper socket: one command per connection, its answer as an event
// stream, and the hand-over of an authorization code over the sign-in connection.
//
// Every function may be called from any thread. The stream operations return at once; each
// starts one reader thread ("reader") that connects, sends the command and turns the frames
// that come back into events. A failure to reach the helper arrives in the stream as its only
// event, a `finished` with the error flag, so callers handle every outcome by reading.
//
// Lifetime: a stream owns its connection. When the server closes it the reader finishes the
// stream, closes the descriptor and ends. When the consumer drops or cancels the stream first,
// the connection is shut down, the reader waited for and the descriptor closed, in that order,
// on the consumer's thread; the server then sees its next write fail. Readers still running at
// process exit are stopped the same way and joined.
//
// Process-wide state: the registration of the sign-in connection opened last by connect(),
// cleared when that stream (or any sign-in stream) ends.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "tarno/assistant/session/assistant_command.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/session/assistant_run_request.hpp"
#include "tarno/assistant/support/event_stream.hpp"
#include "tarno/assistant/transport/socket_io.hpp"

namespace tarno::assistant {

struct AssistantHelperClient {
  AssistantHelperClient() = delete;

  // The texts of the `finished` event that reports a failure to reach the helper.
  static constexpr std::string_view notRunningMessage =
      "the tarno assistant helper isn't running. Install it and make sure you're signed into "
      "Claude.";
  static constexpr std::string_view couldNotSendMessage =
      "couldn't send the request to the assistant helper.";

  // Where the helper listens for the current user: "assistant.sock" in the support directory.
  static std::string defaultSocketPath();

  // Whether a connection to the socket can be made now; nothing is sent.
  static bool isReachable(const std::string& socketPath = defaultSocketPath());

  // Runs one conversation turn in the helper.
  static EventStream<AssistantEvent> run(const AssistantRunRequest& request,
                                         const std::string& socketPath = defaultSocketPath());

  // Starts the sign-in and registers its connection for submitLoginCode(), replacing any
  // earlier registration.
  static EventStream<AssistantEvent> connect(const std::string& socketPath = defaultSocketPath());

  // Asks whether the helper's engine is ready (signed in).
  static EventStream<AssistantEvent> status(const std::string& socketPath = defaultSocketPath());

  // Sends the code, trimmed of whitespace and line breaks, as a loginCode command over the
  // registered sign-in connection. False, sending nothing, when the trimmed code is empty, no
  // sign-in connection is registered or it is already closed; false too when the write fails.
  // The answer, if any, arrives as events of the sign-in stream.
  static bool submitLoginCode(std::string_view code);

 private:
  static EventStream<AssistantEvent> send(AssistantCommand command, std::string socketPath,
                                          std::shared_ptr<ActiveConnection> registration);
  // Shared with every sign-in stream; it outlives every reader thread.
  static const std::shared_ptr<ActiveConnection>& activeLogin();
};

}  // namespace tarno::assistant
