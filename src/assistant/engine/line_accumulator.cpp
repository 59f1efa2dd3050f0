// Line cutting over raw bytes, each complete line decoded as UTF-8.
#include "tarno/assistant/engine/line_accumulator.hpp"

#include <utility>

#include "tarno/core/text.hpp"

namespace tarno::assistant {

std::vector<std::string> LineAccumulator::append(std::string_view bytes) {
  std::vector<std::string> lines;
  cutter_.append(bytes, [&](std::string&& line) {
    // The first line completed after an overlong start is that line's tail.
    if (std::exchange(overlong_, false) || line.size() > maxLineBytes) return;
    lines.push_back(core::decodeUTF8Lossy(std::move(line)));
  });
  if (cutter_.remainder().size() > maxLineBytes) {
    cutter_.takeRemainder();
    overlong_ = true;
  }
  return lines;
}

std::optional<std::string> LineAccumulator::flush() {
  std::string rest = cutter_.takeRemainder();
  if (std::exchange(overlong_, false) || rest.empty()) return std::nullopt;
  return core::decodeUTF8Lossy(std::move(rest));
}

}  // namespace tarno::assistant
