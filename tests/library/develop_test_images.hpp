// Images the develop tests generate, the sRGB transfer they measure with, and a stack builder.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <string>

#include "tarno/core/edit_stack.hpp"
#include "tarno/library/develop_pipeline.hpp"

namespace tarno::library::testing {

using core::AdjustmentKind;

inline double srgbToLinear(double v8) {
  const double e = v8 / 255.0;
  return e <= 0.04045 ? e / 12.92 : std::pow((e + 0.055) / 1.055, 2.4);
}

inline std::uint8_t byte(double v) {
  return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
}

// Every pixel computed by f(x, y) → {r, g, b} in 0…255.
template <class F>
PixelImage generate(int width, int height, F&& f) {
  PixelImage img{.width = width, .height = height, .bands = 3};
  img.data.reserve(static_cast<std::size_t>(width) * height * 3);
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const auto [r, g, b] = f(x, y);
      img.data.push_back(byte(r));
      img.data.push_back(byte(g));
      img.data.push_back(byte(b));
    }
  }
  return img;
}

// A horizontal grey ramp from `from` to `to`.
inline PixelImage greyRamp(int width, int height, double from = 0, double to = 255) {
  return generate(width, height, [&](int x, int) {
    const double v = from + (to - from) * x / std::max(1, width - 1);
    return std::array<double, 3>{v, v, v};
  });
}

// Hue across, lightness down, with a dark line every eighth column for edges.
inline PixelImage colourChart(int width = 96, int height = 64) {
  return generate(width, height, [&](int x, int y) {
    if (x % 8 == 7) return std::array<double, 3>{20, 20, 20};
    const double h = 360.0 * x / width;
    const double l = 0.15 + 0.7 * y / std::max(1, height - 1);
    const double s = 0.7;
    const double c = (1 - std::abs(2 * l - 1)) * s;
    const double hp = h / 60;
    const double xx = c * (1 - std::abs(std::fmod(hp, 2.0) - 1));
    double r = 0, g = 0, b = 0;
    if (hp < 1)
      r = c, g = xx;
    else if (hp < 2)
      r = xx, g = c;
    else if (hp < 3)
      g = c, b = xx;
    else if (hp < 4)
      g = xx, b = c;
    else if (hp < 5)
      r = xx, b = c;
    else
      r = c, b = xx;
    const double m = l - c / 2;
    // A little fixed noise, as a camera leaves, for the detail stages to find.
    const double noise = static_cast<double>((x * 7919 + y * 104729) % 17) - 8;
    return std::array<double, 3>{(r + m) * 255 + noise, (g + m) * 255 - noise,
                                 (b + m) * 255 + noise};
  });
}

inline const std::uint8_t* pixel(const PixelImage& img, int x, int y) {
  return img.data.data() + (static_cast<std::size_t>(y) * img.width + x) * img.bands;
}

// Pixels whose channels differ by more than `tolerance` levels.
inline int changedPixels(const PixelImage& a, const PixelImage& b, int tolerance = 1) {
  if (a.width != b.width || a.height != b.height || a.bands != b.bands) return -1;
  int changed = 0;
  for (int y = 0; y < a.height; ++y) {
    for (int x = 0; x < a.width; ++x) {
      for (int c = 0; c < a.bands; ++c) {
        if (std::abs(pixel(a, x, y)[c] - pixel(b, x, y)[c]) > tolerance) {
          ++changed;
          break;
        }
      }
    }
  }
  return changed;
}

inline const core::EditOrigin& user() {
  static const core::EditOrigin origin = core::EditOrigin::user();
  return origin;
}

inline core::Date someTime() {
  return core::Date{std::chrono::seconds{1'700'000'000}};
}

inline core::EditStack stackWith(std::initializer_list<std::pair<AdjustmentKind, double>> scalars) {
  core::EditStack s;
  for (const auto& [k, v] : scalars)
    s.setScalar(k, v, user(), someTime());
  return s;
}

inline PixelImage developed(const PixelImage& in, const core::EditStack& stack,
                            const DevelopSettings& settings = {}) {
  RenderError error;
  const std::optional<PixelImage> out = developPixels(in, stack, settings, &error);
  if (!out) throw std::runtime_error("develop failed: " + error.message);
  return *out;
}

inline void writeFile(const std::filesystem::path& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary)
      .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A binary PPM of the image: a format the decoder reads that a test can write by hand.
inline std::string ppm(const PixelImage& img) {
  std::string out =
      "P6\n" + std::to_string(img.width) + " " + std::to_string(img.height) + "\n255\n";
  out.append(reinterpret_cast<const char*>(img.data.data()), img.data.size());
  return out;
}

}  // namespace tarno::library::testing
