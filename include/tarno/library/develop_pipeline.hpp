// Renders a photo with its edit stack: the decoded original, oriented and shrunk on load to
// about the output size, developed through the stages docs/rendering.md lists (white balance
// and exposure in linear light, then tones, colour, detail, LUT, local masks, geometry,
// vignette and grain), written as 8-bit sRGB. Every kind reads its range from
// adjustment_ranges.hpp; values outside it are clamped, unusable ones skipped, never an error.
//
// Every function may be called from any thread; none throws. Nothing here writes to the
// original file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string_view>
#include <vector>

#include "tarno/core/edit_stack.hpp"
#include "tarno/library/image_reader.hpp"

namespace tarno::library {

struct DevelopSettings {
  // The folders whose .cube files the `lut` kind names by id, searched in order; none: LUTs
  // are skipped.
  std::vector<std::filesystem::path> lutDirectories{};
};

// Interleaved 8-bit pixels, row by row: 1 band grey, 3 sRGB, 4 sRGB with alpha.
struct PixelImage {
  int width = 0;
  int height = 0;
  int bands = 3;
  std::vector<std::uint8_t> data{};
};

// True when rendering the stack gives the original back: nothing set away from neutral (or
// only kinds this renderer skips) and no mask that changes anything.
bool developsToOriginal(const core::EditStack& stack);

// The pixels developed (3-band sRGB out; alpha is flattened onto white). For pixels that are
// the full-size original: radii given in original pixels are taken as they are.
std::optional<PixelImage> developPixels(const PixelImage& original, const core::EditStack& stack,
                                        const DevelopSettings& settings, RenderError* error);

// The file decoded, oriented, shrunk so that its long edge is at most `longEdge` pixels, then
// developed and encoded as PNG (or JPEG). A stack that develops to the original costs the
// decode only.
std::optional<Rendering> developPreview(const std::filesystem::path& file,
                                        const core::EditStack& stack, std::int64_t longEdge,
                                        const DevelopSettings& settings, RenderError* error,
                                        PreviewEncoding encoding = PreviewEncoding::png);

// The developed file written to `out` as "jpeg"/"jpg", "png" or "tiff"/"tif" (quality 0…1 for
// JPEG, default 0.92), at full size or with its long edge shrunk to `longEdge`. The pixels
// stream from the decoder to the encoder in tiles. Written to a temporary name beside `out`
// and renamed into place; `out` naming the original itself is refused. The result carries the
// size; its bytes stay empty (the file is on disk).
std::optional<Rendering> developExport(const std::filesystem::path& file,
                                       const core::EditStack& stack, std::string_view format,
                                       std::optional<std::int64_t> longEdge,
                                       std::optional<double> quality,
                                       const std::filesystem::path& out,
                                       const DevelopSettings& settings, RenderError* error);

}  // namespace tarno::library
