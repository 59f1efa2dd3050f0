// Whether the claude CLI is signed in, as the CLI itself reports it ("auth status").
//
// Stateless; every function may be called from any thread. isLoggedIn() blocks its caller for
// the whole life of the child, without a time limit.
#pragma once

#include <string>
#include <string_view>

#include "tarno/assistant/engine/claude_invocation.hpp"

namespace tarno::assistant {

struct ClaudeAuth {
  ClaudeAuth() = delete;

  // Runs "auth status" with the CLI at `executable` (allowlisted environment, agent working
  // directory, standard input from the null device) and reads its answer. False on every
  // failure: not startable, no JSON, no boolean "loggedIn".
  static bool isLoggedIn(const std::string& executable);
  // The same with the child's complete environment and working directory given.
  static bool isLoggedIn(const std::string& executable, const Environment& environment,
                         const std::string& workingDirectory);

  // The "loggedIn" boolean of the JSON object found between the first "{" and the last "}" of
  // the output (text around it is ignored); false when there is none.
  static bool parseLoggedIn(std::string_view output);
};

}  // namespace tarno::assistant
