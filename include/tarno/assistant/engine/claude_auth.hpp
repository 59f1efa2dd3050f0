// Whether the claude CLI is signed in, as the CLI itself reports it ("auth status").
//
// Stateless; every function may be called from any thread. isLoggedIn() blocks its caller for
// the whole life of the child, without a time limit unless its stop token is requested.
#pragma once

#include <stop_token>
#include <string>
#include <string_view>

#include "tarno/assistant/engine/claude_invocation.hpp"

namespace tarno::assistant {

struct ClaudeAuth {
  ClaudeAuth() = delete;

  // Runs "auth status" with the CLI at `executable` (allowlisted environment, agent working
  // directory, standard input from the null device) and reads its answer. False on every
  // failure: not startable, no JSON, no boolean "loggedIn". Once `stop` is requested the CLI's
  // group gets SIGTERM (SIGKILL after ChildProcess::terminationGrace) and the call returns when
  // the CLI has exited, answering from what it had printed; requested before the call, no CLI
  // is started and the answer is false.
  static bool isLoggedIn(const std::string& executable, std::stop_token stop = {});
  // The same with the child's complete environment and working directory given.
  static bool isLoggedIn(const std::string& executable, const Environment& environment,
                         const std::string& workingDirectory, std::stop_token stop = {});

  // The "loggedIn" boolean of the JSON object found between the first "{" and the last "}" of
  // the output (text around it is ignored); false when there is none.
  static bool parseLoggedIn(std::string_view output);
};

}  // namespace tarno::assistant
