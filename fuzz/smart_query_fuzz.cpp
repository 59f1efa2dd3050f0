// Feeds arbitrary bytes to the smart query decoder. A query that decodes must evaluate against
// any photo without failing, and read back equal from its own JSON form.
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "tarno/core/smart_query.hpp"

namespace {

using tarno::core::PhotoAttributes;
using tarno::core::SmartQuery;

std::optional<SmartQuery> decoded(std::string_view text) {
  const std::optional<tarno::core::JsonValue> json = tarno::core::parseJsonIfValid(text);
  return json ? tarno::core::decodeIfValid<SmartQuery>(*json, {}) : std::nullopt;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const std::optional<SmartQuery> query = decoded(text);
  if (!query) return 0;

  const PhotoAttributes photos[] = {
      {},
      {.rating = 5,
       .flagRaw = 1,
       .colorLabelRaw = 2,
       .isEdited = true,
       .isRAW = true,
       .keywords = {"Beach", "\xC3\x89t\xC3\xA9", ""},
       .filename = "IMG_0001.HEIC",
       .captureDate = tarno::core::Date{}},
      // The photo's own text taken from the input, so that matches can succeed on odd text.
      {.keywords = {std::string(text.substr(0, 16))}, .filename = std::string(text)},
  };
  for (const PhotoAttributes& photo : photos)
    (void)query->matches(photo);

  const std::optional<SmartQuery> again = decoded(tarno::core::encodeToString(*query));
  if (!again || !(*again == *query)) std::abort();
  return 0;
}
