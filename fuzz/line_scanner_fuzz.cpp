// Feeds arbitrary bytes to FrameCodec::LineScanner in arbitrary chunkings and checks the lines
// against a plain split of the same bytes, and every line against encodeFrame.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "tarno/protocol/frame_codec.hpp"

namespace {

using tarno::protocol::FrameCodec::FrameError;
using tarno::protocol::FrameCodec::LineScanner;

void check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first two bytes pick the chunk sizes; the rest is the stream.
  std::uint32_t state = data[0] | (static_cast<std::uint32_t>(data[1]) << 8);
  const std::size_t maxChunk = 1 + state % 97;
  const std::string_view stream(reinterpret_cast<const char*>(data) + 2, size - 2);

  std::vector<std::string> expected;
  std::size_t lineStart = 0;
  for (std::size_t i = 0; i < stream.size(); ++i) {
    if (stream[i] == '\n') {
      expected.emplace_back(stream.substr(lineStart, i - lineStart));
      lineStart = i + 1;
    }
  }

  LineScanner scanner;
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < stream.size();) {
    state = state * 1664525u + 1013904223u;
    const std::size_t n = std::min<std::size_t>((state >> 16) % (maxChunk + 1), stream.size() - at);
    try {
      for (std::string& line : scanner.append(stream.substr(at, n)))
        lines.push_back(std::move(line));
    } catch (const FrameError&) {
      std::abort();  // inputs stay far below the frame limit
    }
    at += n;
  }
  check(lines == expected);
  check(scanner.bufferedByteCount() == stream.size() - lineStart);

  for (const std::string& line : lines) {
    const std::string frame = tarno::protocol::FrameCodec::encodeFrame(std::string_view(line));
    check(frame.size() == line.size() + 1 && frame.back() == '\n');
    LineScanner again;
    check(again.append(frame) == std::vector<std::string>{line});
  }
  try {
    tarno::protocol::FrameCodec::encodeFrame(stream);
    check(lineStart == 0);
  } catch (const FrameError& e) {
    check(e == FrameError::interiorNewline() && lineStart > 0);
  }
  return 0;
}
