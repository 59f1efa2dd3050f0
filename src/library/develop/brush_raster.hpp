// A brush's strokes drawn into a coverage raster on the CPU, in bounded time. No image library
// here.
#pragma once

#include <cstddef>
#include <vector>

#include "tarno/core/mask_shape.hpp"

namespace tarno::library::develop {

// A brush's coverage drawn on the CPU. It is drawn at `width` × `height` unless that would
// cost more than about `budget` pixel visits, in which case at a proportionally smaller size
// (the brush is soft, so the caller scales it up without visible loss).
struct CoverageRaster {
  int width = 0;
  int height = 0;
  std::vector<float> values;  // row-major
};
inline constexpr std::size_t brushBudget = 40'000'000;
CoverageRaster rasteriseBrush(const core::Shape::Brush& brush, int width, int height,
                              std::size_t budget = brushBudget);

}  // namespace tarno::library::develop
