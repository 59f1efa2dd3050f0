// Throughput of FrameCodec::LineScanner against the floor of the same job measured in the same
// run: one memchr pass over the bytes, copying each line into a reused buffer.
//
// The stream is 64 MB of frames whose sizes are log-uniform between tens of bytes and about
// 200 KB, fed to the scanner in 64 KiB chunks as a socket reader would.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "bench_report.hpp"
#include "node_baseline.hpp"
#include "tarno/protocol/frame_codec.hpp"

namespace {

using tarno::protocol::FrameCodec::LineScanner;

constexpr std::size_t kStreamBytes = 64'000'000;
constexpr std::size_t kChunkBytes = 64 * 1024;
constexpr int kRounds = 7;

struct Tally {
  std::size_t lines = 0;
  std::size_t bytes = 0;
  unsigned checksum = 0;  // keeps the copies observable
};

std::string makeStream(std::size_t* frameCount) {
  std::mt19937_64 rng(0x7a72'6e6f);
  std::string pattern(1 << 16, ' ');
  const std::string_view alphabet = "{}[]\":,0123456789abcdefghijklmnopqrstuvwxyz_ \\";
  for (char& c : pattern)
    c = alphabet[rng() % alphabet.size()];
  std::uniform_real_distribution<double> logSize(std::log(20.0), std::log(200'000.0));

  std::string stream;
  stream.reserve(kStreamBytes + 200'001);
  *frameCount = 0;
  while (stream.size() < kStreamBytes) {
    std::size_t size = static_cast<std::size_t>(std::exp(logSize(rng)));
    while (size > 0) {
      const std::size_t offset = rng() % (pattern.size() / 2);
      const std::size_t n = std::min(size, pattern.size() - offset);
      stream.append(pattern, offset, n);
      size -= n;
    }
    stream.push_back('\n');
    ++*frameCount;
  }
  return stream;
}

Tally runScanner(std::string_view stream) {
  Tally tally;
  LineScanner scanner;
  for (std::size_t at = 0; at < stream.size(); at += kChunkBytes) {
    for (const std::string& line : scanner.append(stream.substr(at, kChunkBytes))) {
      ++tally.lines;
      tally.bytes += line.size();
      tally.checksum += line.empty() ? 0u : static_cast<unsigned char>(line.back());
    }
  }
  return tally;
}

Tally runFloor(std::string_view stream) {
  Tally tally;
  std::string line;
  const char* at = stream.data();
  const char* const end = at + stream.size();
  while (const auto* newline = static_cast<const char*>(std::memchr(at, '\n', end - at))) {
    line.assign(at, newline);
    ++tally.lines;
    tally.bytes += line.size();
    tally.checksum += line.empty() ? 0u : static_cast<unsigned char>(line.back());
    at = newline + 1;
  }
  return tally;
}

template <class Run>
double bestSeconds(Run run, std::string_view stream, Tally* tally) {
  return tarno::bench::bestSeconds(kRounds, [&] { *tally = run(stream); });
}

}  // namespace

int main() {
  std::size_t frames = 0;
  const std::string stream = makeStream(&frames);
  const double megabytes = static_cast<double>(stream.size()) / 1e6;

  Tally scannerTally;
  Tally floorTally;
  // Interleave the two so that both see the same machine load.
  double scannerSeconds = 1e9;
  double floorSeconds = 1e9;
  for (int pass = 0; pass < 2; ++pass) {
    floorSeconds = std::min(floorSeconds, bestSeconds(runFloor, stream, &floorTally));
    scannerSeconds = std::min(scannerSeconds, bestSeconds(runScanner, stream, &scannerTally));
  }
  if (scannerTally.lines != floorTally.lines || scannerTally.bytes != floorTally.bytes ||
      scannerTally.checksum != floorTally.checksum || scannerTally.lines != frames) {
    std::fprintf(stderr, "line_scanner_bench: scanner and floor disagree\n");
    return 1;
  }

  const double scannerRate = megabytes / scannerSeconds;
  const double floorRate = megabytes / floorSeconds;
  const double ratio = scannerRate / floorRate;
  std::printf("line_scanner: %.1f MB, %zu frames (20 B .. 200 KB), %zu KiB chunks, best of %d\n",
              megabytes, frames, kChunkBytes / 1024, 2 * kRounds);
  std::printf("  LineScanner.append          %8.0f MB/s\n", scannerRate);
  std::printf("  floor (memchr + copy)       %8.0f MB/s\n", floorRate);
  std::printf("  ratio scanner/floor         %8.2f  (goal >= 0.50: %s)\n", ratio,
              ratio >= 0.5 ? "met" : "NOT met");
  tarno::bench::reportFigure({"LineScanner.append", scannerRate, "MB/s", floorRate, "memchr + copy",
                              tarno::bench::Goal::atLeast, 0.5});
  return 0;
}
