// Mode selection, the one-shot runs and serve mode of the tarno-assistant executable.
#include "tarno_assistant_helper.hpp"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "tarno/assistant/engine/assistant_engine_host.hpp"
#include "tarno/assistant/engine/claude_locator.hpp"
#include "tarno/assistant/engine/claude_login_runner.hpp"
#include "tarno/assistant/engine/claude_process_runner.hpp"
#include "tarno/assistant/engine/tarno_assistant_config.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/assistant/support/diagnostics.hpp"
#include "tarno/assistant/transport/assistant_socket_server.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/protocol/ipc_endpoint.hpp"

namespace tarno::assistant {

namespace {

bool contains(const std::vector<std::string>& args, std::string_view word) {
  return std::find(args.begin(), args.end(), word) != args.end();
}

sigset_t terminationSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGINT);
  return set;
}

// SIGTERM and SIGINT, taken by sigwait on a thread of its own, so that no handler runs: the
// first one calls `onSignal` there. The signals must be blocked in every other thread.
class TerminationWatcher {
 public:
  explicit TerminationWatcher(std::function<void()> onSignal)
      : thread_([this, onSignal = std::move(onSignal)] {
          const sigset_t set = terminationSignals();
          ::pthread_sigmask(SIG_BLOCK, &set, nullptr);
          bool fired = false;
          for (;;) {
            int signal = 0;
            if (::sigwait(&set, &signal) != 0 || closing_.load()) return;
            if (!fired) onSignal();
            fired = true;
          }
        }) {}
  TerminationWatcher(const TerminationWatcher&) = delete;
  TerminationWatcher& operator=(const TerminationWatcher&) = delete;
  ~TerminationWatcher() {
    // Directed at the watcher alone, which has the signal blocked: its sigwait takes it.
    closing_.store(true);
    ::pthread_kill(thread_.native_handle(), SIGTERM);
    thread_.join();
  }

 private:
  std::atomic<bool> closing_{false};
  std::thread thread_;
};

}  // namespace

int TarnoAssistantHelper::main(const std::vector<std::string>& args) {
  // A client or a pipe reader that goes away must fail our writes, not end the process.
  // Children get default dispositions from ChildProcess.
  ::signal(SIGPIPE, SIG_IGN);
  // Before any thread exists, so that every thread inherits the mask and only the watcher takes
  // them. Children start with an empty mask.
  const sigset_t termination = terminationSignals();
  ::pthread_sigmask(SIG_BLOCK, &termination, nullptr);
  if (contains(args, "serve")) return serve(args);
  if (contains(args, "login")) return loginOneShot();
  return oneShot(args);
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

int TarnoAssistantHelper::oneShot(const std::vector<std::string>& args) {
  const std::optional<std::string> prompt = value("--prompt", args);
  if (!prompt || prompt->empty()) return fail(usage);

  const std::optional<std::string> executable = ClaudeLocator::locate();
  if (!executable) {
    return fail(
        std::string("couldn't find the `claude` CLI. Install Claude Code and sign in with your "
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
  return printEvents(
      ClaudeProcessRunner::stream(*executable, turn, std::move(environment), std::nullopt));
}

int TarnoAssistantHelper::loginOneShot() {
  const std::optional<std::string> executable = ClaudeLocator::locate();
  if (!executable) return fail("couldn't find the `claude` CLI. Install Claude Code first.");
  return printEvents(ClaudeLoginRunner::stream(*executable));
}

int TarnoAssistantHelper::serve(const std::vector<std::string>& args) {
  const std::optional<std::string> mcpPath = siblingMCPPath(args.empty() ? "" : args.front());
  const std::string socketPath = protocol::IPCEndpoint::assistantSocketPath();
  AssistantSocketServer server(
      socketPath,
      [mcpPath](AssistantCommand command) { return AssistantEngineHost::run(command, mcpPath); },
      [](std::string code) { return ClaudeLoginRunner::submitCode(code); });
  try {
    server.start();
  } catch (const AssistantSocketServer::StartError& error) {
    return fail(std::string("couldn't start the assistant helper: ") + error.what());
  }
  note("serving on " + socketPath);
  // Everything happens on the server's threads; this one waits for SIGTERM or SIGINT. The
  // server then closes its connections, which ends their runs; the runs still going are ended
  // and joined when the process exits.
  std::mutex mutex;
  std::condition_variable signalled;
  bool stopping = false;
  {
    TerminationWatcher watcher([&] {
      std::lock_guard lock(mutex);
      stopping = true;
      signalled.notify_all();
    });
    std::unique_lock lock(mutex);
    signalled.wait(lock, [&] { return stopping; });
  }
  diagnostics::debug("stopping on a termination signal");
  return success;
}

std::optional<std::string> TarnoAssistantHelper::siblingMCPPath(std::string_view argv0) {
  if (argv0.empty()) return std::nullopt;
  // Lexically, as given: a symlinked or relative start looks beside the name it was started by.
  std::error_code error;
  std::filesystem::path self = std::filesystem::absolute(std::filesystem::path(argv0), error);
  if (error) return std::nullopt;
  while (!self.has_filename() && self.has_relative_path())
    self = self.parent_path();
  return AssistantEngineHost::mcpServerIn(self.parent_path().string());
}

void TarnoAssistantHelper::note(std::string_view message) {
  diagnostics::note(message);
}

int TarnoAssistantHelper::fail(std::string_view message) {
  note(message);
  return usageOrStartupFailure;
}

int TarnoAssistantHelper::printEvents(EventStream<AssistantEvent> events) {
  // SIGTERM or SIGINT cancels the run, which ends its CLI; the run then counts as failed.
  std::atomic<bool> interrupted{false};
  TerminationWatcher watcher([&] {
    interrupted.store(true);
    events.cancel();
  });
  bool sawError = false;
  while (std::optional<AssistantEvent> event = events.next()) {
    std::string json;
    try {
      json = core::encodeToString(*event);
    } catch (const std::exception&) {
      continue;
    }
    // Unbuffered: a reader sees each event as soon as it happened.
    if (!printLine("tarno-assistant", json)) {
      // Standard output is closed or its reader has gone: the run is ended rather than left to
      // go on unheard, and the status says that its outcome was lost.
      events.cancel();
      return runFailed;
    }
    if (const auto* finished = event->as<AssistantEvent::Finished>()) {
      sawError = sawError || finished->isError;
    }
  }
  return sawError || interrupted.load() ? runFailed : success;
}

}  // namespace tarno::assistant
