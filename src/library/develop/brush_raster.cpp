#include "library/develop/brush_raster.hpp"

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

}  // namespace

CoverageRaster rasteriseBrush(const core::Shape::Brush& brush, int width, int height,
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

}  // namespace tarno::library::develop
