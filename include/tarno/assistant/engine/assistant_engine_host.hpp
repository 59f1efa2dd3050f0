// The facade every command goes through: picks the engine, finds its executable, and answers
// with a stream of events (a run, a sign-in, or one `finished` event).
//
// Every function may be called from any thread. The stream-returning functions return at once;
// the work happens while the stream is consumed, and streams buffer without limit. The only
// state is the MCP path, computed once on first use, and the registry's spec list.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarno/assistant/engine/claude_locator.hpp"
#include "tarno/assistant/engine/cli_agent_spec.hpp"
#include "tarno/assistant/session/assistant_command.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/session/assistant_run_request.hpp"
#include "tarno/assistant/support/event_stream.hpp"

namespace tarno::assistant {

struct AssistantEngineHost {
  AssistantEngineHost() = delete;

  // The dispatcher the helper socket calls for every command; `mcpPath` is the tarno-mcp
  // handed to runs (none: runs get no MCP configuration).
  static EventStream<AssistantEvent> run(const AssistantCommand& command,
                                         const std::optional<std::string>& mcpPath);
  // Gives the working directory of a run, creating it if needed.
  using WorkingDirectory = std::function<std::string()>;
  // The same, choosing among `specs` instead of the registered ones, with runs in the directory
  // that `workingDirectory` gives.
  static EventStream<AssistantEvent> run(
      const AssistantCommand& command, const std::optional<std::string>& mcpPath,
      const std::vector<CLIAgentSpec>& specs,
      const WorkingDirectory& workingDirectory = agentWorkingDirectory);

  // run(command, bundledMCPPath()) for a turn, a sign-in and a status check.
  static EventStream<AssistantEvent> run(const AssistantRunRequest& request);
  static EventStream<AssistantEvent> connect();
  static EventStream<AssistantEvent> status();

  // Whether the default engine finds its executable.
  static bool isAvailable();
  static bool isAvailable(const std::vector<CLIAgentSpec>& specs);

  // Hands a code to the sign-in in progress (ClaudeLoginRunner::submitCode).
  static bool submitLoginCode(std::string_view code);

  static constexpr std::string_view mcpServerFileName = "tarno-mcp";

  // The tarno-mcp found beside this program, computed once: resolveMCPPath() of the main
  // bundle directory and the user's home directory.
  static std::optional<std::string> bundledMCPPath();
  // The first executable of `bundleDirectory` + "/Contents/Helpers/tarno-mcp" (skipped when
  // the directory is absent) and `home` + "/.tarno/bin/tarno-mcp".
  static std::optional<std::string> resolveMCPPath(
      const std::optional<std::string>& bundleDirectory, std::string_view home,
      const ClaudeLocator::ExecutableTest& isExecutable = ClaudeLocator::isExecutableFile);
  // `directory` + "/tarno-mcp" when that is an executable file.
  static std::optional<std::string> mcpServerIn(
      std::string_view directory,
      const ClaudeLocator::ExecutableTest& isExecutable = ClaudeLocator::isExecutableFile);
  // The directory of the running executable; absent when it cannot be found.
  static std::optional<std::string> mainBundleDirectory();

  // The working directory of every CLI child (TarnoAssistantConfig::agentWorkingDirectory()).
  static std::string agentWorkingDirectory();
};

}  // namespace tarno::assistant
