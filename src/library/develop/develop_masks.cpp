#include "library/develop/develop_masks.hpp"

#include <algorithm>
#include <cmath>

namespace tarno::library::develop {

namespace {

using core::Shape;

VImage fromRaster(const CoverageRaster& r) {
  return VImage(vips_image_new_from_memory_copy(r.values.data(), r.values.size() * sizeof(float),
                                                r.width, r.height, 1, VIPS_FORMAT_FLOAT));
}

double finiteOr(double v, double fallback) {
  return std::isfinite(v) ? v : fallback;
}

std::optional<VImage> shapeCoverage(const Shape& shape, const VImage& encoded) {
  const int w = encoded.width();
  const int h = encoded.height();
  if (const auto* linear = shape.as<Shape::Linear>()) {
    // Full at the start, none at the end, a smooth ramp between; measured in pixels so the
    // ramp keeps its direction on a non-square image.
    const double sx = finiteOr(linear->start.x, 0) * w, sy = finiteOr(linear->start.y, 0) * h;
    const double dx = finiteOr(linear->end.x, 0) * w - sx;
    const double dy = finiteOr(linear->end.y, 0) * h - sy;
    const double len2 = dx * dx + dy * dy;
    if (len2 < 1e-9) return std::nullopt;
    const VImage xy = unitCoordinates(w, h);
    const VImage t = (xy[0] * w - sx) * (dx / len2) + (xy[1] * h - sy) * (dy / len2);
    return 1.0 - smoothstep(clip(t, 0, 1));
  }
  if (const auto* radial = shape.as<Shape::Radial>()) {
    const double rx = finiteOr(radial->radius.width, 0);
    const double ry = finiteOr(radial->radius.height, 0);
    if (!(rx > 0) || !(ry > 0)) {
      return radial->inverted ? std::optional(VImage::black(w, h).new_from_image(1.0))
                              : std::nullopt;
    }
    const VImage xy = unitCoordinates(w, h);
    const VImage du = (xy[0] - finiteOr(radial->center.x, 0.5)) / rx;
    const VImage dv = (xy[1] - finiteOr(radial->center.y, 0.5)) / ry;
    const VImage d = (du * du + dv * dv).pow(0.5);
    const double feather = std::clamp(finiteOr(radial->feather, 0), 1e-3, 1.0);
    const VImage inside = smoothstep(clip((1.0 - d) / feather, 0, 1));
    return radial->inverted ? 1.0 - inside : inside;
  }
  if (const auto* range = shape.as<Shape::LuminanceRange>()) {
    const double lower = std::clamp(finiteOr(range->lower, 0), 0.0, 1.0);
    const double upper = std::clamp(finiteOr(range->upper, 1), lower, 1.0);
    const double feather = std::clamp(finiteOr(range->feather, 0), 1e-3, 1.0);
    const VImage y = luma(encoded);
    return smoothstep(clip((y - (lower - feather)) / feather, 0, 1)) *
           smoothstep(clip(((upper + feather) - y) / feather, 0, 1));
  }
  if (const auto* range = shape.as<Shape::ColorRange>()) {
    const double centre = std::fmod(std::fmod(finiteOr(range->hue, 0), 360.0) + 360.0, 360.0);
    const double width = std::clamp(finiteOr(range->range, 0), 0.0, 180.0);
    const double feather = std::clamp(finiteOr(range->feather, 0), 1e-3, 180.0);
    const VImage d = (((hueDegrees(encoded) - centre + 540.0) % 360.0) - 180.0).abs();
    // Greys have no hue: coverage grows with how coloured a pixel is.
    return smoothstep(clip(((width + feather) - d) / feather, 0, 1)) *
           clip(chroma(encoded) / 0.1, 0, 1);
  }
  if (const auto* brush = shape.as<Shape::Brush>()) {
    CoverageRaster r = rasteriseBrush(*brush, w, h);
    VImage cover = fromRaster(r);
    const double radius = [&] {
      double most = 0;
      for (const core::BrushStroke& s : brush->strokes)
        most = std::max(most, finiteOr(s.radius, 0));
      return std::clamp(most, 0.0, 1.0) * std::min(r.width, r.height);
    }();
    const double sigma = std::clamp(finiteOr(brush->feather, 0), 0.0, 1.0) * radius / 2;
    if (sigma >= 0.3) cover = cover.gaussblur(sigma);
    if (r.width != w || r.height != h) {
      cover = cover.resize(static_cast<double>(w) / r.width,
                           VImage::option()
                               ->set("vscale", static_cast<double>(h) / r.height)
                               ->set("kernel", VIPS_KERNEL_LINEAR));
      if (cover.width() != w || cover.height() != h) {
        cover = cover.embed(0, 0, w, h, VImage::option()->set("extend", VIPS_EXTEND_COPY))
                    .extract_area(0, 0, w, h);
      }
    }
    return cover;
  }
  return std::nullopt;
}

}  // namespace

std::optional<VImage> maskCoverage(const core::LocalMask& mask, const VImage& encoded) {
  if (!mask.aiMatteRegions().empty()) return std::nullopt;
  std::optional<VImage> cover = shapeCoverage(mask.shape, encoded);
  for (const core::MaskComponent& c : mask.refinements()) {
    const std::optional<VImage> part = shapeCoverage(c.shape, encoded);
    switch (c.mode) {
      case core::CompositeMode::add:
        if (part) cover = cover ? maxOf(*cover, *part) : *part;
        break;
      case core::CompositeMode::subtract:
        if (part && cover) cover = *cover * (1.0 - *part);
        break;
      case core::CompositeMode::intersect:
        if (!part) return std::nullopt;  // intersecting with nothing leaves nothing
        if (cover) cover = minOf(*cover, *part);
        break;
    }
  }
  return cover;
}

bool hasActiveMasks(const std::vector<core::LocalMask>& masks) {
  return std::any_of(masks.begin(), masks.end(), [](const core::LocalMask& m) {
    return !m.isNoOp() && m.aiMatteRegions().empty() && readMaskParams(m.adjustments).hasLocal();
  });
}

VImage applyMasks(const VImage& encoded, const std::vector<core::LocalMask>& masks,
                  const StageContext& ctx) {
  VImage x = encoded;
  for (const core::LocalMask& m : masks) {
    if (m.isNoOp()) continue;
    const DevelopParams p = readMaskParams(m.adjustments);
    if (!p.hasLocal()) continue;
    const std::optional<VImage> cover = maskCoverage(m, x);
    if (!cover) continue;
    x = x + (applyLocal(x, p, ctx) - x) * *cover;
  }
  return x;
}

}  // namespace tarno::library::develop
