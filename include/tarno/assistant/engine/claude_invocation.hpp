// One conversation turn for the claude CLI, its exact argument list, and which variables of an
// environment the CLI child may inherit.
//
// ClaudeInvocation is a plain value; its functions are pure and may be called from any thread.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarno/assistant/session/assistant_run_request.hpp"
#include "tarno/assistant/session/claude_model.hpp"
#include "tarno/assistant/support/environment.hpp"

namespace tarno::assistant {

struct ClaudeInvocation {
  std::string prompt{};
  ClaudeModel model = ClaudeModel::sonnet;
  std::optional<std::string> resumeSessionID{};
  std::optional<std::string> appendSystemPrompt{};
  std::optional<std::string> mcpConfigJSON{};   // inline JSON text, not a file path
  std::vector<std::string> disallowedTools{};   // fully qualified tool names
  std::optional<std::string> permissionMode{};  // the builders here always leave it absent

  // The only variables that reach the CLI child; matched exactly, case included.
  static constexpr std::array<std::string_view, 16> agentEnvironmentAllowlist = {
      "HOME",     "PATH",       "USER",        "LOGNAME",  "SHELL",      "TMPDIR",
      "TERM",     "LANG",       "LC_ALL",      "LC_CTYPE", "HTTP_PROXY", "HTTPS_PROXY",
      "NO_PROXY", "http_proxy", "https_proxy", "no_proxy",
  };

  // The turn for `request`, with the shared system prompt (plus the request's context), the
  // inline MCP configuration when `mcpPath` is given, and the write tools forbidden unless the
  // request allows changes to the Photos library.
  static ClaudeInvocation forRequest(const AssistantRunRequest& request,
                                     const std::optional<std::string>& mcpPath);

  // The CLI's argument list (without the program name). Empty optional values count as absent.
  std::vector<std::string> arguments() const;

  // `from` restricted to the allowlisted names; values unchanged.
  static Environment subscriptionEnvironment(const Environment& from);

  friend bool operator==(const ClaudeInvocation&, const ClaudeInvocation&) = default;
};

}  // namespace tarno::assistant
