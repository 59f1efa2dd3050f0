// The display rule for tool names, the printed form of events and their fast decoder.
#include "tarno/assistant/session/assistant_event.hpp"

#include <ostream>

#include "core/simdjson_decoder.hpp"

namespace tarno::assistant {

std::string AssistantEvent::displayName(std::string_view toolName) {
  const std::size_t at = toolName.rfind("__");
  if (at == std::string_view::npos) return std::string(toolName);
  return std::string(toolName.substr(at + 2));
}

std::ostream& operator<<(std::ostream& os, const AssistantEvent& event) {
  return os << core::encodeToString(event);
}

}  // namespace tarno::assistant

namespace tarno::core {

template <>
assistant::AssistantEvent decodeFromString<assistant::AssistantEvent>(std::string_view text) {
  return simdjson_decoder::decode<assistant::AssistantEvent>(text);
}

}  // namespace tarno::core
