// Flag and colour-label codes.
#include "library/photo_codes.hpp"

#include <array>
#include <utility>

#include "tarno/core/text.hpp"

namespace tarno::library {

namespace {

constexpr std::array<std::pair<std::string_view, std::int64_t>, 9> colorLabels{{{"none", 0},
                                                                                {"red", 1},
                                                                                {"orange", 2},
                                                                                {"yellow", 3},
                                                                                {"green", 4},
                                                                                {"blue", 5},
                                                                                {"purple", 6},
                                                                                {"gray", 7},
                                                                                {"grey", 7}}};

}  // namespace

std::optional<std::int64_t> flagCode(std::string_view name) {
  if (name == "none") return 0;
  if (name == "pick") return 1;
  if (name == "reject") return -1;
  return std::nullopt;
}

std::optional<std::int64_t> colorLabelCode(std::string_view name) {
  const std::string lower = core::lowercased(name);
  for (const auto& [label, code] : colorLabels) {
    if (lower == label) return code;
  }
  return std::nullopt;
}

std::string colorLabelNames() {
  std::string names = "one of";
  for (const auto& [label, code] : colorLabels)
    names += " " + std::string(label);
  return names;
}

}  // namespace tarno::library
