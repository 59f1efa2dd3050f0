// What the engine host needs from an engine: finding its executable, building a run, reading
// its output, and signing it in.
#pragma once

#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "tarno/assistant/engine/claude_invocation.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/session/assistant_run_request.hpp"
#include "tarno/assistant/support/event_stream.hpp"

namespace tarno::assistant {

// Implementations are immutable values whose functions may be called from any thread.
class AssistantEngine {
 public:
  virtual ~AssistantEngine() = default;

  virtual const std::string& id() const = 0;
  virtual const std::string& displayName() const = 0;
  // The executable's path; absent when the engine is not installed.
  virtual std::optional<std::string> locateBinary() const = 0;
  virtual std::vector<std::string> arguments(const AssistantRunRequest& request,
                                             const std::optional<std::string>& mcpPath) const = 0;
  virtual Environment environment() const = 0;
  virtual std::vector<AssistantEvent> parse(const std::string& line) const = 0;
  virtual bool supportsLogin() const = 0;
  // The sign-in's events; a stream that ends at once, without events, when there is none.
  virtual EventStream<AssistantEvent> makeLoginStream(const std::string& binary) const = 0;
  // Whether the engine is signed in; true when it has no such notion. Returns soon after `stop`
  // is requested.
  virtual bool isReady(const std::string& binary, std::stop_token stop) const = 0;

 protected:
  AssistantEngine() = default;
  AssistantEngine(const AssistantEngine&) = default;
  AssistantEngine& operator=(const AssistantEngine&) = default;
};

}  // namespace tarno::assistant
