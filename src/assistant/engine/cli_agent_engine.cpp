// CLIAgentEngine: each requirement answered by its CLIAgentSpec's closure.
#include "tarno/assistant/engine/cli_agent_engine.hpp"

#include <utility>

namespace tarno::assistant {

std::optional<std::string> CLIAgentEngine::locateBinary() const {
  return spec.locate ? spec.locate() : std::nullopt;
}

std::vector<std::string> CLIAgentEngine::arguments(
    const AssistantRunRequest& request, const std::optional<std::string>& mcpPath) const {
  return spec.buildArguments ? spec.buildArguments(request, mcpPath) : std::vector<std::string>{};
}

Environment CLIAgentEngine::environment() const {
  return spec.makeEnvironment ? spec.makeEnvironment() : Environment{};
}

std::vector<AssistantEvent> CLIAgentEngine::parse(const std::string& line) const {
  return spec.parseLine ? spec.parseLine(line) : std::vector<AssistantEvent>{};
}

EventStream<AssistantEvent> CLIAgentEngine::makeLoginStream(const std::string& binary) const {
  if (spec.makeLoginStream) return spec.makeLoginStream(binary);
  return EventStream<AssistantEvent>::of({});
}

bool CLIAgentEngine::isReady(const std::string& binary, std::stop_token stop) const {
  return spec.checkReady ? spec.checkReady(binary, std::move(stop)) : true;
}

}  // namespace tarno::assistant
