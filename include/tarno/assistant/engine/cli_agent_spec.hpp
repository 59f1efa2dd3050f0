// The description of one command-line agent: how to find it, run it, read its output, sign it
// in and tell whether it is signed in.
#pragma once

#include <functional>
#include <optional>
#include <stop_token>
#include <string>
#include <vector>

#include "tarno/assistant/engine/claude_invocation.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/session/assistant_run_request.hpp"
#include "tarno/assistant/support/event_stream.hpp"

namespace tarno::assistant {

// A plain value built with designated initialisers, fields in this order. Every closure may be
// called from any thread and keeps no shared mutable state. Executables are paths.
struct CLIAgentSpec {
  using Locate = std::function<std::optional<std::string>()>;
  using BuildArguments = std::function<std::vector<std::string>(
      const AssistantRunRequest& request, const std::optional<std::string>& mcpPath)>;
  using MakeEnvironment = std::function<Environment()>;
  using ParseLine = std::function<std::vector<AssistantEvent>(const std::string& line)>;
  using MakeLoginStream = std::function<EventStream<AssistantEvent>(const std::string& executable)>;
  using CheckReady = std::function<bool(const std::string& executable, std::stop_token stop)>;

  // Matched exactly against AssistantRunRequest::engineID.
  std::string id;
  // Shown to the user and used in messages.
  std::string displayName;
  // The executable; absent means not installed.
  Locate locate;
  // The argument list of one run, given the request and the optional path of tarno-mcp.
  BuildArguments buildArguments;
  // The child's complete environment.
  MakeEnvironment makeEnvironment;
  // One output line to events.
  ParseLine parseLine;
  // Runs the sign-in with the given executable; empty when the agent has no sign-in.
  MakeLoginStream makeLoginStream;
  // Whether the agent is ready (signed in); empty means always ready. A check that blocks ends
  // soon after `stop` is requested.
  CheckReady checkReady;

  // The claude CLI: found by ClaudeLocator, turns built by ClaudeInvocation::forRequest, the
  // allowlisted environment, stream-JSON output, ClaudeLoginRunner and ClaudeAuth.
  static CLIAgentSpec claude();

  // What runs when no agent is registered: id "none", never installed, no sign-in.
  static CLIAgentSpec fallback();
};

}  // namespace tarno::assistant
