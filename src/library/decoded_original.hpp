// A photo decoded for the develop pipeline the way previews and exports decode it (a raw file
// through its embedded preview, orientation from EXIF or exiv2, shrink on load, the header
// checked against maxImagePixels first), as a libvips image held in memory.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <vips/vips8>

#include "tarno/library/image_reader.hpp"

namespace tarno::library {

struct DecodedOriginal {
  vips::VImage image;  // oriented, 8 or 16 bits per band as decoded, in memory
  double scale = 1;    // its pixels per pixel of the file's full-size image
};

// Fits the long edge into `longEdge` (never enlarging); absent: full size. Absent with
// `error` set when the file cannot be opened or decoded.
std::optional<DecodedOriginal> decodeOriginal(const std::filesystem::path& file,
                                              std::optional<std::int64_t> longEdge,
                                              RenderError* error);

}  // namespace tarno::library
