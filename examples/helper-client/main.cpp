// helper-client: drives a running tarno-assistant helper the way the app does, from a terminal.
//
//   helper-client [--socket <path>] status
//   helper-client [--socket <path>] run <prompt> [--model sonnet|opus|haiku] [--resume <id>]
//                                               [--allow-commit]
//   helper-client [--socket <path>] login
//
// Events are printed as JSON lines on standard output. During `login`, every line typed (or
// pasted) on standard input is sent to the helper as the authorization code. The exit status
// is 1 when a `finished` event reported an error, 2 for a usage error, else 0.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "tarno/assistant/session/claude_model.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/assistant/support/thread_owner.hpp"
#include "tarno/assistant/support/unique_fd.hpp"
#include "tarno/assistant/transport/assistant_helper_client.hpp"
#include "tarno/core/json_coding.hpp"

namespace {

using tarno::assistant::AssistantEvent;
using tarno::assistant::AssistantHelperClient;
using tarno::assistant::EventStream;

constexpr const char* usage =
    "usage: helper-client [--socket <path>] status | run <prompt> [--model sonnet|opus|haiku] "
    "[--resume <id>] [--allow-commit] | login\n";

int printEvents(EventStream<AssistantEvent>& events) {
  bool failed = false;
  while (auto event = events.next()) {
    std::cout << tarno::core::encodeToString(*event) << std::endl;
    if (const auto* finished = event->as<AssistantEvent::Finished>()) {
      failed = failed || finished->isError;
    }
  }
  return failed ? 1 : 0;
}

// Sends each line of standard input as a code until `stop` becomes readable.
void forwardCodes(int stop) {
  std::string pending;
  for (;;) {
    pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {stop, POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents != 0) return;
    char buffer[512];
    const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
    if (n <= 0) return;  // end of input: the sign-in may still finish on its own
    pending.append(buffer, static_cast<std::size_t>(n));
    for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
      const std::string line = pending.substr(0, end);
      pending.erase(0, end + 1);
      if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
      std::cerr << (AssistantHelperClient::submitLoginCode(line)
                        ? "helper-client: code sent\n"
                        : "helper-client: no sign-in connection to send the code on\n");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  // The helper may close the connection while we write a code.
  ::signal(SIGPIPE, SIG_IGN);
  std::vector<std::string> args(argv + 1, argv + argc);
  std::string socketPath = AssistantHelperClient::defaultSocketPath();
  if (args.size() >= 2 && args[0] == "--socket") {
    socketPath = args[1];
    args.erase(args.begin(), args.begin() + 2);
  }
  if (args.empty()) {
    std::cerr << usage;
    return 2;
  }
  const std::string command = args[0];

  if (command == "status" && args.size() == 1) {
    auto events = AssistantHelperClient::status(socketPath);
    return printEvents(events);
  }

  if (command == "run" && args.size() >= 2) {
    tarno::assistant::AssistantRunRequest request{.prompt = args[1]};
    for (std::size_t i = 2; i < args.size(); ++i) {
      const bool hasValue = i + 1 < args.size();
      if (args[i] == "--model" && hasValue) {
        const auto model = tarno::assistant::parseClaudeModel(args[++i]);
        if (!model) {
          std::cerr << usage;
          return 2;
        }
        request.model = *model;
      } else if (args[i] == "--resume" && hasValue) {
        request.resumeSessionID = args[++i];
      } else if (args[i] == "--allow-commit") {
        request.allowCommit = true;
      } else {
        std::cerr << usage;
        return 2;
      }
    }
    auto events = AssistantHelperClient::run(request, socketPath);
    return printEvents(events);
  }

  if (command == "login" && args.size() == 1) {
    std::optional<tarno::assistant::FdPair> wake = tarno::assistant::makePipe();
    if (!wake) {
      std::perror("helper-client: pipe");
      return 2;
    }
    auto events = AssistantHelperClient::connect(socketPath);
    std::cerr << "helper-client: paste the authorization code here when asked for it\n";
    tarno::assistant::ThreadOwner codes;
    codes.start("codes", [&wake](std::stop_token stop) {
      // Ends the wait on standard input once the sign-in has finished.
      std::stop_callback done(
          stop, [&wake] { (void)tarno::assistant::writeAll(wake->writeEnd.get(), "x"); });
      forwardCodes(wake->readEnd.get());
    });
    return printEvents(events);
  }

  std::cerr << usage;
  return 2;
}
