// tarno-native: runs one native turn against a local OpenAI-compatible server from a terminal,
// with the app's IPC socket carrying the tool calls, and prints each event as one JSON line.
//
//   tarno-native --endpoint URL --model NAME [--api-key-env VAR] --prompt TEXT
//                [--context TEXT] [--ipc SOCKET]
//
// Exit status 0, 1 when a finished event carried an error or an event could not be written
// (the turn is then stopped), 2 for a usage error (an API key with control characters too).
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <iostream>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "tarno/assistant/engine/tarno_assistant_config.hpp"
#include "tarno/assistant/native/app_dispatch.hpp"
#include "tarno/assistant/native/native_agent_runner.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/core/json_coding.hpp"
#include "tarno/protocol/ipc_endpoint.hpp"

namespace {

using namespace tarno;
using assistant::AssistantEvent;

constexpr std::string_view usageText =
    "usage: tarno-native --endpoint <url> --model <name> [--api-key-env <variable>] --prompt "
    "<text> [--context <text>] [--ipc <socket path>]";
constexpr std::string_view flags[] = {"--endpoint", "--model",   "--api-key-env",
                                      "--prompt",   "--context", "--ipc"};

int usage(std::string_view message = usageText) {
  std::cerr << "tarno-native: " << message << '\n';
  return 2;
}

// Each known flag with its value; nothing when an argument is unknown or a value is missing.
std::optional<std::map<std::string, std::string, std::less<>>> parse(int argc, char** argv) {
  std::map<std::string, std::string, std::less<>> values;
  for (int i = 1; i < argc; i += 2) {
    const std::string_view flag = argv[i];
    if (i + 1 >= argc || std::find(std::begin(flags), std::end(flags), flag) == std::end(flags)) {
      return std::nullopt;
    }
    values[std::string(flag)] = argv[i + 1];
  }
  return values;
}

}  // namespace

int main(int argc, char** argv) {
  // A reader of our output that goes away must fail our writes, not end the process.
  ::signal(SIGPIPE, SIG_IGN);
  const auto values = parse(argc, argv);
  if (!values) return usage();
  const auto value = [&](std::string_view flag) -> std::optional<std::string> {
    const auto found = values->find(flag);
    if (found == values->end()) return std::nullopt;
    return found->second;
  };
  const std::optional<std::string> endpoint = value("--endpoint");
  const std::optional<std::string> model = value("--model");
  const std::optional<std::string> prompt = value("--prompt");
  if (!endpoint || !model || !prompt || prompt->empty()) return usage();

  assistant::NativeModelConfig config{.endpoint = *endpoint, .model = *model, .apiKey = {}};
  if (const std::optional<std::string> keyVariable = value("--api-key-env")) {
    const char* key = std::getenv(keyVariable->c_str());
    if (key == nullptr) return usage(*keyVariable + " is not set");
    config.apiKey = key;
    if (!assistant::isSendableAPIKey(config.apiKey)) {
      return usage("the API key in " + *keyVariable + " holds control characters");
    }
  }
  // The home directory is looked up only when no socket is named.
  const std::string socketPath = value("--ipc").value_or(protocol::IPCEndpoint::clientSocketPath());

  // Only the prompt and the context play a part in a native turn.
  assistant::AssistantRunRequest request{.prompt = *prompt,
                                         .model = assistant::ClaudeModel::sonnet,
                                         .resumeSessionID = std::nullopt,
                                         .allowCommit = false,
                                         .context = value("--context"),
                                         .engineID = std::string(config.engineID)};
  auto events = assistant::NativeAgentRunner::stream(
      std::move(request), [config] { return config; },
      std::string(assistant::TarnoAssistantConfig::systemPromptAddendum),
      [socketPath](const std::string& call) {
        return assistant::AppDispatch::call(socketPath, call);
      });

  bool sawError = false;
  while (std::optional<AssistantEvent> event = events.next()) {
    // Unbuffered: a reader sees each event as soon as it happened.
    if (!assistant::printLine("tarno-native", core::encodeToString(*event))) {
      // Nobody reads the turn any more: it stops before its next tool call or model call.
      events.cancel();
      return 1;
    }
    if (const auto* finished = event->as<AssistantEvent::Finished>()) {
      sawError = sawError || finished->isError;
    }
  }
  return sawError ? 1 : 0;
}
