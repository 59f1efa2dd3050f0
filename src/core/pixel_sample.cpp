// Pixel sampling and RGB to HSL conversion.
#include "tarno/core/pixel_sample.hpp"

#include <algorithm>
#include <cmath>

namespace tarno::core::PixelSample {
namespace {

// The integer part of `scaled`, kept within 0…count − 1 (count > 0); NaN reads as 0.
std::size_t pixelIndex(double scaled, std::size_t count) {
  if (!(scaled >= 1)) return 0;
  if (scaled >= static_cast<double>(count)) return count - 1;
  return static_cast<std::size_t>(scaled);
}

// What a premultiplied 8-bit context stores for a straight-alpha component.
double premultiplied(std::uint8_t component, std::uint8_t alpha) {
  return static_cast<double>((unsigned{component} * alpha + 127) / 255) / 255.0;
}

}  // namespace

std::optional<RGB> rgb(const RGBAImage& image, double u, double v) {
  if (image.width == 0 || image.height == 0) return std::nullopt;
  if (image.width > image.pixels.size() / 4 / image.height) return std::nullopt;
  const std::size_t x = pixelIndex(u * static_cast<double>(image.width), image.width);
  const std::size_t y = pixelIndex(v * static_cast<double>(image.height), image.height);
  const std::uint8_t* p = image.pixels.data() + 4 * (y * image.width + x);
  return RGB{premultiplied(p[0], p[3]), premultiplied(p[1], p[3]), premultiplied(p[2], p[3])};
}

HSL rgbToHSL(double r, double g, double b) {
  const double max = std::max({r, g, b});
  const double min = std::min({r, g, b});
  const double l = (max + min) / 2;
  if (max == min) return HSL{0, 0, l};
  const double d = max - min;
  const double s = l > 0.5 ? d / (2 - max - min) : d / (max + min);
  double h = 0;
  if (max == r) {
    h = (g - b) / d + (g < b ? 6 : 0);
  } else if (max == g) {
    h = (b - r) / d + 2;
  } else {
    h = (r - g) / d + 4;
  }
  return HSL{h / 6, s, l};
}

}  // namespace tarno::core::PixelSample
