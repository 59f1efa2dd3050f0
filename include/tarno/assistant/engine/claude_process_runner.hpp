// Runs one CLI agent child and turns its standard output into a stream of assistant events.
//
// Both stream() forms return at once and may be called from any thread. Each run owns one
// thread ("claude" runner) that starts the child, reads its standard output and standard error,
// parses complete lines with the given parser (on that thread) and yields the events of each
// read together, waits for the child and ends the stream; the thread holds everything it uses and
// ends by itself once the child has exited and its output is closed. The child is reaped before the
// stream ends. The child leads its own process group, and every signal goes to the whole group.
// Runs still going at process exit have their child sent SIGTERM (SIGKILL after the grace) and
// their thread joined.
//
// The stream ends exactly once, after at least one `finished` event: the CLI's own (every one it
// prints is passed on), or else a synthetic one built from its standard error or exit status. A
// child that exits, or closes its standard output and runs on, has the grace for what is left
// to end (itself, or what it started and still holds its pipes); then its group gets SIGTERM
// and, a grace later, SIGKILL. Dropping or cancelling the stream
// sends the child SIGTERM if it still runs, or, once the CLI has sent its own `finished`, after
// it has had the grace to exit by itself; a child still running a grace after SIGTERM gets
// SIGKILL. The run then only drains the child's output, unread, and reaps it on its own thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarno/assistant/engine/claude_invocation.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/event_stream.hpp"

namespace tarno::assistant {

struct ClaudeProcessRunner {
  ClaudeProcessRunner() = delete;

  // Maps one output line (decoded UTF-8, without its line feed) to events. Called on the run's
  // own thread; an exception it throws counts as no events.
  using LineParser = std::function<std::vector<AssistantEvent>(const std::string& line)>;

  // Runs `executable` (a path; PATH is not searched) with `arguments` (without the program
  // name) and exactly `environment`, in `currentDirectory` when given (ours otherwise).
  // Standard input is inherited. `grace` is how long the child is given at each step of its end.
  static EventStream<AssistantEvent> stream(
      std::string executable, std::vector<std::string> arguments, Environment environment,
      std::optional<std::string> currentDirectory, LineParser parse,
      std::chrono::milliseconds grace = ChildProcess::terminationGrace);

  // The claude CLI for one turn: `invocation.arguments()`, lines parsed as stream JSON.
  static EventStream<AssistantEvent> stream(std::string executable,
                                            const ClaudeInvocation& invocation,
                                            Environment environment,
                                            std::optional<std::string> currentDirectory);

  // Standard error beyond this many bytes is read and dropped: it only ever becomes the text
  // of one event, which has to fit in a frame.
  static constexpr std::size_t maxStderrBytes = 1 << 20;
};

}  // namespace tarno::assistant
