// Line cutting over raw bytes.
#include "tarno/assistant/engine/line_accumulator.hpp"

#include <cstring>
#include <utility>

#include "tarno/core/text.hpp"

namespace tarno::assistant {

std::vector<std::string> LineAccumulator::append(std::string_view bytes) {
  std::vector<std::string> lines;
  if (bytes.empty()) return lines;
  const char* p = bytes.data();
  const char* const end = p + bytes.size();
  // Only the new bytes are searched: the buffer is known to hold no line feed.
  while (const void* found = std::memchr(p, '\n', static_cast<std::size_t>(end - p))) {
    const char* const nl = static_cast<const char*>(found);
    std::string line;
    if (buffer_.empty()) {
      line.assign(p, nl);
    } else {
      line = std::move(buffer_);
      buffer_.clear();
      line.append(p, nl);
    }
    lines.push_back(core::decodeUTF8Lossy(std::move(line)));
    p = nl + 1;
  }
  buffer_.append(p, end);
  return lines;
}

std::optional<std::string> LineAccumulator::flush() {
  if (buffer_.empty()) return std::nullopt;
  std::string rest = std::move(buffer_);
  buffer_.clear();
  return core::decodeUTF8Lossy(std::move(rest));
}

}  // namespace tarno::assistant
