// The known engines, and the choice of one for a run's engine id.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

#include "tarno/assistant/engine/cli_agent_engine.hpp"
#include "tarno/assistant/engine/cli_agent_spec.hpp"

namespace tarno::assistant {

// Stateless apart from the list of CLIAgentSpec values, which is built once on first use
// (thread-safe) and never changes; every function may be called from any thread.
struct AssistantEngineRegistry {
  AssistantEngineRegistry() = delete;

  static constexpr std::string_view defaultEngineID = "claude";

  // The registered specs: the claude CLI only.
  static const std::vector<CLIAgentSpec>& cliAgentSpecs();

  // The engine of the first registered spec whose id equals `id` exactly; the first spec's when
  // no id is given or none matches; the fallback's when nothing is registered.
  static CLIAgentEngine engine(std::optional<std::string_view> id);
  // The same choice among `specs`.
  static CLIAgentEngine engine(std::optional<std::string_view> id,
                               const std::vector<CLIAgentSpec>& specs);
};

}  // namespace tarno::assistant
