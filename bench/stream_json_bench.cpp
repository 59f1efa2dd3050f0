// Throughput of the stream-JSON path of a run (LineAccumulator + StreamJSONParser, 64 KiB reads)
// over a realistic ~50 MB transcript, against Node's JSON.parse doing the same per line.
//
// usage: stream_json_bench [transcript.jsonl]   (generated into the build tree when omitted)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_report.hpp"
#include "node_baseline.hpp"
#include "tarno/assistant/engine/line_accumulator.hpp"
#include "tarno/assistant/engine/stream_json_parser.hpp"

namespace {

using tarno::assistant::AssistantEvent;
using tarno::assistant::LineAccumulator;
using tarno::assistant::StreamJSONParser;

constexpr std::size_t kChunk = 64 * 1024;
constexpr std::size_t kSegment = 2'000'000;
constexpr int kRounds = 10;

struct PassResult {
  std::size_t events = 0;
  std::size_t textBytes = 0;  // keeps the work observable
};

void consume(std::string_view line, PassResult& r) {
  for (const AssistantEvent& e : StreamJSONParser::events(line)) {
    ++r.events;
    std::visit(
        [&](const auto& p) {
          using P = std::decay_t<decltype(p)>;
          if constexpr (requires { p.text; }) r.textBytes += p.text.size();
          if constexpr (std::is_same_v<P, AssistantEvent::ToolUse>)
            r.textBytes += p.inputSummary.size();
          if constexpr (std::is_same_v<P, AssistantEvent::ToolResult>)
            r.textBytes += p.summary.size();
        },
        e.payload());
  }
}

PassResult pass(std::string_view data) {
  PassResult r;
  LineAccumulator acc;
  for (std::size_t at = 0; at < data.size(); at += kChunk) {
    for (const std::string& line : acc.append(data.substr(at, kChunk)))
      consume(line, r);
  }
  if (auto rest = acc.flush()) consume(*rest, r);
  return r;
}

std::string ensureTranscript(int argc, char** argv) {
  if (argc > 1) return argv[1];
  namespace fs = std::filesystem;
  const fs::path out = tarno::bench::dataDirectory() / "stream-transcript.jsonl";
  const std::string generator = tarno::bench::sourcePath("bench/gen-transcript");
  std::error_code ec;
  const bool fresh =
      fs::exists(out, ec) && fs::last_write_time(out, ec) >= fs::last_write_time(generator, ec);
  if (!fresh) {
    std::printf("generating %s\n", out.c_str());
    const std::string command = "python3 " + tarno::bench::shellQuote(generator) + " " +
                                tarno::bench::shellQuote(out.string()) + " --size-mb 50";
    if (std::system(command.c_str()) != 0) {
      std::fprintf(stderr, "stream_json_bench: transcript generation failed\n");
      std::exit(1);
    }
  }
  return out.string();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = ensureTranscript(argc, argv);
  std::ifstream in(path, std::ios::binary);
  const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (data.empty()) {
    std::fprintf(stderr, "stream_json_bench: cannot read %s\n", path.c_str());
    return 1;
  }

  // The machine may be shared: each ~2 MB segment (cut at a line end) is timed on its own and
  // the fastest of its rounds counts, so a pause in one round spoils only one segment's sample.
  std::vector<std::string_view> segments;
  for (std::size_t at = 0; at < data.size();) {
    std::size_t end = std::min(data.size(), at + kSegment);
    const std::size_t nl = data.find('\n', end);
    end = nl == std::string::npos ? data.size() : nl + 1;
    segments.push_back(std::string_view(data).substr(at, end - at));
    at = end;
  }
  std::vector<double> fastest(segments.size(), 1e300);
  PassResult result;
  for (int i = 0; i < kRounds; ++i) {
    result = {};
    for (std::size_t k = 0; k < segments.size(); ++k) {
      const auto start = std::chrono::steady_clock::now();
      const PassResult part = pass(segments[k]);
      const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
      fastest[k] = std::min(fastest[k], took.count());
      result.events += part.events;
      result.textBytes += part.textBytes;
    }
  }
  double best = 0;
  for (double t : fastest)
    best += t;
  const double mbps = static_cast<double>(data.size()) / 1e6 / best;
  std::printf("stream-json: %.1f MB, %zu events (%zu text bytes)\n",
              static_cast<double>(data.size()) / 1e6, result.events, result.textBytes);
  std::printf("  LineAccumulator + StreamJSONParser: %8.1f MB/s (%zu segments, best of %d each)\n",
              mbps, segments.size(), kRounds);

  if (!tarno::bench::haveNode()) {
    std::printf("  node not found: no baseline ratio\n");
    return 0;
  }
  const std::string command =
      "node " +
      tarno::bench::shellQuote(tarno::bench::sourcePath("bench/stream_json_baseline.js")) + " " +
      tarno::bench::shellQuote(path) + " " + std::to_string(kRounds);
  const auto output = tarno::bench::captureOutput(command);
  const double nodeMbps = output ? tarno::bench::field(*output, "mbps") : -1;
  const double nodeEvents = output ? tarno::bench::field(*output, "events") : -1;
  if (nodeMbps <= 0) {
    std::printf("  node baseline failed: no ratio\n");
    return 0;
  }
  std::printf("  node JSON.parse per line:           %8.1f MB/s (%.0f events)\n", nodeMbps,
              nodeEvents);
  if (nodeEvents != static_cast<double>(result.events)) {
    std::printf("  warning: event counts differ\n");
  }
  std::printf("  ratio: %.2fx node (goal >= 4x)\n", mbps / nodeMbps);
  tarno::bench::reportFigure({"stream-JSON parse", mbps, "MB/s", nodeMbps,
                              "node JSON.parse per line", tarno::bench::Goal::atLeast, 4});
  return 0;
}
