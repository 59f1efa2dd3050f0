// The model tiers a run can ask for, and the names under which they are shown and passed on.
#pragma once

#include <array>
#include <optional>
#include <string_view>

#include "tarno/core/json_coding.hpp"

namespace tarno::assistant {

enum class ClaudeModel { sonnet, opus, haiku };

// Declaration order, which is also the order clients list the tiers in.
inline constexpr std::array<ClaudeModel, 3> allClaudeModels = {
    ClaudeModel::sonnet, ClaudeModel::opus, ClaudeModel::haiku};

// "sonnet", "opus", "haiku": the JSON form.
std::string_view rawValue(ClaudeModel model);
// The model name handed to the claude CLI; always the raw value.
std::string_view alias(ClaudeModel model);
// "Claude Sonnet", …
std::string_view displayName(ClaudeModel model);
// One line for a model picker.
std::string_view tagline(ClaudeModel model);
// Exactly the three raw values, case-sensitively; absent for anything else.
std::optional<ClaudeModel> parseClaudeModel(std::string_view rawValue);

void toJSON(core::JsonWriter& w, ClaudeModel model);
void fromJSON(const core::JsonValue& j, ClaudeModel& out, const core::CodingPath& path);

}  // namespace tarno::assistant
