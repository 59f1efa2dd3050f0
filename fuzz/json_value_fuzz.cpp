// Feeds arbitrary bytes to the JSON parser. Both parsers must agree on every text (the strict
// text parser is the one that reads documents with numbers simdjson cannot hold), and every
// parsed value must read back unchanged from its compact form.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "core/json_text_parser.hpp"
#include "tarno/core/json_value.hpp"
#include "tarno/core/json_writer.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<tarno::core::JsonValue> value = tarno::core::parseJsonIfValid(text);

  tarno::core::JsonValue strict;
  std::string_view reason;
  const bool strictOK = tarno::core::detail::parseJsonText(text, strict, reason);
  if (strictOK != value.has_value()) std::abort();
  if (!value) return 0;
  if (!(strict == *value)) std::abort();

  std::string written;
  tarno::core::JsonWriter(written).value(*value);
  if (tarno::core::parseJsonIfValid(written) != value) std::abort();
  return 0;
}
