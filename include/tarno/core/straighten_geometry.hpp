// How much a rotated image must be enlarged for its frame to stay filled.
#pragma once

#include <algorithm>
#include <cmath>

namespace tarno::core::StraightenGeometry {

// The scale factor for an image of width × height turned by `angle` radians; 1 for no turn or
// an empty image.
inline double fillScale(double width, double height, double angle) {
  if (angle == 0 || !(width > 0) || !(height > 0)) return 1;
  return std::abs(std::cos(angle)) +
         std::max(width / height, height / width) * std::abs(std::sin(angle));
}

}  // namespace tarno::core::StraightenGeometry
