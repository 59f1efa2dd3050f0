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

#include "library/develop/brush_raster.hpp"
#include "library/develop/develop_stages.hpp"
#include "tarno/core/local_mask.hpp"

namespace tarno::library::develop {

// The mask's coverage over `encoded` (whose tones the range shapes read); absent when the
// mask is skipped.
std::optional<VImage> maskCoverage(const core::LocalMask& mask, const VImage& encoded);

// Every enabled mask that changes something, in order.
VImage applyMasks(const VImage& encoded, const std::vector<core::LocalMask>& masks,
                  const StageContext& ctx);

// Whether any mask would be applied.
bool hasActiveMasks(const std::vector<core::LocalMask>& masks);

}  // namespace tarno::library::develop
