// An engine that forwards everything to the closures of a CLIAgentSpec.
#pragma once

#include <utility>

#include "tarno/assistant/engine/assistant_engine.hpp"
#include "tarno/assistant/engine/cli_agent_spec.hpp"

namespace tarno::assistant {

// A plain value, safe to use from any thread. A closure missing from its CLIAgentSpec behaves as
// "nothing": no executable, no arguments, an empty environment, no events.
class CLIAgentEngine final : public AssistantEngine {
 public:
  explicit CLIAgentEngine(CLIAgentSpec agentSpec) : spec(std::move(agentSpec)) {}

  const std::string& id() const override { return spec.id; }
  const std::string& displayName() const override { return spec.displayName; }
  std::optional<std::string> locateBinary() const override;
  std::vector<std::string> arguments(const AssistantRunRequest& request,
                                     const std::optional<std::string>& mcpPath) const override;
  Environment environment() const override;
  std::vector<AssistantEvent> parse(const std::string& line) const override;
  bool supportsLogin() const override { return static_cast<bool>(spec.makeLoginStream); }
  EventStream<AssistantEvent> makeLoginStream(const std::string& binary) const override;
  bool isReady(const std::string& binary, std::stop_token stop) const override;

  CLIAgentSpec spec;
};

}  // namespace tarno::assistant
