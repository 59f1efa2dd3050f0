// The registered engines and the choice of one by id.
#include "tarno/assistant/engine/assistant_engine_registry.hpp"

namespace tarno::assistant {

const std::vector<CLIAgentSpec>& AssistantEngineRegistry::cliAgentSpecs() {
  static const std::vector<CLIAgentSpec> specs{CLIAgentSpec::claude()};
  return specs;
}

CLIAgentEngine AssistantEngineRegistry::engine(std::optional<std::string_view> id) {
  return engine(id, cliAgentSpecs());
}

CLIAgentEngine AssistantEngineRegistry::engine(std::optional<std::string_view> id,
                                               const std::vector<CLIAgentSpec>& specs) {
  if (specs.empty()) return CLIAgentEngine(CLIAgentSpec::fallback());
  if (id) {
    for (const CLIAgentSpec& spec : specs) {
      if (spec.id == *id) return CLIAgentEngine(spec);
    }
  }
  // An unknown id silently runs the first engine.
  return CLIAgentEngine(specs.front());
}

}  // namespace tarno::assistant
