// Encode + decode of assistant events (the helper socket's per-frame work) per second, against
// Node's JSON.stringify + JSON.parse of the same objects.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "bench_report.hpp"
#include "node_baseline.hpp"
#include "tarno/assistant/session/assistant_event.hpp"

namespace {

using tarno::assistant::AssistantEvent;

// Many short rounds and the best of them: the machine is shared, and the fastest round is the
// one least disturbed by other work.
constexpr int kRounds = 40;
constexpr int kRepeat = 2;

const char* const kWords[] = {
    "the",          "photo",
    "exposure",     "highlights",
    "warmer",       "crop",
    "horizon",      "sunset",
    "album",        "rating",
    "lumi\u00e8re", "\u00e9t\u00e9",
    "Stra\u00dfe",  "caf\u00e9",
    "\u5199\u771f", "\u5915\u713c\u3051",
    "\U0001F305",   "\U0001F44D\U0001F3FD",
    "\u2014",       "\"quoted\"",
    "line\n",
};

std::string words(std::mt19937& rng, int n) {
  std::string out;
  for (int i = 0; i < n; ++i) {
    if (i > 0) out += ' ';
    out += kWords[rng() % std::size(kWords)];
  }
  return out;
}

// The mix of a typical turn: mostly streamed fragments, a few tool calls and results with
// summaries cut to 200 characters, one start and one end.
std::vector<AssistantEvent> makeEvents() {
  std::mt19937 rng(42);
  std::vector<AssistantEvent> events;
  for (int turn = 0; turn < 200; ++turn) {
    const std::string session = "3f2c9a1e-5b7d-4e8f-9a0b-" + std::to_string(100000000000 + turn);
    events.push_back(AssistantEvent::sessionStarted(session, "claude-sonnet-4-5-20250929"));
    for (int i = 0; i < 40; ++i)
      events.push_back(AssistantEvent::textDelta(words(rng, 1 + static_cast<int>(rng() % 6))));
    events.push_back(AssistantEvent::assistantText(words(rng, 80)));
    for (int t = 0; t < 3; ++t) {
      const std::string id = "toolu_01" + std::to_string(rng());
      events.push_back(AssistantEvent::toolUse(
          id, "mcp__tarno__tarno_search",
          R"({"query":")" + words(rng, 3) + R"(","limit":20,"filters":{"rating":{"min":3}}})"));
      events.push_back(AssistantEvent::toolResult(
          id, t == 2,
          R"({"photos":[{"id":"8F14E45F-CEEA-467F-A0E6-5C8D1B4E2A90","filename":"IMG_0042.HEIC",)"
          R"("rating":4,"keywords":[")" +
              words(rng, 2) + R"("]},{"id":"C9F0F895-FB98-4B91-…)"));
    }
    events.push_back(AssistantEvent::finished(words(rng, 30), false, session));
  }
  events.push_back(AssistantEvent::awaitingLoginCode());
  events.push_back(AssistantEvent::finished("claude exited with status 1", true));
  return events;
}

}  // namespace

int main() {
  const std::vector<AssistantEvent> events = makeEvents();

  double best = 1e300;
  std::size_t bytes = 0;
  std::size_t mismatches = 0;
  for (int r = 0; r < kRounds; ++r) {
    bytes = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int k = 0; k < kRepeat; ++k) {
      for (const AssistantEvent& e : events) {
        const std::string text = tarno::core::encodeToString(e);
        const auto back = tarno::core::decodeFromString<AssistantEvent>(text);
        bytes += text.size();
        mismatches += back == e ? 0 : 1;
      }
    }
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  const double count = static_cast<double>(events.size()) * kRepeat;
  const double eps = count / best;
  std::printf("event round trip: %zu events x %d, %.1f bytes each on average\n", events.size(),
              kRepeat, static_cast<double>(bytes) / count);
  std::printf("  encodeToString + decodeFromString: %10.0f events/s (best of %d)%s\n", eps, kRounds,
              mismatches == 0 ? "" : "  MISMATCHES");

  if (!tarno::bench::haveNode()) {
    std::printf("  node not found: no baseline ratio\n");
    return mismatches == 0 ? 0 : 1;
  }
  const auto file = tarno::bench::dataDirectory() / "roundtrip-events.jsonl";
  {
    std::ofstream out(file, std::ios::binary | std::ios::trunc);
    for (const AssistantEvent& e : events)
      out << tarno::core::encodeToString(e) << '\n';
  }
  const std::string command =
      "node " +
      tarno::bench::shellQuote(tarno::bench::sourcePath("bench/event_roundtrip_baseline.js")) +
      " " + tarno::bench::shellQuote(file.string()) + " " + std::to_string(kRounds) + " " +
      std::to_string(kRepeat);
  const auto output = tarno::bench::captureOutput(command);
  const double nodeEps = output ? tarno::bench::field(*output, "eps") : -1;
  if (nodeEps <= 0) {
    std::printf("  node baseline failed: no ratio\n");
    return mismatches == 0 ? 0 : 1;
  }
  std::printf("  node JSON.stringify + JSON.parse:  %10.0f events/s\n", nodeEps);
  std::printf("  ratio: %.2fx node (goal >= 3x)\n", eps / nodeEps);
  tarno::bench::reportFigure({"event encode + decode", eps, "events/s", nodeEps,
                              "node JSON.stringify + JSON.parse", tarno::bench::Goal::atLeast, 3});
  return mismatches == 0 ? 0 : 1;
}
