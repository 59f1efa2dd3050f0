// Derived values and copies of a photo summary.
#include "tarno/core/photo_summary.hpp"

#include <cinttypes>
#include <cmath>
#include <cstdio>

namespace tarno::core {

std::optional<std::int64_t> roundedToInt64(double value) {
  const double r = std::round(value);
  // 2^63 is exactly representable; everything below it in double range fits.
  if (!(r >= -9223372036854775808.0 && r < 9223372036854775808.0)) return std::nullopt;
  return static_cast<std::int64_t>(r);
}

std::optional<Coordinate> PhotoSummary::coordinate() const {
  if (!latitude || !longitude) return std::nullopt;
  return Coordinate{*latitude, *longitude};
}

std::optional<std::string> PhotoSummary::durationDisplay() const {
  if (!(durationSeconds > 0)) return std::nullopt;
  const std::optional<std::int64_t> t = roundedToInt64(durationSeconds);
  if (!t) return std::nullopt;
  char buf[48];
  std::snprintf(buf, sizeof buf, "%" PRId64 ":%02" PRId64, *t / 60, *t - 60 * (*t / 60));
  return std::string(buf);
}

}  // namespace tarno::core
