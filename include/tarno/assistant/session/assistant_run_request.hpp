// One conversation turn as a client asks for it.
#pragma once

#include <optional>
#include <string>

#include "tarno/assistant/session/claude_model.hpp"
#include "tarno/core/json_record.hpp"

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

  // Old clients send neither allowCommit nor engineID: both read as their defaults.
  static constexpr auto jsonFields =
      std::tuple{core::required("prompt", &AssistantRunRequest::prompt),
                 core::required("model", &AssistantRunRequest::model),
                 core::optional("resumeSessionID", &AssistantRunRequest::resumeSessionID),
                 core::withDefault("allowCommit", &AssistantRunRequest::allowCommit),
                 core::optional("context", &AssistantRunRequest::context),
                 core::withDefault("engineID", &AssistantRunRequest::engineID)};

  friend bool operator==(const AssistantRunRequest&, const AssistantRunRequest&) = default;
};

}  // namespace tarno::assistant
