#include "library/develop/develop_params.hpp"

#include <algorithm>
#include <cmath>
#include <initializer_list>

namespace tarno::library::develop {

namespace {

double clamp01(double v) {
  return std::isnan(v) ? 0 : std::clamp(v, 0.0, 1.0);
}

bool anySet(const DevelopParams& p, std::initializer_list<AdjustmentKind> kinds) {
  return std::any_of(kinds.begin(), kinds.end(), [&](AdjustmentKind k) { return p.isSet(k); });
}

bool anySetIn(const DevelopParams& p, AdjustmentKind first, AdjustmentKind last) {
  for (int k = static_cast<int>(first); k <= static_cast<int>(last); ++k) {
    if (p.isSet(static_cast<AdjustmentKind>(k))) return true;
  }
  return false;
}

}  // namespace

std::optional<ToneCurve> ToneCurve::from(const std::vector<core::Point>& points) {
  std::vector<core::Point> pts;
  pts.reserve(std::min<std::size_t>(points.size(), 4096));
  for (const core::Point& p : points) {
    if (std::isnan(p.x) || std::isnan(p.y)) continue;
    pts.push_back({clamp01(p.x), clamp01(p.y)});
    // A curve is a handful of points; more than this is noise that only costs time.
    if (pts.size() == 4096) break;
  }
  std::stable_sort(pts.begin(), pts.end(),
                   [](const core::Point& a, const core::Point& b) { return a.x < b.x; });
  ToneCurve c;
  for (const core::Point& p : pts) {
    if (!c.xs_.empty() && c.xs_.back() == p.x) {
      c.ys_.back() = p.y;  // the later point at the same x wins
    } else {
      c.xs_.push_back(p.x);
      c.ys_.push_back(p.y);
    }
  }
  const std::size_t n = c.xs_.size();
  if (n < 2) return std::nullopt;
  bool identity = true;
  for (std::size_t i = 0; i < n; ++i)
    identity = identity && c.xs_[i] == c.ys_[i];
  if (identity && c.xs_.front() == 0 && c.xs_.back() == 1) return std::nullopt;

  // Fritsch–Carlson tangents keep the curve monotone wherever the points are.
  std::vector<double> d(n - 1);
  for (std::size_t i = 0; i + 1 < n; ++i) {
    d[i] = (c.ys_[i + 1] - c.ys_[i]) / (c.xs_[i + 1] - c.xs_[i]);
  }
  c.slopes_.assign(n, 0);
  c.slopes_[0] = d[0];
  c.slopes_[n - 1] = d[n - 2];
  for (std::size_t i = 1; i + 1 < n; ++i) {
    c.slopes_[i] = d[i - 1] * d[i] <= 0 ? 0 : (d[i - 1] + d[i]) / 2;
  }
  for (std::size_t i = 0; i + 1 < n; ++i) {
    if (d[i] == 0) {
      c.slopes_[i] = c.slopes_[i + 1] = 0;
      continue;
    }
    const double a = c.slopes_[i] / d[i];
    const double b = c.slopes_[i + 1] / d[i];
    const double h = a * a + b * b;
    if (h > 9) {
      const double t = 3 / std::sqrt(h);
      c.slopes_[i] = t * a * d[i];
      c.slopes_[i + 1] = t * b * d[i];
    }
  }
  return c;
}

double ToneCurve::operator()(double x) const {
  if (x <= xs_.front()) return ys_.front();
  if (x >= xs_.back()) return ys_.back();
  const std::size_t i =
      static_cast<std::size_t>(std::upper_bound(xs_.begin(), xs_.end(), x) - xs_.begin()) - 1;
  const double h = xs_[i + 1] - xs_[i];
  const double t = (x - xs_[i]) / h;
  const double t2 = t * t;
  const double t3 = t2 * t;
  return (2 * t3 - 3 * t2 + 1) * ys_[i] + (t3 - 2 * t2 + t) * h * slopes_[i] +
         (-2 * t3 + 3 * t2) * ys_[i + 1] + (t3 - t2) * h * slopes_[i + 1];
}

bool DevelopParams::hasLinear() const {
  return anySet(*this, {AdjustmentKind::exposure, AdjustmentKind::temperature, AdjustmentKind::tint,
                        AdjustmentKind::wbRedGain, AdjustmentKind::wbBlueGain}) ||
         look().warmth != 0;
}

bool DevelopParams::hasTone() const {
  return anySet(*this,
                {AdjustmentKind::contrast, AdjustmentKind::highlights, AdjustmentKind::shadows,
                 AdjustmentKind::whites, AdjustmentKind::blacks, AdjustmentKind::levelsBlack,
                 AdjustmentKind::levelsWhite, AdjustmentKind::levelsGamma}) ||
         curve || curveRed || curveGreen || curveBlue || look().contrast != 1;
}

bool DevelopParams::hasColour() const {
  const bool grade = isSet(AdjustmentKind::cgShadowSat) || isSet(AdjustmentKind::cgMidSat) ||
                     isSet(AdjustmentKind::cgHighlightSat) || isSet(AdjustmentKind::cgGlobalSat) ||
                     isSet(AdjustmentKind::cgShadowLum) || isSet(AdjustmentKind::cgMidLum) ||
                     isSet(AdjustmentKind::cgHighlightLum) || isSet(AdjustmentKind::cgGlobalLum);
  return grade || anySetIn(*this, AdjustmentKind::hslRedHue, AdjustmentKind::hslMagentaLum) ||
         isSet(AdjustmentKind::vibrance) || isSet(AdjustmentKind::saturation) ||
         look().saturation != 1 || blackAndWhite || !pointColors.empty();
}

bool DevelopParams::hasDetail() const {
  return anySet(*this, {AdjustmentKind::sharpenAmount, AdjustmentKind::luminanceNR,
                        AdjustmentKind::colorNR, AdjustmentKind::clarity, AdjustmentKind::dehaze,
                        AdjustmentKind::texture, AdjustmentKind::defringeAmount});
}

bool DevelopParams::hasGeometry() const {
  return anySet(*this, {AdjustmentKind::rotation, AdjustmentKind::straighten,
                        AdjustmentKind::perspectiveVertical, AdjustmentKind::perspectiveHorizontal,
                        AdjustmentKind::lensDistortion}) ||
         flipHorizontal || flipVertical || crop;
}

bool DevelopParams::hasFinish() const {
  return isSet(AdjustmentKind::vignetteAmount) || isSet(AdjustmentKind::grainAmount);
}

core::ColorProfileLook DevelopParams::look() const {
  const double raw = std::round((*this)[AdjustmentKind::colorProfile]);
  return core::look(static_cast<core::ColorProfile>(static_cast<int>(raw)));
}

DevelopParams neutralParams() {
  DevelopParams p;
  for (const AdjustmentRange& r : adjustmentRanges) {
    p.scalars[static_cast<std::size_t>(r.kind)] = r.neutral;
  }
  return p;
}

DevelopParams readParams(const core::EditStack& stack) {
  DevelopParams p = neutralParams();
  for (const auto& [kind, value] : stack.values) {
    const AdjustmentRange& r = adjustmentRange(kind);
    if (!r.rendered) continue;
    switch (r.payload) {
      case PayloadCase::scalar:
        if (const double* v = value.payload.as<double>()) {
          p.scalars[static_cast<std::size_t>(kind)] = clampToRange(kind, *v);
        }
        break;
      case PayloadCase::curve:
        if (const auto* points = value.payload.as<std::vector<core::Point>>()) {
          std::optional<ToneCurve> c = ToneCurve::from(*points);
          if (kind == AdjustmentKind::toneCurve) p.curve = std::move(c);
          if (kind == AdjustmentKind::toneCurveRed) p.curveRed = std::move(c);
          if (kind == AdjustmentKind::toneCurveGreen) p.curveGreen = std::move(c);
          if (kind == AdjustmentKind::toneCurveBlue) p.curveBlue = std::move(c);
        }
        break;
      case PayloadCase::boolean:
        if (const bool* b = value.payload.as<bool>()) {
          if (kind == AdjustmentKind::flipHorizontal) p.flipHorizontal = *b;
          if (kind == AdjustmentKind::flipVertical) p.flipVertical = *b;
        }
        break;
      case PayloadCase::rect:
        if (const core::Rect* r0 = value.payload.as<core::Rect>()) {
          const double x0 = clamp01(r0->origin.x);
          const double y0 = clamp01(r0->origin.y);
          const double x1 = clamp01(r0->origin.x + std::max(0.0, r0->size.width));
          const double y1 = clamp01(r0->origin.y + std::max(0.0, r0->size.height));
          if (!(x0 == 0 && y0 == 0 && x1 == 1 && y1 == 1)) {
            p.crop = core::Rect{{x0, y0}, {x1 - x0, y1 - y0}};
          }
        }
        break;
      case PayloadCase::pointColors:
        if (const auto* targets = value.payload.pointColors()) {
          for (const core::PointColorTarget& t : *targets) {
            if (!t.isIdentity() && p.pointColors.size() < 64) p.pointColors.push_back(t);
          }
        }
        break;
      case PayloadCase::string:
        if (const std::string* s = value.payload.as<std::string>()) {
          if (kind == AdjustmentKind::treatment) p.blackAndWhite = *s == "blackAndWhite";
          if (kind == AdjustmentKind::lut) p.lut = *s;
        }
        break;
    }
  }
  return p;
}

DevelopParams readMaskParams(const core::PairArrayMap<AdjustmentKind, double>& amounts) {
  DevelopParams p = neutralParams();
  for (const auto& [kind, amount] : amounts) {
    const AdjustmentRange& r = adjustmentRange(kind);
    if (!r.rendered || r.payload != PayloadCase::scalar || core::isGeometryKind(kind) ||
        kind == AdjustmentKind::colorProfile || std::isnan(amount)) {
      continue;
    }
    p.scalars[static_cast<std::size_t>(kind)] = clampToRange(kind, r.neutral + amount);
  }
  return p;
}

}  // namespace tarno::library::develop
