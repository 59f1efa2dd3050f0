// The tarno-native executable end to end: turns against the fake chat server, their tool calls
// carried to the fake app peer over a socket in a temporary directory, events printed as lines.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <thread>
#include <variant>

#include "fakes/fake-app-peer/fake_app_peer.hpp"
#include "fakes/fake-chat-server/fake_chat_server.hpp"
#include "fakes/unwritable_output.hpp"
#include "tarno/assistant/engine/tarno_assistant_config.hpp"
#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/assistant/support/child_process.hpp"
#include "tarno/assistant/support/descriptor_io.hpp"
#include "tarno/core/json_coding.hpp"

namespace tarno::assistant {
namespace {

using fakes::ChatReply;
using E = AssistantEvent;
using Strings = std::vector<std::string>;

struct Outcome {
  int status = -1;
  std::vector<E> events;
  std::string err;
};

// Only the given environment and always --ipc: no HOME, so nothing can reach a real one.
// Standard output is a pipe read here unless `output` names another descriptor.
Outcome runNative(Strings arguments, std::string key = "sk-test", int output = -1) {
  auto child = std::get<ChildProcess>(ChildProcess::spawn(
      ChildProcess::Options(TARNO_NATIVE_PATH)
          .withArguments(std::move(arguments))
          .withEnvironment({"TARNO_TEST_KEY=" + key})
          .withStandardOutput(output < 0 ? ChildProcess::Stdio::piped()
                                         : ChildProcess::Stdio::descriptor(output))
          .withStandardError(ChildProcess::Stdio::piped())));
  const unique_fd out = output < 0 ? child.takeStdout() : unique_fd(), err = child.takeStderr();
  std::string printed;
  Outcome outcome;
  std::vector sources{OutputSource{err.get(), [&](auto chunk) { outcome.err += chunk; }}};
  if (out) sources.push_back(OutputSource{out.get(), [&](auto chunk) { printed += chunk; }});
  readToEnd(sources);
  outcome.status = child.wait().kind == ExitStatus::Kind::exited ? child.wait().value : -1;
  std::istringstream lines(printed);
  for (std::string line; std::getline(lines, line);)
    outcome.events.push_back(core::decodeFromString<E>(line));
  return outcome;
}

TEST(TarnoNative, RunsTurnsAgainstTheModelAndTheAppWithItsExitStatuses) {
  fakes::FakeChatServer server(
      {ChatReply::toolCalls({fakes::toolCall("c1", "tarno_rate", R"({"ids":["a"],"rating":4})")}),
       ChatReply::content("Rated."), ChatReply{.status = 500, .body = "boom"}});
  fakes::FakeAppPeer app([](const std::string&) { return R"({"id":1,"result":"ok"})"; });
  const Strings model{"--endpoint", server.endpoint(), "--model", "m", "--prompt", "Rate it"};
  Strings arguments = model;
  arguments.insert(arguments.end(), {"--api-key-env", "TARNO_TEST_KEY", "--context", "X", "--ipc",
                                     app.socketPath()});
  const Outcome rated = runNative(arguments);
  EXPECT_EQ(rated.status, 0) << rated.err;
  EXPECT_EQ(rated.events,
            (std::vector{E::toolUse("c1", "mcp__tarno__tarno_rate", R"({"ids":["a"],"rating":4})"),
                         E::toolResult("c1", false, "ok"), E::finished("Rated.", false)}));
  EXPECT_EQ(app.requests(), Strings{R"({"jsonrpc":"2.0","id":1,"method":"photo.rate",)"
                                    R"("params":{"ids":["a"],"rating":4}})"});
  EXPECT_EQ(server.requests()[0].header("authorization"), "Bearer sk-test");
  EXPECT_EQ(*core::parseJson(server.requests()[0].body)
                 .find("messages")
                 ->asArray()
                 ->front()
                 .find("content"),
            std::string(TarnoAssistantConfig::systemPromptAddendum) + "\n\nX");

  // The model fails after one step; the app is not there.
  server.script({ChatReply::toolCalls({fakes::toolCall("c2", "tarno_context", "{}")}),
                 ChatReply{.status = 500, .body = "boom"}});
  const std::string gone = app.socketPath() + ".gone";
  arguments = model;
  arguments.insert(arguments.end(), {"--ipc", gone});
  const Outcome failed = runNative(arguments);
  EXPECT_EQ(failed.status, 1);
  ASSERT_EQ(failed.events.size(), 3u);
  EXPECT_EQ(failed.events[1], E::toolResult("c2", true, "couldn't reach the app at " + gone));
  EXPECT_TRUE(failed.events[2].as<E::Finished>()->isError);

  for (const Strings& extra : {Strings{"--prompt", ""}, Strings{"--bogus", "1"}, Strings{"--ipc"},
                               Strings{"--api-key-env", "UNSET"}}) {
    Strings usage = model;
    usage.insert(usage.end(), extra.begin(), extra.end());
    const Outcome outcome = runNative(usage);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_TRUE(outcome.events.empty());
    EXPECT_TRUE(outcome.err.starts_with("tarno-native: ")) << outcome.err;
  }
}

TEST(TarnoNative, RefusesAnAPIKeyWithControlCharactersBeforeAnyRequest) {
  fakes::FakeChatServer server({ChatReply::content("Hi.")});
  // A line break would let the key add headers of its own to the request.
  for (const std::string key : {"sk\r\nX-Injected: 1", "sk\n", "s\tk", "sk\x7f"}) {
    const Outcome outcome =
        runNative({"--endpoint", server.endpoint(), "--model", "m", "--prompt", "Hi",
                   "--api-key-env", "TARNO_TEST_KEY", "--ipc", "/nonexistent/ipc.sock"},
                  key);
    EXPECT_EQ(outcome.status, 2);
    EXPECT_TRUE(outcome.events.empty());
    EXPECT_EQ(outcome.err,
              "tarno-native: the API key in TARNO_TEST_KEY holds control characters\n");
  }
  EXPECT_TRUE(server.requests().empty());
}

TEST(TarnoNative, StopsTheTurnWhenItsEventsCannotBeWritten) {
  using namespace std::chrono_literals;
  // A slow app: the turn is still in its first call when the first event fails to be written.
  fakes::FakeAppPeer app([](const std::string&) {
    std::this_thread::sleep_for(300ms);
    return R"({"id":1,"result":"ok"})";
  });
  fakes::FakeChatServer server(std::vector<ChatReply>{});
  const fakes::UnwritableOutputs outputs = fakes::unwritableOutputs();
  for (const int output : {outputs.full.get(), outputs.closedPipe.get()}) {
    server.script({ChatReply::toolCalls({fakes::toolCall("c1", "tarno_rate", "{}"),
                                         fakes::toolCall("c2", "tarno_flag", "{}"),
                                         fakes::toolCall("c3", "tarno_get", "{}")}),
                   ChatReply::content("Done.")});
    const std::size_t calls = app.requests().size(), steps = server.requests().size();
    const Outcome outcome = runNative({"--endpoint", server.endpoint(), "--model", "m", "--prompt",
                                       "Rate it", "--ipc", app.socketPath()},
                                      "", output);
    EXPECT_EQ(outcome.status, 1);
    EXPECT_TRUE(outcome.err.starts_with("tarno-native: couldn't write to standard output: "))
        << outcome.err;
    EXPECT_LE(app.requests().size() - calls, 1u);
    EXPECT_EQ(server.requests().size() - steps, 1u);
  }
}

}  // namespace
}  // namespace tarno::assistant
