// Asking the claude CLI whether it is signed in.
#include "tarno/assistant/engine/claude_auth.hpp"

#include <chrono>
#include <exception>
#include <span>
#include <utility>
#include <variant>

#include "tarno/assistant/engine/tarno_assistant_config.hpp"
#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/assistant/support/diagnostics.hpp"
#include "tarno/assistant/support/unique_fd.hpp"
#include "tarno/core/json_value.hpp"
#include "tarno/core/text.hpp"

namespace tarno::assistant {

namespace {
constexpr std::string_view childName = "claude auth status";
constexpr std::chrono::milliseconds exitCheck{50};
}  // namespace

bool ClaudeAuth::isLoggedIn(const std::string& executable, std::stop_token stop) {
  return isLoggedIn(executable, ClaudeInvocation::subscriptionEnvironment(processEnvironment()),
                    TarnoAssistantConfig::agentWorkingDirectory(), std::move(stop));
}

bool ClaudeAuth::isLoggedIn(const std::string& executable, const Environment& environment,
                            const std::string& workingDirectory, std::stop_token stop) {
  // Nobody waits for the answer any more: the CLI is not started for it.
  if (stop.stop_requested()) return false;
  // Standard output and standard error share one pipe: the answer may come on either.
  auto output = makePipe();
  if (!output) return false;
  std::string bytes;
  {
    auto spawned = ChildProcess::spawn(
        ChildProcess::Options(executable)
            .withArguments({"auth", "status"})
            .withEnvironment(environmentEntries(environment))
            .withWorkingDirectory(workingDirectory)
            .withStandardInput(ChildProcess::Stdio::devNull())
            .withStandardOutput(ChildProcess::Stdio::descriptor(output->writeEnd.get()))
            .withStandardError(ChildProcess::Stdio::descriptor(output->writeEnd.get()))
            .withNewSession());
    output->writeEnd.reset();
    auto* child = std::get_if<ChildProcess>(&spawned);
    if (child == nullptr) return false;
    const pid_t pid = child->pid();
    diagnostics::childStarted(childName, pid);
    OutputSource source{output->readEnd.get(),
                        [&bytes](std::string_view chunk) { bytes.append(chunk); }};
    // A check that hangs must not hold up its owner's exit. The answer is complete once the CLI
    // has exited: what it left behind on the pipe is not waited for, but ended with its group
    // while the exited leader is still unreaped.
    readToEnd(std::span(&source, 1), {.tick = exitCheck,
                                      .keepReading = [&] { return child->isRunning(); },
                                      .child = child,
                                      .stop = stop});
    if (!child->isRunning()) child->terminate();
    diagnostics::childExited(childName, pid,
                             stop.stop_requested() ? child->terminateAndWait() : child->wait());
  }
  if (stop.stop_requested()) return false;
  return parseLoggedIn(bytes);
}

bool ClaudeAuth::parseLoggedIn(std::string_view output) {
  const std::string text = core::decodeUTF8Lossy(output);
  const std::size_t first = text.find('{');
  const std::size_t last = text.rfind('}');
  if (first == std::string::npos || last == std::string::npos || last <= first) return false;
  try {
    const core::JsonValue value =
        core::parseJson(std::string_view(text).substr(first, last - first + 1));
    const core::JsonValue* member = value.isObject() ? value.find("loggedIn") : nullptr;
    const bool* loggedIn = member != nullptr ? member->asBool() : nullptr;
    return loggedIn != nullptr && *loggedIn;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace tarno::assistant
