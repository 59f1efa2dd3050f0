// One conversation turn as a client asks for it.
#pragma once

#include <optional>
#include <string>

#include "tarno/assistant/session/claude_model.hpp"
#include "tarno/core/json_coding.hpp"

namespace tarno::assistant {

// A plain value; build it with designated initialisers, e.g.
//   AssistantRunRequest{.prompt = "Crop it", .model = ClaudeModel::opus}
struct AssistantRunRequest {
  std::string prompt{};
  ClaudeModel model = ClaudeModel::sonnet;
  // The session to continue; absent starts a new one.
  std::optional<std::string> resumeSessionID{};
  // When false the engine forbids the tools that write to the Photos library.
  bool allowCommit = false;
  // The app's current state, appended to the system prompt.
  std::optional<std::string> context{};
  std::string engineID = "claude";

  friend bool operator==(const AssistantRunRequest&, const AssistantRunRequest&) = default;
};

void toJSON(core::JsonWriter& w, const AssistantRunRequest& request);
void fromJSON(const core::JsonValue& j, AssistantRunRequest& out, const core::CodingPath& path);

}  // namespace tarno::assistant
