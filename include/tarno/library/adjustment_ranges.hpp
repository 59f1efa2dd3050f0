// What every adjustment kind means to this renderer: the payload it reads, the range a number is
// clamped to, the neutral value an absent kind stands for, its unit and its effect. One table,
// read by the develop pipeline and by whatever tells a model which values the edit tools take;
// docs/rendering.md prints the same table (renderingTableMarkdown keeps the two equal).
//
// Plain constant data, no image library: any module may include it.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "tarno/core/adjustment_kind.hpp"

namespace tarno::library {

// The payload case a kind is read from; a value stored in another case is ignored.
enum class PayloadCase { scalar, boolean, curve, rect, pointColors, string };

struct AdjustmentRange {
  core::AdjustmentKind kind = core::AdjustmentKind::treatment;
  PayloadCase payload = PayloadCase::scalar;
  // For scalars: the clamp range and the value an absent kind reads as.
  double minimum = 0;
  double maximum = 0;
  double neutral = 0;
  std::string_view unit{};
  std::string_view meaning{};
  // False for a kind this renderer cannot apply; it is skipped, never an error.
  bool rendered = true;
  // A kind that only shapes another one's effect moves no pixel alone: this other kind must be
  // set (to `needsValue`) for it to show.
  std::optional<core::AdjustmentKind> needs{};
  double needsValue = 0;
};

namespace detail {
using K = core::AdjustmentKind;
using P = PayloadCase;

constexpr AdjustmentRange scalar(K k, double lo, double hi, double neutral, std::string_view unit,
                                 std::string_view meaning) {
  return {k, P::scalar, lo, hi, neutral, unit, meaning};
}
constexpr AdjustmentRange shaping(K k, double lo, double hi, double neutral, std::string_view unit,
                                  std::string_view meaning, K needs, double needsValue) {
  return {k, P::scalar, lo, hi, neutral, unit, meaning, true, needs, needsValue};
}
constexpr AdjustmentRange other(K k, P p, std::string_view unit, std::string_view meaning) {
  return {k, p, 0, 0, 0, unit, meaning};
}

inline constexpr std::string_view hslHue =
    "turns this band's hues by up to 30 degrees (+1 towards the next band's hue)";
inline constexpr std::string_view hslSat =
    "scales this band's saturation by 1 + value (-1 greys it out)";
inline constexpr std::string_view hslLum =
    "lightens (+) or darkens (-) this band's colours by up to 0.25, in proportion to how "
    "coloured a pixel is, greys untouched";
inline constexpr std::string_view cgHue = "hue of the tint added to this region";
inline constexpr std::string_view cgSat = "strength of the tint added to this region";
inline constexpr std::string_view cgLum = "lightens (+) or darkens (-) this region by up to 0.2";
}  // namespace detail

inline constexpr std::array<AdjustmentRange, 85> adjustmentRanges{{
    detail::other(detail::K::treatment, detail::P::string, "\"color\" or \"blackAndWhite\"",
                  "\"blackAndWhite\" renders monochrome (colour turned to luminance after every "
                  "colour step); anything else is colour"),
    detail::scalar(detail::K::colorProfile, 0, 5, 0, "profile number",
                   "look: 0 standard, 1 vivid, 2 neutral, 3 portrait, 4 landscape, 5 monochrome; "
                   "multiplies contrast and saturation and adds warmth as the profile says"),
    {detail::K::developSource, detail::P::scalar, 0, 1, 0, "source number",
     "chooses the file of a RAW+JPEG pair (0 raw, 1 camera JPEG); the renderer develops the file "
     "it is given and decodes no RAW itself, so this moves no pixel here",
     false},
    detail::scalar(detail::K::exposure, -5, 5, 0, "stops",
                   "multiplies linear light by 2^value (+1 doubles it)"),
    detail::scalar(detail::K::contrast, -1, 1, 0, "amount",
                   "S-curve about the middle grey (+1 a full smoothstep, -1 the inverse)"),
    detail::scalar(detail::K::highlights, -1, 1, 0, "amount",
                   "lifts (+) or pulls down (-) the bright tones, peak 0.25 at two thirds"),
    detail::scalar(detail::K::shadows, -1, 1, 0, "amount",
                   "lifts (+) or deepens (-) the dark tones, peak 0.25 at one third"),
    detail::scalar(detail::K::whites, -1, 1, 0, "amount",
                   "moves the brightest tones up or down, white by 0.15 at +-1"),
    detail::scalar(detail::K::blacks, -1, 1, 0, "amount",
                   "moves the darkest tones up or down, black by 0.15 at +-1"),
    detail::scalar(detail::K::temperature, -1, 1, 0, "relative",
                   "warms (+) or cools (-): linear red times 2^(value/2), blue times 2^(-value/2)"),
    detail::scalar(detail::K::tint, -1, 1, 0, "relative",
                   "towards magenta (+) or green (-): linear green times 2^(-0.4 value)"),
    detail::scalar(detail::K::vibrance, -1, 1, 0, "amount",
                   "raises (+) or lowers (-) the saturation of the least saturated colours most"),
    detail::scalar(detail::K::saturation, -1, 1, 0, "amount",
                   "scales every colour's saturation by 1 + value (-1 is grey)"),
    detail::scalar(detail::K::wbRedGain, 0.25, 4, 1, "factor", "multiplies linear red"),
    detail::scalar(detail::K::wbBlueGain, 0.25, 4, 1, "factor", "multiplies linear blue"),
    detail::scalar(detail::K::sharpenAmount, 0, 3, 0, "amount",
                   "unsharp mask: adds value times the difference from a blurred copy"),
    detail::shaping(detail::K::sharpenRadius, 0.5, 3, 1, "pixels of the original",
                    "radius (blur sigma) of the sharpening, scaled to the rendering's size",
                    detail::K::sharpenAmount, 1),
    detail::scalar(detail::K::luminanceNR, 0, 1, 0, "amount",
                   "smooths small tonal differences, keeps edges (blur sigma 0.5-2 px)"),
    detail::scalar(detail::K::colorNR, 0, 1, 0, "amount",
                   "blurs the colour (not the tones) with sigma up to 5 px"),
    detail::shaping(
        detail::K::sharpenDetail, 0, 1, 0.5, "amount",
        "how much sharpening reaches the faintest differences: 0 spares them, 0.5 treats "
        "them like the rest, 1 doubles it",
        detail::K::sharpenAmount, 2),
    detail::scalar(detail::K::defringeAmount, 0, 1, 0, "amount",
                   "desaturates purple and green fringes next to strong edges"),
    detail::other(detail::K::toneCurve, detail::P::curve, "points in 0-1",
                  "master tone curve on the encoded values, monotone through the points (sorted "
                  "by x, clamped to 0-1, fewer than two points ignored)"),
    detail::scalar(detail::K::clarity, -1, 1, 0, "amount",
                   "midtone local contrast over a radius of 2 % of the long edge"),
    detail::scalar(detail::K::dehaze, -1, 1, 0, "amount",
                   "removes (+) or adds (-) haze estimated from the local darkest channel"),
    detail::scalar(detail::K::texture, -1, 1, 0, "amount",
                   "fine local contrast over a radius of 0.4 % of the long edge"),
    detail::scalar(detail::K::rotation, -360, 360, 0, "degrees",
                   "turns clockwise by the value rounded to a multiple of 90"),
    detail::scalar(detail::K::hslRedHue, -1, 1, 0, "relative", detail::hslHue),
    detail::scalar(detail::K::hslRedSat, -1, 1, 0, "amount", detail::hslSat),
    detail::scalar(detail::K::hslRedLum, -1, 1, 0, "amount", detail::hslLum),
    detail::scalar(detail::K::hslOrangeHue, -1, 1, 0, "relative", detail::hslHue),
    detail::scalar(detail::K::hslOrangeSat, -1, 1, 0, "amount", detail::hslSat),
    detail::scalar(detail::K::hslOrangeLum, -1, 1, 0, "amount", detail::hslLum),
    detail::scalar(detail::K::hslYellowHue, -1, 1, 0, "relative", detail::hslHue),
    detail::scalar(detail::K::hslYellowSat, -1, 1, 0, "amount", detail::hslSat),
    detail::scalar(detail::K::hslYellowLum, -1, 1, 0, "amount", detail::hslLum),
    detail::scalar(detail::K::hslGreenHue, -1, 1, 0, "relative", detail::hslHue),
    detail::scalar(detail::K::hslGreenSat, -1, 1, 0, "amount", detail::hslSat),
    detail::scalar(detail::K::hslGreenLum, -1, 1, 0, "amount", detail::hslLum),
    detail::scalar(detail::K::hslAquaHue, -1, 1, 0, "relative", detail::hslHue),
    detail::scalar(detail::K::hslAquaSat, -1, 1, 0, "amount", detail::hslSat),
    detail::scalar(detail::K::hslAquaLum, -1, 1, 0, "amount", detail::hslLum),
    detail::scalar(detail::K::hslBlueHue, -1, 1, 0, "relative", detail::hslHue),
    detail::scalar(detail::K::hslBlueSat, -1, 1, 0, "amount", detail::hslSat),
    detail::scalar(detail::K::hslBlueLum, -1, 1, 0, "amount", detail::hslLum),
    detail::scalar(detail::K::hslPurpleHue, -1, 1, 0, "relative", detail::hslHue),
    detail::scalar(detail::K::hslPurpleSat, -1, 1, 0, "amount", detail::hslSat),
    detail::scalar(detail::K::hslPurpleLum, -1, 1, 0, "amount", detail::hslLum),
    detail::scalar(detail::K::hslMagentaHue, -1, 1, 0, "relative", detail::hslHue),
    detail::scalar(detail::K::hslMagentaSat, -1, 1, 0, "amount", detail::hslSat),
    detail::scalar(detail::K::hslMagentaLum, -1, 1, 0, "amount", detail::hslLum),
    detail::shaping(detail::K::cgShadowHue, 0, 360, 0, "degrees", detail::cgHue,
                    detail::K::cgShadowSat, 0.5),
    detail::scalar(detail::K::cgShadowSat, 0, 1, 0, "amount", detail::cgSat),
    detail::scalar(detail::K::cgShadowLum, -1, 1, 0, "amount", detail::cgLum),
    detail::shaping(detail::K::cgMidHue, 0, 360, 0, "degrees", detail::cgHue, detail::K::cgMidSat,
                    0.5),
    detail::scalar(detail::K::cgMidSat, 0, 1, 0, "amount", detail::cgSat),
    detail::scalar(detail::K::cgMidLum, -1, 1, 0, "amount", detail::cgLum),
    detail::shaping(detail::K::cgHighlightHue, 0, 360, 0, "degrees", detail::cgHue,
                    detail::K::cgHighlightSat, 0.5),
    detail::scalar(detail::K::cgHighlightSat, 0, 1, 0, "amount", detail::cgSat),
    detail::scalar(detail::K::cgHighlightLum, -1, 1, 0, "amount", detail::cgLum),
    detail::shaping(detail::K::cgGlobalHue, 0, 360, 0, "degrees", detail::cgHue,
                    detail::K::cgGlobalSat, 0.5),
    detail::scalar(detail::K::cgGlobalSat, 0, 1, 0, "amount", detail::cgSat),
    detail::scalar(detail::K::cgGlobalLum, -1, 1, 0, "amount", detail::cgLum),
    detail::shaping(detail::K::cgBalance, -1, 1, 0, "amount",
                    "moves the split between the shadow and highlight tints (+ gives the "
                    "highlights more of the tonal range)",
                    detail::K::cgHighlightSat, 0.5),
    detail::scalar(detail::K::vignetteAmount, -1, 1, 0, "stops / 1.5",
                   "darkens (-) or lightens (+) towards the corners, up to 1.5 stops"),
    detail::shaping(detail::K::vignetteMidpoint, 0, 1, 0.5, "fraction of the half diagonal",
                    "where the vignette starts", detail::K::vignetteAmount, -1),
    detail::shaping(detail::K::vignetteFeather, 0, 1, 0.5, "fraction of the half diagonal",
                    "how far the vignette takes to reach full strength", detail::K::vignetteAmount,
                    -1),
    detail::scalar(detail::K::grainAmount, 0, 1, 0, "amount",
                   "adds film grain to the tones, standard deviation up to 0.08"),
    detail::shaping(detail::K::grainSize, 0, 1, 0.25, "amount",
                    "grain size, 1 to 4 pixels of the rendering", detail::K::grainAmount, 1),
    detail::shaping(detail::K::grainRoughness, 0, 1, 0.5, "amount",
                    "0 soft blurred grain, 1 sharp grain", detail::K::grainAmount, 1),
    detail::other(detail::K::toneCurveRed, detail::P::curve, "points in 0-1",
                  "tone curve of the red channel, after the master curve"),
    detail::other(detail::K::toneCurveGreen, detail::P::curve, "points in 0-1",
                  "tone curve of the green channel, after the master curve"),
    detail::other(detail::K::toneCurveBlue, detail::P::curve, "points in 0-1",
                  "tone curve of the blue channel, after the master curve"),
    detail::scalar(detail::K::levelsBlack, 0, 0.9, 0, "encoded level",
                   "input level that becomes black"),
    detail::scalar(detail::K::levelsWhite, 0.1, 1, 1, "encoded level",
                   "input level that becomes white (kept above levelsBlack)"),
    detail::scalar(detail::K::levelsGamma, 0.1, 10, 1, "gamma",
                   "midtones raised to 1/value after levels (> 1 brightens)"),
    detail::other(detail::K::crop, detail::P::rect, "rectangle normalised to the frame",
                  "keeps [[x, y], [width, height]] of the straightened frame, clamped into it, at "
                  "least 1 pixel each way"),
    detail::scalar(detail::K::straighten, -45, 45, 0, "degrees",
                   "turns clockwise and enlarges by StraightenGeometry's fill scale so no empty "
                   "corner shows; the size stays"),
    detail::other(detail::K::flipHorizontal, detail::P::boolean, "true / false",
                  "mirrors left and right"),
    detail::other(detail::K::flipVertical, detail::P::boolean, "true / false",
                  "mirrors top and bottom"),
    detail::scalar(detail::K::perspectiveVertical, -1, 1, 0, "amount",
                   "keystone: + widens the top relative to the bottom (converging verticals "
                   "straightened), up to 40 %"),
    detail::scalar(detail::K::perspectiveHorizontal, -1, 1, 0, "amount",
                   "keystone: + heightens the left side relative to the right, up to 40 %"),
    detail::scalar(detail::K::lensDistortion, -1, 1, 0, "amount",
                   "radial correction: + corrects barrel distortion (pulls the middle in), - "
                   "pincushion; 25 % at the corners"),
    detail::other(detail::K::pointColor, detail::P::pointColors,
                  "targetHue 0-360 deg, targetSat/targetLum 0-1, hue -180-180 deg, sat/lum -1-1, "
                  "range 0-1",
                  "shifts colours near each target (Gaussian weight of width range over hue/360, "
                  "saturation and luminance) by hue degrees, saturation x (1 + sat), lightness "
                  "+0.25 lum"),
    detail::other(detail::K::lut, detail::P::string, "LUT id from lut.list",
                  "3D look-up table: the .cube file of that id in the LUT folder, applied to the "
                  "encoded values with trilinear interpolation; a missing or malformed file is "
                  "skipped"),
    detail::shaping(detail::K::lutIntensity, 0, 1, 1, "fraction",
                    "blend of the LUT's result with its input (0 none, 1 all)", detail::K::lut, 0),
}};

static_assert(
    [] {
      for (std::size_t i = 0; i < adjustmentRanges.size(); ++i) {
        if (static_cast<std::size_t>(adjustmentRanges[i].kind) != i) return false;
      }
      return true;
    }(),
    "one entry per kind, in declaration order");

constexpr const AdjustmentRange& adjustmentRange(core::AdjustmentKind k) {
  return adjustmentRanges[static_cast<std::size_t>(k)];
}

// The value clamped into the kind's range; NaN reads as neutral.
inline double clampToRange(core::AdjustmentKind k, double v) {
  const AdjustmentRange& r = adjustmentRange(k);
  if (std::isnan(v)) return r.neutral;
  return v < r.minimum ? r.minimum : (v > r.maximum ? r.maximum : v);
}

// The name of a payload case as it appears in JSON.
std::string_view payloadCaseName(PayloadCase p);

// The Markdown table docs/rendering.md carries: one row per kind in declaration order, with the
// hue range of each colour-mixer band worked out from the band centres.
std::string renderingTableMarkdown();

}  // namespace tarno::library
