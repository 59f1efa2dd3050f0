// The region a local mask or one of its refinements covers: a gradient, a radial, a luminance or
// colour range, brush strokes, or a matte the app computes for the subject or for people.
// Units and coordinate space are the app's.
#pragma once

#include <vector>

#include "tarno/core/geometry.hpp"
#include "tarno/core/json_record.hpp"
#include "tarno/core/one_of.hpp"

namespace tarno::core {

struct BrushStroke {
  std::vector<Point> points{};
  double radius = 0;
  bool erase = false;  // the stroke removes coverage instead of adding it
  static constexpr auto jsonFields =
      std::tuple{required("points", &BrushStroke::points), required("radius", &BrushStroke::radius),
                 required("erase", &BrushStroke::erase)};
  friend bool operator==(const BrushStroke&, const BrushStroke&) = default;
};

namespace mask_shape {
struct Linear {
  Point start{};
  Point end{};
  static constexpr auto jsonFields =
      std::tuple{required("start", &Linear::start), required("end", &Linear::end)};
  friend bool operator==(const Linear&, const Linear&) = default;
};
struct Radial {
  Point center{};
  Size radius{};
  double feather = 0;
  bool inverted = false;
  static constexpr auto jsonFields =
      std::tuple{required("center", &Radial::center), required("radius", &Radial::radius),
                 required("feather", &Radial::feather), required("inverted", &Radial::inverted)};
  friend bool operator==(const Radial&, const Radial&) = default;
};
struct LuminanceRange {
  double lower = 0;
  double upper = 0;
  double feather = 0;
  static constexpr auto jsonFields = std::tuple{required("lower", &LuminanceRange::lower),
                                                required("upper", &LuminanceRange::upper),
                                                required("feather", &LuminanceRange::feather)};
  friend bool operator==(const LuminanceRange&, const LuminanceRange&) = default;
};
struct ColorRange {
  double hue = 0;
  double range = 0;
  double feather = 0;
  static constexpr auto jsonFields =
      std::tuple{required("hue", &ColorRange::hue), required("range", &ColorRange::range),
                 required("feather", &ColorRange::feather)};
  friend bool operator==(const ColorRange&, const ColorRange&) = default;
};
struct Brush {
  std::vector<BrushStroke> strokes{};
  double feather = 0;
  static constexpr auto jsonFields =
      std::tuple{required("strokes", &Brush::strokes), required("feather", &Brush::feather)};
  friend bool operator==(const Brush&, const Brush&) = default;
};
struct AISubject {
  bool inverted = false;
  static constexpr auto jsonFields = std::tuple{required("inverted", &AISubject::inverted)};
  friend bool operator==(const AISubject&, const AISubject&) = default;
};
struct AIPeople {
  bool inverted = false;
  static constexpr auto jsonFields = std::tuple{required("inverted", &AIPeople::inverted)};
  friend bool operator==(const AIPeople&, const AIPeople&) = default;
};
}  // namespace mask_shape

// A plain value; the default is a zero-length linear gradient.
class Shape : public OneOf<mask_shape::Linear, mask_shape::Radial, mask_shape::LuminanceRange,
                           mask_shape::ColorRange, mask_shape::Brush, mask_shape::AISubject,
                           mask_shape::AIPeople> {
 public:
  using Linear = mask_shape::Linear;
  using Radial = mask_shape::Radial;
  using LuminanceRange = mask_shape::LuminanceRange;
  using ColorRange = mask_shape::ColorRange;
  using Brush = mask_shape::Brush;
  using AISubject = mask_shape::AISubject;
  using AIPeople = mask_shape::AIPeople;
  using OneOf::OneOf;
  static constexpr auto jsonCases = std::tuple{jsonCase<Linear>("linear"),
                                               jsonCase<Radial>("radial"),
                                               jsonCase<LuminanceRange>("luminanceRange"),
                                               jsonCase<ColorRange>("colorRange"),
                                               jsonCase<Brush>("brush"),
                                               jsonCase<AISubject>("aiSubject"),
                                               jsonCase<AIPeople>("aiPeople")};

  // A matte the app computes with its subject or people detection.
  bool isAIMatte() const { return is<AISubject>() || is<AIPeople>(); }
};

}  // namespace tarno::core
