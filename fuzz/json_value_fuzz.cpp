// Feeds arbitrary bytes to the JSON parser. Both parsers must agree on every text (the strict
// text parser is the one that reads documents with numbers simdjson cannot hold), and every
// parsed value must read back as the same JSON from its compact form.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "core/json_text_parser.hpp"
#include "tarno/core/json_value.hpp"
#include "tarno/core/json_writer.hpp"

namespace {

using tarno::core::JsonValue;

// Equal as JSON: a double with no fraction is written as an integer ("1e-400" reads as 0.0 and
// is written "0", 1e20 is written with all its digits and reads as a big number), so a number
// may come back as another kind of number of the same value.
bool sameJSON(const JsonValue& a, const JsonValue& b) {
  if (a.type() != b.type()) {
    double x = 0, y = 0;
    return a.toDouble(x) && b.toDouble(y) && x == y;
  }
  if (const JsonValue::Array* array = a.asArray()) {
    const JsonValue::Array& other = *b.asArray();
    return std::equal(array->begin(), array->end(), other.begin(), other.end(), sameJSON);
  }
  if (const JsonValue::Object* object = a.asObject()) {
    const JsonValue::Object& other = *b.asObject();
    return std::equal(object->begin(), object->end(), other.begin(), other.end(),
                      [](const auto& m, const auto& n) {
                        return m.first == n.first && sameJSON(m.second, n.second);
                      });
  }
  return a == b;
}

}  // namespace

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
  const std::optional<JsonValue> again = tarno::core::parseJsonIfValid(written);
  if (!again || !sameJSON(*again, *value)) std::abort();
  return 0;
}
