// The look a stack's colorProfile kind selects, stored in the stack as its integer raw value.
#pragma once

#include <cstdint>
#include <string_view>

#include "tarno/core/json_record.hpp"

namespace tarno::core {

enum class ColorProfile { standard, vivid, neutral, portrait, landscape, mono };
constexpr IntegerRawValues jsonRawValues(ColorProfile) {
  return {};
}

// What a profile does to the image, as multipliers of contrast and saturation and a warmth
// shift; the renderer applies them.
struct ColorProfileLook {
  std::string_view displayName;
  double contrast = 1;
  double saturation = 1;
  double warmth = 0;
};

constexpr ColorProfileLook look(ColorProfile p) {
  switch (p) {
    case ColorProfile::standard:
      return {"Standard", 1.0, 1.0, 0};
    case ColorProfile::vivid:
      return {"Vivid", 1.12, 1.25, 0};
    case ColorProfile::neutral:
      return {"Neutral", 0.92, 0.9, 0};
    case ColorProfile::portrait:
      return {"Portrait", 1.03, 0.94, 0.06};
    case ColorProfile::landscape:
      return {"Landscape", 1.1, 1.2, 0};
    case ColorProfile::mono:
      return {"Monochrome", 1.06, 0.0, 0};
  }
  return {};
}

constexpr std::int64_t id(ColorProfile p) {
  return static_cast<std::int64_t>(p);
}
constexpr std::string_view displayName(ColorProfile p) {
  return look(p).displayName;
}
constexpr bool isMonochrome(ColorProfile p) {
  return p == ColorProfile::mono;
}
constexpr bool isIdentity(ColorProfile p) {
  return p == ColorProfile::standard;
}

}  // namespace tarno::core
