// One point-colour correction: a sampled colour, the shifts applied to it, and how wide a
// neighbourhood around it they reach.
#pragma once

#include <cstddef>
#include <functional>

#include "tarno/core/json_record.hpp"

namespace tarno::core {

struct PointColorTarget {
  double targetHue = 0;
  double targetSat = 0;
  double targetLum = 0;
  double hue = 0;
  double sat = 0;
  double lum = 0;
  double range = 0;

  static constexpr auto jsonFields = std::tuple{required("targetHue", &PointColorTarget::targetHue),
                                                required("targetSat", &PointColorTarget::targetSat),
                                                required("targetLum", &PointColorTarget::targetLum),
                                                required("hue", &PointColorTarget::hue),
                                                required("sat", &PointColorTarget::sat),
                                                required("lum", &PointColorTarget::lum),
                                                required("range", &PointColorTarget::range)};

  // No shift at all: where it points and how wide it reaches then change nothing.
  bool isIdentity() const { return hue == 0 && sat == 0 && lum == 0; }

  friend bool operator==(const PointColorTarget&, const PointColorTarget&) = default;
};

}  // namespace tarno::core

template <>
struct std::hash<tarno::core::PointColorTarget> {
  std::size_t operator()(const tarno::core::PointColorTarget& t) const noexcept;
};
