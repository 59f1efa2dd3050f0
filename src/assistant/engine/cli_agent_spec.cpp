// The claude CLI's description, and the stand-in used when no agent is registered.
#include "tarno/assistant/engine/cli_agent_spec.hpp"

#include <utility>

#include "tarno/assistant/engine/claude_auth.hpp"
#include "tarno/assistant/engine/claude_locator.hpp"
#include "tarno/assistant/engine/claude_login_runner.hpp"
#include "tarno/assistant/engine/stream_json_parser.hpp"

namespace tarno::assistant {

CLIAgentSpec CLIAgentSpec::claude() {
  return CLIAgentSpec{
      .id = "claude",
      .displayName = "Claude (your subscription)",
      .locate = [] { return ClaudeLocator::locate(); },
      .buildArguments =
          [](const AssistantRunRequest& request, const std::optional<std::string>& mcpPath) {
            return ClaudeInvocation::forRequest(request, mcpPath).arguments();
          },
      .makeEnvironment =
          [] { return ClaudeInvocation::subscriptionEnvironment(processEnvironment()); },
      .parseLine = [](const std::string& line) { return StreamJSONParser::events(line); },
      .makeLoginStream =
          [](const std::string& executable) { return ClaudeLoginRunner::stream(executable); },
      .checkReady =
          [](const std::string& executable, std::stop_token stop) {
            return ClaudeAuth::isLoggedIn(executable, std::move(stop));
          },
  };
}

CLIAgentSpec CLIAgentSpec::fallback() {
  return CLIAgentSpec{
      .id = "none",
      .displayName = "None",
      .locate = []() -> std::optional<std::string> { return std::nullopt; },
      .buildArguments =
          [](const AssistantRunRequest&, const std::optional<std::string>&) {
            return std::vector<std::string>{};
          },
      .makeEnvironment = [] { return processEnvironment(); },
      .parseLine = [](const std::string&) { return std::vector<AssistantEvent>{}; },
      .makeLoginStream = {},
      .checkReady = {},
  };
}

}  // namespace tarno::assistant
