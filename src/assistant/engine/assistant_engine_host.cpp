// Dispatching commands to engines, and the answers that need no engine run.
#include "tarno/assistant/engine/assistant_engine_host.hpp"

#include <unistd.h>

#include <stop_token>
#include <system_error>
#include <type_traits>
#include <utility>
#include <variant>

#include "tarno/assistant/engine/assistant_engine_registry.hpp"
#include "tarno/assistant/engine/claude_auth.hpp"
#include "tarno/assistant/engine/claude_login_runner.hpp"
#include "tarno/assistant/engine/claude_process_runner.hpp"
#include "tarno/assistant/engine/tarno_assistant_config.hpp"
#include "tarno/assistant/support/thread_owner.hpp"
#include "tarno/core/user_home.hpp"

namespace tarno::assistant {

namespace {

EventStream<AssistantEvent> single(std::string text, bool isError) {
  return EventStream<AssistantEvent>::of({AssistantEvent::finished(std::move(text), isError)});
}

std::string parentDirectory(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string joinPath(std::string_view directory, std::string_view relative) {
  std::string path(directory);
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append(relative);
  return path;
}

AssistantEvent statusAnswer(const CLIAgentEngine& engine, const std::string& binary,
                            std::stop_token stop) {
  if (!engine.isReady(binary, std::move(stop))) {
    return AssistantEvent::finished("Connect " + engine.displayName() + " to start.", true);
  }
  return AssistantEvent::finished("ready", false);
}

// The readiness test runs the CLI and waits for it, so it happens on a thread of its own and
// the caller gets its stream at once. It is stopped like a run, its CLI's group sent SIGTERM at
// once and SIGKILL after the grace, when its consumer goes away (a client that left: nobody
// wants the answer) and at process exit; the owner joins it.
EventStream<AssistantEvent> statusStream(const CLIAgentEngine& engine, const std::string& binary) {
  // The parser's own statics must outlive the checks that use it: built first, they are
  // destroyed after the owner has joined the last check at exit.
  [[maybe_unused]] static const bool parserReady = ClaudeAuth::parseLoggedIn("{}");
  static ThreadOwner checks;
  auto [events, out] = EventStream<AssistantEvent>::make();
  try {
    const ThreadOwner::Handle check =
        checks.start("status", [out = out, engine, binary](std::stop_token stop) {
          out.yield(statusAnswer(engine, binary, std::move(stop)));
          out.finish();
        });
    out.onTermination([stop = check.stop](Termination why) {
      if (why == Termination::cancelled) stop.request_stop();
    });
  } catch (const std::system_error&) {
    out.yield(statusAnswer(engine, binary, {}));
    out.finish();
  }
  return std::move(events);
}

}  // namespace

EventStream<AssistantEvent> AssistantEngineHost::run(const AssistantCommand& command,
                                                     const std::optional<std::string>& mcpPath) {
  return run(command, mcpPath, AssistantEngineRegistry::cliAgentSpecs());
}

EventStream<AssistantEvent> AssistantEngineHost::run(const AssistantCommand& command,
                                                     const std::optional<std::string>& mcpPath,
                                                     const std::vector<CLIAgentSpec>& specs,
                                                     const WorkingDirectory& workingDirectory) {
  const auto* turn = command.as<AssistantCommand::Run>();
  const CLIAgentEngine engine = AssistantEngineRegistry::engine(
      turn != nullptr ? std::optional<std::string_view>(turn->request.engineID) : std::nullopt,
      specs);
  // Checked first for every command: nothing else can be answered without the executable.
  const std::optional<std::string> binary = engine.locateBinary();
  if (!binary) {
    return single(
        engine.displayName() + " isn't installed. Install its CLI, then try Connect again.", true);
  }
  return std::visit(
      [&](const auto& payload) -> EventStream<AssistantEvent> {
        using Case = std::decay_t<decltype(payload)>;
        if constexpr (std::is_same_v<Case, AssistantCommand::Run>) {
          std::vector<std::string> arguments = engine.arguments(payload.request, mcpPath);
          Environment environment = engine.environment();
          std::string directory = workingDirectory();
          return ClaudeProcessRunner::stream(
              *binary, std::move(arguments), std::move(environment), std::move(directory),
              [engine](const std::string& line) { return engine.parse(line); });
        } else if constexpr (std::is_same_v<Case, AssistantCommand::Login>) {
          return engine.makeLoginStream(*binary);
        } else if constexpr (std::is_same_v<Case, AssistantCommand::Status>) {
          return statusStream(engine, *binary);
        } else {
          static_assert(std::is_same_v<Case, AssistantCommand::LoginCode>);
          if (ClaudeLoginRunner::submitCode(payload.code)) return single("Code sent.", false);
          return single("No sign-in is waiting for a code.", true);
        }
      },
      command.payload());
}

EventStream<AssistantEvent> AssistantEngineHost::run(const AssistantRunRequest& request) {
  return run(AssistantCommand::run(request), bundledMCPPath());
}

EventStream<AssistantEvent> AssistantEngineHost::connect() {
  return run(AssistantCommand::login(), bundledMCPPath());
}

EventStream<AssistantEvent> AssistantEngineHost::status() {
  return run(AssistantCommand::status(), bundledMCPPath());
}

bool AssistantEngineHost::isAvailable() {
  return isAvailable(AssistantEngineRegistry::cliAgentSpecs());
}

bool AssistantEngineHost::isAvailable(const std::vector<CLIAgentSpec>& specs) {
  return AssistantEngineRegistry::engine(std::nullopt, specs).locateBinary().has_value();
}

bool AssistantEngineHost::submitLoginCode(std::string_view code) {
  return ClaudeLoginRunner::submitCode(code);
}

std::optional<std::string> AssistantEngineHost::bundledMCPPath() {
  static const std::optional<std::string> resolvedMCPPath =
      resolveMCPPath(mainBundleDirectory(), core::userHomeDirectory());
  return resolvedMCPPath;
}

std::optional<std::string> AssistantEngineHost::resolveMCPPath(
    const std::optional<std::string>& bundleDirectory, std::string_view home,
    const ClaudeLocator::ExecutableTest& isExecutable) {
  if (bundleDirectory) {
    if (auto inBundle = mcpServerIn(joinPath(*bundleDirectory, "Contents/Helpers"), isExecutable))
      return inBundle;
  }
  return mcpServerIn(std::string(home) + "/.tarno/bin", isExecutable);
}

std::optional<std::string> AssistantEngineHost::mcpServerIn(
    std::string_view directory, const ClaudeLocator::ExecutableTest& isExecutable) {
  std::string path = joinPath(directory, mcpServerFileName);
  if (!isExecutable(path)) return std::nullopt;
  return path;
}

std::optional<std::string> AssistantEngineHost::mainBundleDirectory() {
  std::string path(4096, '\0');
  for (;;) {
    const ssize_t length = ::readlink("/proc/self/exe", path.data(), path.size());
    if (length < 0) return std::nullopt;
    if (static_cast<std::size_t>(length) < path.size()) {
      path.resize(static_cast<std::size_t>(length));
      return parentDirectory(path);
    }
    if (path.size() >= (1u << 20)) return std::nullopt;
    path.resize(path.size() * 2);
  }
}

std::string AssistantEngineHost::agentWorkingDirectory() {
  return TarnoAssistantConfig::agentWorkingDirectory();
}

}  // namespace tarno::assistant
