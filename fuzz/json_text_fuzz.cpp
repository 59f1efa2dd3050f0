// Feeds arbitrary bytes to the scanner that lets the tools carry JSON as text: it must accept
// exactly what the core parser accepts, a text's compact form must read as the same value and
// be no longer, and every member it finds must be a value of its own.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "tarno/assistant/native/json_text.hpp"
#include "tarno/core/json_value.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  namespace JsonText = tarno::assistant::JsonText;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const bool valid = JsonText::isValid(text);
  const std::optional<tarno::core::JsonValue> parsed = tarno::core::parseJsonIfValid(text);
  if (valid != parsed.has_value()) std::abort();
  if (!valid) return 0;

  const std::string compact = JsonText::compact(text);
  if (compact.size() > text.size() || tarno::core::parseJsonIfValid(compact) != parsed) {
    std::abort();
  }
  for (const std::string_view name : {"id", "a", ""}) {
    const std::optional<std::string_view> member = JsonText::member(text, name);
    const tarno::core::JsonValue* expected = parsed->find(name);
    if (member.has_value() != (expected != nullptr)) std::abort();
    if (member && tarno::core::parseJsonIfValid(*member) != *expected) std::abort();
  }
  return 0;
}
