// Plain geometry values shared by the photo model and the protocol records. On the wire a point
// is [x, y], a size [width, height], a rectangle [[x, y], [width, height]].
#pragma once

#include <tuple>

namespace tarno::core {

struct Point {
  double x = 0;
  double y = 0;
  static constexpr auto jsonElements = std::tuple{&Point::x, &Point::y};
  friend bool operator==(const Point&, const Point&) = default;
};

struct Size {
  double width = 0;
  double height = 0;
  static constexpr auto jsonElements = std::tuple{&Size::width, &Size::height};
  friend bool operator==(const Size&, const Size&) = default;
};

struct Rect {
  Point origin;
  Size size;
  static constexpr auto jsonElements = std::tuple{&Rect::origin, &Rect::size};
  friend bool operator==(const Rect&, const Rect&) = default;
};

}  // namespace tarno::core
