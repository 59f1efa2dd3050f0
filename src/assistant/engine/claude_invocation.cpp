// Argument list and environment of a claude run.
#include "tarno/assistant/engine/claude_invocation.hpp"

#include "tarno/assistant/engine/tarno_assistant_config.hpp"

namespace tarno::assistant {

namespace {

bool presentAndNonEmpty(const std::optional<std::string>& value) {
  return value.has_value() && !value->empty();
}

}  // namespace

ClaudeInvocation ClaudeInvocation::forRequest(const AssistantRunRequest& request,
                                              const std::optional<std::string>& mcpPath) {
  std::string systemPrompt(TarnoAssistantConfig::systemPromptAddendum);
  if (presentAndNonEmpty(request.context)) {
    // The app's state reads as one more paragraph after ours.
    systemPrompt.append("\n\n");
    systemPrompt.append(*request.context);
  }
  ClaudeInvocation invocation{
      .prompt = request.prompt,
      .model = request.model,
      .resumeSessionID = request.resumeSessionID,
      .appendSystemPrompt = std::move(systemPrompt),
      .mcpConfigJSON = std::nullopt,
      .disallowedTools = TarnoAssistantConfig::disallowedTools(request.allowCommit),
      .permissionMode = std::nullopt,
  };
  if (mcpPath) invocation.mcpConfigJSON = TarnoAssistantConfig::mcpConfigJSON(*mcpPath);
  return invocation;
}

std::vector<std::string> ClaudeInvocation::arguments() const {
  std::vector<std::string> args = {
      "-p",
      prompt,
      "--output-format",
      "stream-json",
      "--verbose",
      "--include-partial-messages",
      "--model",
      std::string(alias(model)),
  };
  if (presentAndNonEmpty(resumeSessionID)) {
    args.insert(args.end(), {"--resume", *resumeSessionID});
  }
  if (presentAndNonEmpty(appendSystemPrompt)) {
    args.insert(args.end(), {"--append-system-prompt", *appendSystemPrompt});
  }
  if (presentAndNonEmpty(mcpConfigJSON)) {
    args.insert(args.end(), {"--mcp-config", *mcpConfigJSON, "--strict-mcp-config"});
  }
  if (!disallowedTools.empty()) {
    std::string joined;
    for (std::size_t i = 0; i < disallowedTools.size(); ++i) {
      if (i > 0) joined.push_back(',');
      joined.append(disallowedTools[i]);
    }
    args.insert(args.end(), {"--disallowedTools", std::move(joined)});
  }
  if (presentAndNonEmpty(permissionMode)) {
    args.insert(args.end(), {"--permission-mode", *permissionMode});
  }
  return args;
}

Environment ClaudeInvocation::subscriptionEnvironment(const Environment& from) {
  Environment kept;
  for (std::string_view name : agentEnvironmentAllowlist) {
    if (auto it = from.find(name); it != from.end()) kept.insert(*it);
  }
  return kept;
}

}  // namespace tarno::assistant
