// The tarno-assistant executable: mode selection, the one-shot runs that print events as JSON
// lines, and serve mode on the helper socket.
//
// Everything runs on the main thread: in the one-shot modes it consumes the event stream and
// does all the writing, so output lines never interleave; in serve mode it only waits while
// the socket server's threads do the work. SIGTERM and SIGINT are blocked from the start and
// taken by one watcher thread: they end the run (or the serving), the CLI children are ended
// with it, and the process exits through main.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarno/assistant/engine/claude_invocation.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/session/assistant_run_request.hpp"
#include "tarno/assistant/support/event_stream.hpp"

namespace tarno::assistant {

struct TarnoAssistantHelper {
  TarnoAssistantHelper() = delete;

  static constexpr std::string_view usage =
      "usage: tarno-assistant serve | --prompt <text> [--mcp <tarno-mcp path>] "
      "[--model sonnet|opus|haiku] [--resume <session-id>]";
  static constexpr std::string_view oneShotEngineID = "claude";
  static constexpr std::string_view claudeProductPage = "https://claude.com/product/claude-code";

  // Exit statuses.
  static constexpr int success = 0;
  static constexpr int runFailed = 1;
  static constexpr int usageOrStartupFailure = 2;

  // The entry point: "serve" anywhere in `args` (the program name included) starts serve mode,
  // else "login" anywhere runs the sign-in, else the prompt one-shot reads its flags. Returns
  // the exit status.
  static int main(const std::vector<std::string>& args);

  // Runs the prompt given with --prompt; the run's outcome as exit status.
  static int oneShot(const std::vector<std::string>& args);
  // Runs the CLI's sign-in; its outcome as exit status.
  static int loginOneShot();
  // Serves the helper socket until SIGTERM or SIGINT (then 0), or 2 when it cannot start.
  static int serve(const std::vector<std::string>& args);

  // The element right after the first one equal to `flag`, unchanged; absent when the flag
  // does not occur or is last.
  static std::optional<std::string> value(std::string_view flag,
                                          const std::vector<std::string>& args);

  // The CLI invocation of a one-shot run.
  static ClaudeInvocation invocation(const AssistantRunRequest& request,
                                     const std::optional<std::string>& mcpPath);

  // tarno-mcp beside the program named by `argv0` (element 0 of the argument vector, relative
  // to the current directory unless absolute, not resolved further), when it is an executable
  // file there.
  static std::optional<std::string> siblingMCPPath(std::string_view argv0);

  // One diagnostic line on standard error.
  static void note(std::string_view message);
  // One diagnostic line; returns exit status 2.
  static int fail(std::string_view message);

  // Prints each event as one compact JSON line; returns 1 if any event was a `finished` error,
  // SIGTERM or SIGINT cut the run short, or an event could not be written (the run is then
  // cancelled), else 0.
  static int printEvents(EventStream<AssistantEvent> events);
};

}  // namespace tarno::assistant
