// The stages of the develop pipeline on libvips images. Every stage takes and gives a lazy
// image, so a whole render streams through libvips in tiles; a stage with nothing to do returns
// its input. Images between stages are 3-band float: linear light ("linear") or sRGB-encoded
// values in 0…1 ("encoded").
#pragma once

#include <filesystem>
#include <optional>
#include <vips/vips8>

#include "library/develop/develop_params.hpp"

namespace tarno::library::develop {

using vips::VImage;

struct StageContext {
  double scale = 1;  // rendering pixels per pixel of the original, for radii given in the latter
  std::filesystem::path lutDirectory;
};

// The decoded image as linear float RGB: an embedded ICC profile is honoured, alpha is
// flattened onto white, grey becomes three equal bands.
VImage toLinearRgb(const VImage& decoded);
VImage toLinear(const VImage& encoded);
VImage toEncoded(const VImage& linear);
// Encoded float to 8-bit sRGB.
VImage toSrgb8(const VImage& encoded);

VImage applyLinear(const VImage& linear, const DevelopParams& p);
VImage applyTone(const VImage& encoded, const DevelopParams& p);
VImage applyColour(const VImage& encoded, const DevelopParams& p);
VImage applyDetail(const VImage& encoded, const DevelopParams& p, const StageContext& ctx);
// Linear, tone, colour and detail on an encoded image: what a local mask applies inside.
VImage applyLocal(const VImage& encoded, const DevelopParams& p, const StageContext& ctx);
VImage applyLut(const VImage& encoded, const DevelopParams& p, const StageContext& ctx);
VImage applyGeometry(const VImage& encoded, const DevelopParams& p);
VImage applyFinish(const VImage& encoded, const DevelopParams& p);

// Small helpers the mask code shares.
VImage clip(const VImage& x, double lo, double hi);
VImage maxOf(const VImage& a, const VImage& b);
VImage minOf(const VImage& a, const VImage& b);
VImage smoothstep(const VImage& t);  // t in 0…1
// Pixel centres normalised to 0…1 across the width and the height: a 2-band float image.
VImage unitCoordinates(int width, int height);
// Rec. 709 luma of encoded RGB, 1 band.
VImage luma(const VImage& encoded);
// The hue of encoded RGB in degrees 0…360 (0 red, 60 yellow, 120 green, 240 blue) and the
// chroma; hue is meaningless where chroma is 0.
VImage hueDegrees(const VImage& encoded);
VImage chroma(const VImage& encoded);

}  // namespace tarno::library::develop
