// The closed list of global adjustments a photo's edit can set, and the two groupings that
// index into it (the colour mixer's hue bands and the colour grade's tonal regions).
//
// Declaration order matters: it is the order of allCases<AdjustmentKind>, and bands and regions
// find their kinds by position in it. All functions are pure.
#pragma once

#include <array>
#include <cstddef>
#include <string>

#include "tarno/core/json_record.hpp"

namespace tarno::core {

enum class AdjustmentKind {
  treatment,
  colorProfile,
  developSource,
  exposure,
  contrast,
  highlights,
  shadows,
  whites,
  blacks,
  temperature,
  tint,
  vibrance,
  saturation,
  wbRedGain,
  wbBlueGain,
  sharpenAmount,
  sharpenRadius,
  luminanceNR,
  colorNR,
  sharpenDetail,
  defringeAmount,
  toneCurve,
  clarity,
  dehaze,
  texture,
  rotation,
  hslRedHue,
  hslRedSat,
  hslRedLum,
  hslOrangeHue,
  hslOrangeSat,
  hslOrangeLum,
  hslYellowHue,
  hslYellowSat,
  hslYellowLum,
  hslGreenHue,
  hslGreenSat,
  hslGreenLum,
  hslAquaHue,
  hslAquaSat,
  hslAquaLum,
  hslBlueHue,
  hslBlueSat,
  hslBlueLum,
  hslPurpleHue,
  hslPurpleSat,
  hslPurpleLum,
  hslMagentaHue,
  hslMagentaSat,
  hslMagentaLum,
  cgShadowHue,
  cgShadowSat,
  cgShadowLum,
  cgMidHue,
  cgMidSat,
  cgMidLum,
  cgHighlightHue,
  cgHighlightSat,
  cgHighlightLum,
  cgGlobalHue,
  cgGlobalSat,
  cgGlobalLum,
  cgBalance,
  vignetteAmount,
  vignetteMidpoint,
  vignetteFeather,
  grainAmount,
  grainSize,
  grainRoughness,
  toneCurveRed,
  toneCurveGreen,
  toneCurveBlue,
  levelsBlack,
  levelsWhite,
  levelsGamma,
  crop,
  straighten,
  flipHorizontal,
  flipVertical,
  perspectiveVertical,
  perspectiveHorizontal,
  lensDistortion,
  pointColor,
  lut,
  lutIntensity,
};

// The kinds that change the image's geometry rather than its tones and colours.
inline constexpr std::array<AdjustmentKind, 8> geometryAdjustmentKinds{
    AdjustmentKind::rotation,
    AdjustmentKind::crop,
    AdjustmentKind::straighten,
    AdjustmentKind::flipHorizontal,
    AdjustmentKind::flipVertical,
    AdjustmentKind::perspectiveVertical,
    AdjustmentKind::perspectiveHorizontal,
    AdjustmentKind::lensDistortion};

constexpr bool isGeometryKind(AdjustmentKind k) {
  for (AdjustmentKind g : geometryAdjustmentKinds) {
    if (g == k) return true;
  }
  return false;
}

// The colour mixer's eight hue bands; each owns three consecutive kinds (hue, saturation,
// luminance), starting at hslRedHue.
enum class ColorMixerBand { red, orange, yellow, green, aqua, blue, purple, magenta };

// The colour grade's tonal regions; each owns three consecutive kinds starting at cgShadowHue.
// cgBalance belongs to none.
enum class ColorGradeRegion { shadows, midtones, highlights, global };

// The first kind each grouping owns; member i owns the three kinds from 3i places after it.
constexpr AdjustmentKind firstKind(ColorMixerBand) {
  return AdjustmentKind::hslRedHue;
}
constexpr AdjustmentKind firstKind(ColorGradeRegion) {
  return AdjustmentKind::cgShadowHue;
}
template <class G>
concept KindGroup = requires(G g) {
  firstKind(g);
};

namespace detail {
template <KindGroup G>
constexpr AdjustmentKind groupKind(G g, int offset) {
  return static_cast<AdjustmentKind>(static_cast<int>(firstKind(g)) + 3 * static_cast<int>(g) +
                                     offset);
}
}  // namespace detail

template <KindGroup G>
constexpr AdjustmentKind hueKind(G g) {
  return detail::groupKind(g, 0);
}
template <KindGroup G>
constexpr AdjustmentKind saturationKind(G g) {
  return detail::groupKind(g, 1);
}
template <KindGroup G>
constexpr AdjustmentKind luminanceKind(G g) {
  return detail::groupKind(g, 2);
}

// The hue at the middle of the band, in degrees.
double centerHueDegrees(ColorMixerBand b);

// The raw value with its first letter upper-cased: "Red", "Midtones".
std::string displayName(ColorMixerBand b);
std::string displayName(ColorGradeRegion r);

}  // namespace tarno::core
