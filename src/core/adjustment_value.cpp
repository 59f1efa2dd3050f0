// Adjustment vocabulary: band and region names, origin decoding, point-colour hashing.
#include <cctype>
#include <functional>

#include "tarno/core/adjustment_kind.hpp"
#include "tarno/core/edit_origin.hpp"
#include "tarno/core/point_color_target.hpp"

namespace tarno::core {

namespace {
template <class E>
std::string capitalisedRawValue(E e) {
  std::string name(rawValue(e));
  if (!name.empty()) name[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(name[0])));
  return name;
}
}  // namespace

double centerHueDegrees(ColorMixerBand b) {
  switch (b) {
    case ColorMixerBand::red:
      return 0;
    case ColorMixerBand::orange:
      return 30;
    case ColorMixerBand::yellow:
      return 60;
    case ColorMixerBand::green:
      return 120;
    case ColorMixerBand::aqua:
      return 180;
    case ColorMixerBand::blue:
      return 240;
    case ColorMixerBand::purple:
      return 280;
    case ColorMixerBand::magenta:
      return 320;
  }
  return 0;
}

std::string displayName(ColorMixerBand b) {
  return capitalisedRawValue(b);
}
std::string displayName(ColorGradeRegion r) {
  return capitalisedRawValue(r);
}

void fromJSON(const JsonValue& j, EditOrigin& out, const CodingPath& path) {
  auto readable = [&]<class P>(std::string_view key, P*) -> std::optional<P> {
    const JsonValue* v = j.find(key);
    return v == nullptr ? std::nullopt : decodeIfValid<P>(*v, path.key(key));
  };
  if (j.find("user") != nullptr) {
    out = EditOrigin::user();
  } else if (auto ai = readable("ai", static_cast<EditOrigin::AIPayload*>(nullptr))) {
    out = std::move(*ai);
  } else if (auto preset = readable("preset", static_cast<EditOrigin::PresetPayload*>(nullptr))) {
    out = std::move(*preset);
  } else {
    out = EditOrigin::unknown();
  }
}

}  // namespace tarno::core

std::size_t std::hash<tarno::core::PointColorTarget>::operator()(
    const tarno::core::PointColorTarget& t) const noexcept {
  std::size_t h = 0;
  for (double v : {t.targetHue, t.targetSat, t.targetLum, t.hue, t.sat, t.lum, t.range}) {
    // +0.0 and -0.0 compare equal, so they must hash alike.
    h = h * 1000003u ^ std::hash<double>{}(v == 0 ? 0.0 : v);
  }
  return h;
}
