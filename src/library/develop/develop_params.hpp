// A stack read the way the renderer applies it: every number clamped into its kind's range,
// absent kinds at their neutral values, curves sorted and clamped, and per stage whether it has
// anything to do, so that a neutral stage is never built. No image library here.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "tarno/core/edit_stack.hpp"
#include "tarno/core/geometry.hpp"
#include "tarno/core/point_color_target.hpp"
#include "tarno/library/adjustment_ranges.hpp"

namespace tarno::library::develop {

using core::AdjustmentKind;

// A curve ready to evaluate: at least two points, sorted by x, x unique, all in 0…1.
class ToneCurve {
 public:
  // Absent when the points make no usable curve or the identity.
  static std::optional<ToneCurve> from(const std::vector<core::Point>& points);
  // Monotone cubic through the points (flat outside them).
  double operator()(double x) const;

 private:
  std::vector<double> xs_, ys_, slopes_;
};

struct DevelopParams {
  std::array<double, adjustmentRanges.size()> scalars{};
  std::optional<ToneCurve> curve, curveRed, curveGreen, curveBlue;
  bool blackAndWhite = false;
  bool flipHorizontal = false;
  bool flipVertical = false;
  std::optional<core::Rect> crop;  // clamped into the unit square, absent when it is the whole
  std::vector<core::PointColorTarget> pointColors;  // without identities
  std::string lut;

  double operator[](AdjustmentKind k) const { return scalars[static_cast<std::size_t>(k)]; }
  bool isSet(AdjustmentKind k) const { return (*this)[k] != adjustmentRange(k).neutral; }

  // What each stage has to do.
  bool hasLinear() const;
  bool hasTone() const;
  bool hasColour() const;
  bool hasDetail() const;
  bool hasGeometry() const;
  bool hasFinish() const;
  // Something for the stages a local mask runs (linear, tone, colour, detail).
  bool hasLocal() const { return hasLinear() || hasTone() || hasColour() || hasDetail(); }
  bool hasAny() const { return hasLocal() || !lut.empty() || hasGeometry() || hasFinish(); }
  // The look of the colorProfile kind.
  core::ColorProfileLook look() const;
};

// Neutral everywhere.
DevelopParams neutralParams();
DevelopParams readParams(const core::EditStack& stack);
// A mask's amounts are offsets from each kind's neutral value, so that 0 means no change for
// every kind; only scalar kinds that do not change the geometry take part.
DevelopParams readMaskParams(const core::PairArrayMap<AdjustmentKind, double>& amounts);

}  // namespace tarno::library::develop
