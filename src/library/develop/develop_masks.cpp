#include "library/develop/develop_masks.hpp"

#include <algorithm>
#include <cmath>

namespace tarno::library::develop {

namespace {

using core::Shape;

bool finite(const core::Point& p) {
  return std::isfinite(p.x) && std::isfinite(p.y);
}

double finiteOr(double v, double fallback) {
  return std::isfinite(v) ? v : fallback;
}

// Stamps a capsule (a segment thickened by `radius`, edges anti-aliased over one pixel).
void stamp(CoverageRaster& r, double x0, double y0, double x1, double y1, double radius,
           bool erase) {
  const int left = std::max(0, static_cast<int>(std::floor(std::min(x0, x1) - radius - 1)));
  const int right =
      std::min(r.width - 1, static_cast<int>(std::ceil(std::max(x0, x1) + radius + 1)));
  const int top = std::max(0, static_cast<int>(std::floor(std::min(y0, y1) - radius - 1)));
  const int bottom =
      std::min(r.height - 1, static_cast<int>(std::ceil(std::max(y0, y1) + radius + 1)));
  const double dx = x1 - x0;
  const double dy = y1 - y0;
  const double len2 = dx * dx + dy * dy;
  for (int y = top; y <= bottom; ++y) {
    float* row = r.values.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(r.width);
    const double py = y + 0.5;
    for (int x = left; x <= right; ++x) {
      const double px = x + 0.5;
      double t = len2 > 0 ? ((px - x0) * dx + (py - y0) * dy) / len2 : 0;
      t = std::clamp(t, 0.0, 1.0);
      const double ex = px - (x0 + t * dx);
      const double ey = py - (y0 + t * dy);
      const float cover =
          static_cast<float>(std::clamp(radius + 0.5 - std::sqrt(ex * ex + ey * ey), 0.0, 1.0));
      if (cover <= 0) continue;
      row[x] = erase ? std::min(row[x], 1 - cover) : std::max(row[x], cover);
    }
  }
}

// Walks the strokes at `scale` (raster pixels per rendering pixel), dropping points that lie
// within a quarter radius of the last kept one: the capsules between kept points cover them.
// Calls `segment` for every capsule and returns the pixel visits they cost.
template <class F>
double walkStrokes(const Shape::Brush& brush, int width, int height, double scale, F&& segment) {
  const double shortSide = std::min(width, height) * scale;
  double cost = 0;
  for (const core::BrushStroke& s : brush.strokes) {
    const double radius = std::clamp(finiteOr(s.radius, 0), 0.0, 1.0) * shortSide;
    if (radius <= 0) continue;
    const double spacing = std::max(radius / 4, 0.5);
    bool have = false;
    double lx = 0, ly = 0;
    for (const core::Point& p : s.points) {
      if (!finite(p)) continue;
      const double x = p.x * width * scale;
      const double y = p.y * height * scale;
      if (have && std::hypot(x - lx, y - ly) < spacing) continue;
      const double fromX = have ? lx : x;
      const double fromY = have ? ly : y;
      const double side = 2 * radius + 2;
      cost += (std::abs(x - fromX) + std::abs(y - fromY) + side) * side;
      segment(fromX, fromY, x, y, radius, s.erase);
      lx = x;
      ly = y;
      have = true;
    }
  }
  return cost;
}

VImage fromRaster(const CoverageRaster& r) {
  return VImage(vips_image_new_from_memory_copy(r.values.data(), r.values.size() * sizeof(float),
                                                r.width, r.height, 1, VIPS_FORMAT_FLOAT));
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

CoverageRaster rasteriseBrush(const Shape::Brush& brush, int width, int height,
                              std::size_t budget) {
  const double full = walkStrokes(brush, width, height, 1, [](auto...) {});
  double scale = 1;
  if (full > static_cast<double>(budget)) scale = std::sqrt(static_cast<double>(budget) / full);
  // Never coarser than 64 pixels across; below that a brush is a blur anyway.
  scale = std::max(scale, std::min(1.0, 64.0 / std::max(1, std::max(width, height))));
  CoverageRaster r;
  r.width = std::max(1, static_cast<int>(std::lround(width * scale)));
  r.height = std::max(1, static_cast<int>(std::lround(height * scale)));
  r.values.assign(static_cast<std::size_t>(r.width) * static_cast<std::size_t>(r.height), 0);
  // The cost at the chosen scale may still exceed the budget where strokes are many and short;
  // it is bounded all the same, by the point count and the raster's area per capsule.
  walkStrokes(brush, r.width, r.height, 1,
              [&](double x0, double y0, double x1, double y1, double radius, bool erase) {
                stamp(r, x0, y0, x1, y1, radius, erase);
              });
  return r;
}

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
