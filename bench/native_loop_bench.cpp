// Per-step cost of the native tool-calling loop against a bare libcurl POST of the same
// request bodies, both against the loopback fake chat server answering at once, in one run.
//
// 50 steps: the step limit cuts them into six turns of eight steps and one of two (a tool call,
// then a plain answer). Tool calls go to an in-process dispatch that answers at once. The bare
// side posts the bodies the loop sent, with one easy handle per turn as the loop has one chat
// client per turn, so the difference is the loop: building the conversation, parsing answers,
// carrying out the tool calls, the turn's thread and its events.
#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "../tests/fakes/fake-chat-server/fake_chat_server.hpp"
#include "bench_report.hpp"
#include "tarno/assistant/native/native_agent_runner.hpp"

namespace {

using namespace tarno;
using Clock = std::chrono::steady_clock;

constexpr int kSteps = 50;
constexpr int kRounds = 15;
constexpr double kGoal = 1.5;
const std::string kAppAnswer = R"({"jsonrpc":"2.0","id":1,"result":{"updated":1}})";

std::vector<fakes::ChatReply> script() {
  std::vector<fakes::ChatReply> replies(
      kSteps - 1, fakes::ChatReply::toolCalls({fakes::toolCall(
                      "call", "tarno_rate", R"({"ids":["A1B2C3D4"],"rating":4})")}));
  replies.push_back(fakes::ChatReply::content("Rated the photo four stars."));
  return replies;
}

// Runs the 50 steps as turns; the model calls each turn made.
std::vector<int> runLoop(const std::string& endpoint) {
  std::vector<int> callsPerTurn;
  for (int steps = 0; steps < kSteps;) {
    auto events = assistant::NativeAgentRunner::stream(
        {.prompt = "Give my last photo four stars", .context = "Selection: A1B2C3D4"},
        [&] {
          return assistant::NativeModelConfig{endpoint, "bench", ""};
        },
        "You are helpful.", [](const std::string&) { return kAppAnswer; });
    int calls = 0;
    while (auto event = events.next()) {
      // One tool call per step; a turn that ends with an answer made one model call more.
      if (event->is<assistant::AssistantEvent::ToolResult>()) ++calls;
      const auto* finished = event->as<assistant::AssistantEvent::Finished>();
      if (finished && finished->text.rfind("Stopped", 0) != 0) ++calls;
    }
    callsPerTurn.push_back(calls);
    steps += calls;
  }
  return callsPerTurn;
}

std::size_t discard(char*, std::size_t size, std::size_t count, void* sink) {
  static_cast<std::string*>(sink)->append(size * count, ' ');
  return size * count;
}

void postBare(const std::string& url, const std::vector<std::string>& bodies,
              const std::vector<int>& callsPerTurn) {
  std::size_t next = 0;
  for (int calls : callsPerTurn) {
    std::unique_ptr<CURL, decltype(&curl_easy_cleanup)> curl(curl_easy_init(), curl_easy_cleanup);
    curl_slist* headers = curl_slist_append(nullptr, "Content-Type: application/json");
    headers = curl_slist_append(headers, "Expect:");
    for (int i = 0; i < calls; ++i, ++next) {
      std::string answer;
      curl_easy_setopt(curl.get(), CURLOPT_URL, url.c_str());
      curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDS, bodies[next].data());
      curl_easy_setopt(curl.get(), CURLOPT_POSTFIELDSIZE_LARGE,
                       static_cast<curl_off_t>(bodies[next].size()));
      curl_easy_setopt(curl.get(), CURLOPT_HTTPHEADER, headers);
      curl_easy_setopt(curl.get(), CURLOPT_NOSIGNAL, 1L);
      curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, discard);
      curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &answer);
      curl_easy_perform(curl.get());
    }
    curl_slist_free_all(headers);
  }
}

template <class Run>
double seconds(Run run) {
  const auto start = Clock::now();
  run();
  return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace

int main() {
  fakes::FakeChatServer server(script());
  const std::string url = server.endpoint() + "/chat/completions";

  const std::vector<int> callsPerTurn = runLoop(server.endpoint());
  std::vector<std::string> bodies;
  for (const fakes::ReceivedRequest& request : server.requests())
    bodies.push_back(request.body);
  if (bodies.size() != kSteps) {
    std::fprintf(stderr, "native_loop_bench: the loop made %zu model calls, not %d\n",
                 bodies.size(), kSteps);
    return 1;
  }

  // Interleaved, so that both see the same machine load; best round of each.
  double loopBest = 1e9;
  double bareBest = 1e9;
  for (int round = 0; round < kRounds; ++round) {
    server.script(script());
    loopBest = std::min(loopBest, seconds([&] { runLoop(server.endpoint()); }));
    server.script(script());
    bareBest = std::min(bareBest, seconds([&] { postBare(url, bodies, callsPerTurn); }));
  }
  const double loopStep = loopBest / kSteps * 1e6;
  const double bareStep = bareBest / kSteps * 1e6;
  const double ratio = loopStep / bareStep;
  std::printf("native_loop: %d steps in %zu turns, loopback server, no model latency, best of %d\n",
              kSteps, callsPerTurn.size(), kRounds);
  std::printf("  native loop, per step          %8.1f us\n", loopStep);
  std::printf("  bare libcurl POST, per step    %8.1f us\n", bareStep);
  std::printf("  loop overhead, per step        %8.1f us\n", loopStep - bareStep);
  std::printf("  ratio loop/bare                %8.2f  (goal <= %.2f: %s)\n", ratio, kGoal,
              ratio <= kGoal ? "met" : "NOT met");
  tarno::bench::reportFigure({"native loop step", loopStep, "us", bareStep, "bare libcurl POST",
                              tarno::bench::Goal::atMost, kGoal});
  return 0;
}
