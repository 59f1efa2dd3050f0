// Local masks at the rendering's size: each shape rasterised to a coverage image (1 band, 0…1)
// with its feather, refinements combined in order, and the mask's adjustments blended in by
// that coverage.
//
// Coordinates are normalised to the image as it stands before the geometry step (0…1 across
// its width and its height). Subject and people mattes need a trained model this renderer does
// not have: a mask that names one anywhere is skipped whole.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "library/develop/develop_stages.hpp"
#include "tarno/core/local_mask.hpp"

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

// The mask's coverage over `encoded` (whose tones the range shapes read); absent when the
// mask is skipped.
std::optional<VImage> maskCoverage(const core::LocalMask& mask, const VImage& encoded);

// Every enabled mask that changes something, in order.
VImage applyMasks(const VImage& encoded, const std::vector<core::LocalMask>& masks,
                  const StageContext& ctx);

// Whether any mask would be applied.
bool hasActiveMasks(const std::vector<core::LocalMask>& masks);

}  // namespace tarno::library::develop
