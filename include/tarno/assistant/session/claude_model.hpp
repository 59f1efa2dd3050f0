// The model tiers a run can ask for, and the names under which they are shown and passed on.
#pragma once

#include <optional>
#include <string_view>

#include "tarno/core/json_record.hpp"

namespace tarno::assistant {

// Coded as its case name ("sonnet", "opus", "haiku"); core::allCases<ClaudeModel> lists the tiers
// in declaration order, which is also the order clients list them in.
enum class ClaudeModel { sonnet, opus, haiku };

// The model name handed to the claude CLI; always the raw value.
constexpr std::string_view alias(ClaudeModel model) {
  return core::rawValue(model);
}
// "Claude Sonnet", …
std::string_view displayName(ClaudeModel model);
// One line for a model picker.
std::string_view tagline(ClaudeModel model);
// Exactly the three raw values, case-sensitively; absent for anything else.
constexpr std::optional<ClaudeModel> parseClaudeModel(std::string_view rawValue) {
  return core::caseWithRawValue<ClaudeModel>(rawValue);
}

}  // namespace tarno::assistant
