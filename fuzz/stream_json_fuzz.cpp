// Feeds arbitrary bytes, cut into chunks chosen by the first input byte, through LineAccumulator
// and StreamJSONParser. The lines must not depend on the chunking, the parser must never throw,
// every event must survive its wire form, and the event decoder's direct path must agree with
// the generic one on each line.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tarno/assistant/engine/line_accumulator.hpp"
#include "tarno/assistant/engine/stream_json_parser.hpp"

namespace {

using tarno::assistant::AssistantEvent;
using tarno::assistant::LineAccumulator;
using tarno::assistant::StreamJSONParser;

std::vector<std::string> allLines(LineAccumulator& acc, std::vector<std::string> lines) {
  if (auto rest = acc.flush()) lines.push_back(std::move(*rest));
  return lines;
}

// The outcome of a decoder: the event's wire form, or the error's description and path.
template <class Decode>
std::string outcome(Decode&& decode) {
  try {
    return "ok " + tarno::core::encodeToString(decode());
  } catch (const tarno::core::DecodingError& e) {
    return "error " + e.description() + " at " + e.path();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::uint32_t state = data[0] * 2654435761u + 1;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 1, size - 1);

  LineAccumulator whole;
  const std::vector<std::string> expected = allLines(whole, whole.append(bytes));

  LineAccumulator chunked;
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < bytes.size();) {
    state = state * 1664525u + 1013904223u;
    const std::size_t n = 1 + (state >> 24) % 64;
    for (std::string& line : chunked.append(bytes.substr(at, n)))
      lines.push_back(std::move(line));
    at += n;
  }
  if (allLines(chunked, std::move(lines)) != expected) std::abort();

  for (const std::string& line : expected) {
    for (const AssistantEvent& event : StreamJSONParser::events(line)) {
      if (event.is<AssistantEvent::AwaitingLoginCode>()) std::abort();
      const std::string wire = tarno::core::encodeToString(event);
      if (tarno::core::decodeFromString<AssistantEvent>(wire) != event) std::abort();
    }
    const std::string direct =
        outcome([&] { return tarno::core::decodeFromString<AssistantEvent>(line); });
    const std::string generic = outcome(
        [&] { return tarno::core::decodeJSON<AssistantEvent>(tarno::core::parseJson(line)); });
    if (direct != generic) std::abort();
  }
  return 0;
}
