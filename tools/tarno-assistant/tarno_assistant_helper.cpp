// Mode selection, the one-shot runs and serve mode of the tarno-assistant executable.
#include "tarno_assistant_helper.hpp"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <system_error>
#include <thread>
#include <utility>

#include "tarno/assistant/engine/assistant_engine_host.hpp"
#include "tarno/assistant/engine/claude_locator.hpp"
#include "tarno/assistant/engine/claude_login_runner.hpp"
#include "tarno/assistant/engine/claude_process_runner.hpp"
#include "tarno/assistant/engine/tarno_assistant_config.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/assistant/transport/assistant_socket_server.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/protocol/ipc_endpoint.hpp"

namespace tarno::assistant {

namespace {

bool contains(const std::vector<std::string>& args, std::string_view word) {
  return std::find(args.begin(), args.end(), word) != args.end();
}

std::size_t threadCount() {
  std::error_code error;
  std::size_t count = 0;
  for (std::filesystem::directory_iterator it("/proc/self/task", error), end; !error && it != end;
       it.increment(error)) {
    ++count;
  }
  return error ? 0 : count;
}

// A stream ends just before the thread that produced it does. Letting such threads finish
// (briefly: a sign-in's child may outlive its stream) keeps the exit-time destructors from
// running under their feet.
void awaitWorkerThreads(std::chrono::milliseconds limit) {
  const auto deadline = std::chrono::steady_clock::now() + limit;
  while (threadCount() > 1 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

}  // namespace

void TarnoAssistantHelper::main(const std::vector<std::string>& args) {
  // A client or a pipe reader that goes away must fail our writes, not end the process.
  // Children get default dispositions from ChildProcess.
  ::signal(SIGPIPE, SIG_IGN);
  if (contains(args, "serve")) serve(args);
  if (contains(args, "login")) loginOneShot();
  oneShot(args);
}

std::optional<std::string> TarnoAssistantHelper::value(std::string_view flag,
                                                       const std::vector<std::string>& args) {
  const auto found = std::find(args.begin(), args.end(), flag);
  if (found == args.end() || std::next(found) == args.end()) return std::nullopt;
  return *std::next(found);
}

ClaudeInvocation TarnoAssistantHelper::invocation(const AssistantRunRequest& request,
                                                  const std::optional<std::string>& mcpPath) {
  return ClaudeInvocation::forRequest(request, mcpPath);
}

void TarnoAssistantHelper::oneShot(const std::vector<std::string>& args) {
  const std::optional<std::string> prompt = value("--prompt", args);
  if (!prompt || prompt->empty()) fail(usage);

  const std::optional<std::string> executable = ClaudeLocator::locate();
  if (!executable) {
    fail(std::string("couldn't find the `claude` CLI. Install Claude Code and sign in with your "
                     "Claude subscription (") +
         std::string(claudeProductPage) + "), then retry.");
  }

  const std::optional<std::string> modelName = value("--model", args);
  const AssistantRunRequest request{
      .prompt = *prompt,
      .model = parseClaudeModel(modelName.value_or("")).value_or(ClaudeModel::sonnet),
      .resumeSessionID = value("--resume", args),
      .allowCommit = false,
      .context = std::nullopt,
      .engineID = std::string(oneShotEngineID),
  };
  // The path is taken as given: a one-shot run never falls back to the sibling server.
  const ClaudeInvocation turn = invocation(request, value("--mcp", args));
  Environment environment = ClaudeInvocation::subscriptionEnvironment(processEnvironment());
  // No working directory: the CLI runs where the user started us.
  printEvents(ClaudeProcessRunner::stream(*executable, turn, std::move(environment), std::nullopt));
}

void TarnoAssistantHelper::loginOneShot() {
  const std::optional<std::string> executable = ClaudeLocator::locate();
  if (!executable) fail("couldn't find the `claude` CLI. Install Claude Code first.");
  printEvents(ClaudeLoginRunner::stream(*executable));
}

void TarnoAssistantHelper::serve(const std::vector<std::string>& args) {
  const std::optional<std::string> mcpPath = siblingMCPPath(args.empty() ? "" : args.front());
  const std::string socketPath = protocol::IPCEndpoint::assistantSocketPath();
  AssistantSocketServer server(
      socketPath,
      [mcpPath](AssistantCommand command) { return AssistantEngineHost::run(command, mcpPath); },
      [](std::string code) { return ClaudeLoginRunner::submitCode(code); });
  try {
    server.start();
  } catch (const AssistantSocketServer::StartError& error) {
    fail(std::string("couldn't start the assistant helper: ") + error.what());
  }
  note("serving on " + socketPath);
  // Everything happens on the server's threads; this one only waits to be killed.
  for (;;)
    ::pause();
}

std::optional<std::string> TarnoAssistantHelper::siblingMCPPath(std::string_view argv0) {
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) self = std::filesystem::absolute(std::filesystem::path(argv0), error);
  if (error || self.empty()) return std::nullopt;
  const std::string candidate = (self.parent_path() / mcpServerFileName).string();
  if (!ClaudeLocator::isExecutableFile(candidate)) return std::nullopt;
  return candidate;
}

void TarnoAssistantHelper::note(std::string_view message) {
  std::string line(diagnosticPrefix);
  line += message;
  line += '\n';
  // One write, so that lines of concurrent writers do not mix.
  (void)writeAll(STDERR_FILENO, line);
}

void TarnoAssistantHelper::fail(std::string_view message) {
  note(message);
  std::exit(usageOrStartupFailure);
}

void TarnoAssistantHelper::printEvents(EventStream<AssistantEvent> events) {
  bool sawError = false;
  while (std::optional<AssistantEvent> event = events.next()) {
    std::string json;
    try {
      json = core::encodeToString(*event);
    } catch (const std::exception&) {
      continue;
    }
    // Unbuffered: a reader sees each event as soon as it happened.
    (void)writeAll(STDOUT_FILENO, json);
    (void)writeAll(STDOUT_FILENO, "\n");
    if (const auto* finished = event->as<AssistantEvent::Finished>()) {
      sawError = sawError || finished->isError;
    }
  }
  events.cancel();
  awaitWorkerThreads(std::chrono::seconds(2));
  std::exit(sawError ? runFailed : success);
}

}  // namespace tarno::assistant
