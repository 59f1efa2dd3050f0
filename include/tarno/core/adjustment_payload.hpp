// The value stored for one adjustment kind: a number, a flag, a curve, a rectangle, a list of
// point-colour corrections or a text. Any variant may sit under any kind; the app that renders
// a stack decides what each kind means.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "tarno/core/geometry.hpp"
#include "tarno/core/json_record.hpp"
#include "tarno/core/one_of.hpp"
#include "tarno/core/point_color_target.hpp"

namespace tarno::core {

// A plain value. The cases are told apart by their C++ type (double is scalar, bool boolean,
// std::vector<Point> a curve, Rect, std::vector<PointColorTarget>, std::string); build one with
// the factory named after its case, since a bare literal could convert to the wrong one.
class AdjustmentPayload : public OneOf<double, bool, std::vector<Point>, Rect,
                                       std::vector<PointColorTarget>, std::string> {
 public:
  using OneOf::OneOf;
  static constexpr auto jsonCases =
      std::tuple{jsonCase<double>("scalar"),
                 jsonCase<bool>("boolean"),
                 jsonCase<std::vector<Point>>("curve"),
                 jsonCase<Rect>("rect"),
                 jsonCase<std::vector<PointColorTarget>>("pointColors"),
                 jsonCase<std::string>("string")};

  static AdjustmentPayload scalar(double v) { return v; }
  static AdjustmentPayload boolean(bool v) { return v; }
  static AdjustmentPayload curve(std::vector<Point> v) { return v; }
  static AdjustmentPayload rect(Rect v) { return v; }
  static AdjustmentPayload pointColors(std::vector<PointColorTarget> v) { return v; }
  static AdjustmentPayload string(std::string v) { return v; }

  // The corrections when this is the pointColors case, else null.
  const std::vector<PointColorTarget>* pointColors() const {
    return as<std::vector<PointColorTarget>>();
  }
};

// The neutral tone curve, in coordinates normalised to 0…1.
inline constexpr std::array<Point, 5> identityToneCurvePoints{
    Point{0, 0}, Point{0.25, 0.25}, Point{0.5, 0.5}, Point{0.75, 0.75}, Point{1, 1}};

}  // namespace tarno::core
