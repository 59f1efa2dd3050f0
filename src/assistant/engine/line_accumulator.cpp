// Line cutting over raw bytes, each complete line decoded as UTF-8.
#include "tarno/assistant/engine/line_accumulator.hpp"

#include <utility>

#include "tarno/core/text.hpp"

namespace tarno::assistant {

std::vector<std::string> LineAccumulator::append(std::string_view bytes) {
  std::vector<std::string> lines;
  cutter_.append(
      bytes, maxLineBytes,
      [&](std::string&& line) { lines.push_back(core::decodeUTF8Lossy(std::move(line))); }, [] {});
  return lines;
}

std::optional<std::string> LineAccumulator::flush() {
  const bool dropped = cutter_.dropping();
  std::string rest = cutter_.takeRemainder();
  if (dropped || rest.empty()) return std::nullopt;
  return core::decodeUTF8Lossy(std::move(rest));
}

}  // namespace tarno::assistant
