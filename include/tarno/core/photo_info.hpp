// A photo's capture metadata as the info panel shows it, with its display strings.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <tuple>

#include "tarno/core/json_record.hpp"

namespace tarno::core {

// A plain value record. The display strings never fail: non-finite values and values beyond
// the 64-bit integer range print as decimals ("ƒ/inf") or, where only an integer makes sense
// (1/n s), give nothing.
struct PhotoInfo {
  std::optional<Date> captureDate{};
  std::optional<std::string> cameraMake{};
  std::optional<std::string> cameraModel{};
  std::optional<std::string> lens{};
  std::optional<std::int64_t> iso{};
  std::optional<double> shutterSeconds{};  // exposure time
  std::optional<double> aperture{};        // f-number
  std::optional<double> focalLengthMM{};
  std::int64_t pixelWidth = 0;
  std::int64_t pixelHeight = 0;
  std::optional<std::string> formatLabel{};
  std::optional<std::string> originalFilename{};

  static constexpr auto jsonFields =
      std::tuple{optional("captureDate", &PhotoInfo::captureDate),
                 optional("cameraMake", &PhotoInfo::cameraMake),
                 optional("cameraModel", &PhotoInfo::cameraModel),
                 optional("lens", &PhotoInfo::lens),
                 optional("iso", &PhotoInfo::iso),
                 optional("shutterSeconds", &PhotoInfo::shutterSeconds),
                 optional("aperture", &PhotoInfo::aperture),
                 optional("focalLengthMM", &PhotoInfo::focalLengthMM),
                 required("pixelWidth", &PhotoInfo::pixelWidth),
                 required("pixelHeight", &PhotoInfo::pixelHeight),
                 optional("formatLabel", &PhotoInfo::formatLabel),
                 optional("originalFilename", &PhotoInfo::originalFilename)};

  // Make and model joined by a space, whichever is present, or "".
  std::string cameraDisplayName() const;
  // "2.0 s" from one second up, "1/250 s" below; absent unless the time is greater than 0.
  std::optional<std::string> shutterDisplay() const;
  // "ƒ/8", "ƒ/2.8" (U+0192); absent unless the f-number is greater than 0.
  std::optional<std::string> apertureDisplay() const;
  // "35 mm", "4.2 mm".
  std::optional<std::string> focalLengthDisplay() const;
  // "6000 × 4000" (U+00D7).
  std::string dimensionsDisplay() const;
  // Focal length, shutter, aperture and "ISO n", those present, joined by "  ·  " (U+00B7).
  std::string exposureLine() const;

  friend bool operator==(const PhotoInfo&, const PhotoInfo&) = default;
};

}  // namespace tarno::core
