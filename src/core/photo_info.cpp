// Display strings of a photo's capture metadata.
#include "tarno/core/photo_info.hpp"

#include <charconv>
#include <cmath>
#include <string_view>
#include <vector>

#include "tarno/core/photo_summary.hpp"

namespace tarno::core {
namespace {

// One decimal, always with a point whatever the process's C locale says.
std::string oneDecimal(double value) {
  char buf[400];  // the longest double in fixed notation is 309 digits and the decimals
  const auto result = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 1);
  return std::string(buf, result.ptr);
}

// A whole number as an integer ("8"), anything else with one decimal ("2.8").
std::string wholeOrOneDecimal(double value) {
  const std::optional<std::int64_t> whole = roundedToInt64(value);
  if (whole && static_cast<double>(*whole) == value) return std::to_string(*whole);
  return oneDecimal(value);
}

}  // namespace

std::string PhotoInfo::cameraDisplayName() const {
  if (cameraMake && cameraModel) return *cameraMake + " " + *cameraModel;
  return cameraMake.value_or(cameraModel.value_or(""));
}

std::optional<std::string> PhotoInfo::shutterDisplay() const {
  if (!shutterSeconds || !(*shutterSeconds > 0)) return std::nullopt;
  if (*shutterSeconds >= 1) return oneDecimal(*shutterSeconds) + " s";
  const std::optional<std::int64_t> denominator = roundedToInt64(1 / *shutterSeconds);
  if (!denominator) return std::nullopt;
  return "1/" + std::to_string(*denominator) + " s";
}

std::optional<std::string> PhotoInfo::apertureDisplay() const {
  if (!aperture || !(*aperture > 0)) return std::nullopt;
  return "\u0192/" + wholeOrOneDecimal(*aperture);
}

std::optional<std::string> PhotoInfo::focalLengthDisplay() const {
  if (!focalLengthMM) return std::nullopt;
  return wholeOrOneDecimal(*focalLengthMM) + " mm";
}

std::string PhotoInfo::dimensionsDisplay() const {
  return std::to_string(pixelWidth) + " \u00D7 " + std::to_string(pixelHeight);
}

std::string PhotoInfo::exposureLine() const {
  std::vector<std::string> parts;
  for (std::optional<std::string> part :
       {focalLengthDisplay(), shutterDisplay(), apertureDisplay()}) {
    if (part) parts.push_back(std::move(*part));
  }
  if (iso) parts.push_back("ISO " + std::to_string(*iso));
  std::string line;
  for (const std::string& part : parts) {
    if (!line.empty()) line += "  \u00B7  ";
    line += part;
  }
  return line;
}

}  // namespace tarno::core
