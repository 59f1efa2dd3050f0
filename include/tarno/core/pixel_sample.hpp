// Reading one pixel's colour for colour picking, and the RGB to HSL conversion.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace tarno::core {

// A bitmap of 8-bit RGBA pixels with straight (not premultiplied) alpha, row by row from the
// first row as stored, without padding: pixel (x, y) starts at byte 4 * (y * width + x).
struct RGBAImage {
  std::size_t width = 0;
  std::size_t height = 0;
  std::vector<std::uint8_t> pixels{};
};

namespace PixelSample {

struct RGB {
  double r = 0;
  double g = 0;
  double b = 0;
  friend bool operator==(const RGB&, const RGB&) = default;
};

struct HSL {
  double h = 0;
  double s = 0;
  double l = 0;
  friend bool operator==(const HSL&, const HSL&) = default;
};

// The colour of the pixel at normalised coordinates (u, v), each component in 0…1, as drawing
// that pixel into a transparent 1 × 1 premultiplied RGBA context gives it (so a translucent
// pixel reads darker). u = 1 reads the last column; coordinates outside 0…1 (or NaN) read the
// nearest edge. Absent for an empty image or one whose pixel buffer is too short.
std::optional<RGB> rgb(const RGBAImage& image, double u, double v);

// Standard HSL, every component in 0…1; a tie for the largest component goes to red, then green.
HSL rgbToHSL(double r, double g, double b);

}  // namespace PixelSample

}  // namespace tarno::core
