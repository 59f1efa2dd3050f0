// Turns one line of the claude CLI's stream-JSON output into assistant events.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "tarno/assistant/session/assistant_event.hpp"
#include "tarno/core/json_value.hpp"

namespace tarno::assistant {

// Stateless; every function may be called from any thread (each thread keeps its own parser).
// Nothing here fails: a line that is not understood yields no events.
struct StreamJSONParser {
  StreamJSONParser() = delete;

  // The events of one output line (UTF-8 text, with or without surrounding whitespace), in
  // the order of the line's content blocks. Never produces awaitingLoginCode.
  static std::vector<AssistantEvent> events(std::string_view line);

  // Short text form of a tool's input or result: a string as is; the "text" members of an
  // array of objects joined with spaces; anything else as compact JSON. Trimmed, then cut to
  // `max` user-perceived characters plus "…" when longer. `value` null means absent (gives "").
  static std::string summarize(const core::JsonValue* value, std::size_t max);

  // The limit the parser uses for tool inputs and results.
  static constexpr std::size_t summaryLimit = 200;
};

}  // namespace tarno::assistant
