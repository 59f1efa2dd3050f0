// Names and JSON coding of the model tiers.
#include "tarno/assistant/session/claude_model.hpp"

namespace tarno::assistant {

std::string_view rawValue(ClaudeModel model) {
  switch (model) {
    case ClaudeModel::sonnet:
      return "sonnet";
    case ClaudeModel::opus:
      return "opus";
    case ClaudeModel::haiku:
      return "haiku";
  }
  return "sonnet";
}

std::string_view alias(ClaudeModel model) {
  return rawValue(model);
}

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

std::optional<ClaudeModel> parseClaudeModel(std::string_view raw) {
  for (ClaudeModel model : allClaudeModels) {
    if (rawValue(model) == raw) return model;
  }
  return std::nullopt;
}

void toJSON(core::JsonWriter& w, ClaudeModel model) {
  w.string(rawValue(model));
}

void fromJSON(const core::JsonValue& j, ClaudeModel& out, const core::CodingPath& path) {
  out = core::decodeRawString<ClaudeModel>(j, path, "ClaudeModel", parseClaudeModel);
}

}  // namespace tarno::assistant
