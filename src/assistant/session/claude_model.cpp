// Display names and taglines of the model tiers.
#include "tarno/assistant/session/claude_model.hpp"

namespace tarno::assistant {

std::string_view displayName(ClaudeModel model) {
  switch (model) {
    case ClaudeModel::sonnet:
      return "Claude Sonnet";
    case ClaudeModel::opus:
      return "Claude Opus";
    case ClaudeModel::haiku:
      return "Claude Haiku";
  }
  return "Claude Sonnet";
}

std::string_view tagline(ClaudeModel model) {
  switch (model) {
    case ClaudeModel::sonnet:
      return "Balanced \u2014 the everyday default";
    case ClaudeModel::opus:
      return "Most capable \u2014 for complex edits";
    case ClaudeModel::haiku:
      return "Fastest \u2014 best for simple tasks in bulk";
  }
  return {};
}

}  // namespace tarno::assistant
