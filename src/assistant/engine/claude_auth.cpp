// Asking the claude CLI whether it is signed in.
#include "tarno/assistant/engine/claude_auth.hpp"

#include <exception>
#include <span>
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
}

bool ClaudeAuth::isLoggedIn(const std::string& executable) {
  return isLoggedIn(executable, ClaudeInvocation::subscriptionEnvironment(processEnvironment()),
                    TarnoAssistantConfig::agentWorkingDirectory());
}

bool ClaudeAuth::isLoggedIn(const std::string& executable, const Environment& environment,
                            const std::string& workingDirectory) {
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
            .withStandardError(ChildProcess::Stdio::descriptor(output->writeEnd.get())));
    output->writeEnd.reset();
    auto* child = std::get_if<ChildProcess>(&spawned);
    if (child == nullptr) return false;
    const pid_t pid = child->pid();
    diagnostics::childStarted(childName, pid);
    OutputSource source{output->readEnd.get(),
                        [&bytes](std::string_view chunk) { bytes.append(chunk); }};
    readToEnd(std::span(&source, 1));
    diagnostics::childExited(childName, pid, child->wait());
  }
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
