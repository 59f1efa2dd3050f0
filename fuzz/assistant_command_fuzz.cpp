// Decodes arbitrary bytes as a helper-socket command. Decoding may fail only with
// DecodingError; a command that decodes must encode to text that decodes to the same text again.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tarno/assistant/session/assistant_command.hpp"

using tarno::assistant::AssistantCommand;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  AssistantCommand command;
  try {
    command = tarno::core::decodeFromString<AssistantCommand>(text);
  } catch (const tarno::core::DecodingError&) {
    return 0;
  }
  const std::string encoded = tarno::core::encodeToString(command);
  const auto again = tarno::core::decodeFromString<AssistantCommand>(encoded);
  if (tarno::core::encodeToString(again) != encoded) std::abort();
  if (again.isInteractive() != command.isInteractive()) std::abort();
  return 0;
}
