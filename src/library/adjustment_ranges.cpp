#include "tarno/library/adjustment_ranges.hpp"

#include <cmath>
#include <cstdio>

#include "tarno/core/json_record.hpp"

namespace tarno::library {

std::string_view payloadCaseName(PayloadCase p) {
  switch (p) {
    case PayloadCase::scalar:
      return "scalar";
    case PayloadCase::boolean:
      return "boolean";
    case PayloadCase::curve:
      return "curve";
    case PayloadCase::rect:
      return "rect";
    case PayloadCase::pointColors:
      return "pointColors";
    case PayloadCase::string:
      return "string";
  }
  return "";
}

namespace {

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// The hues a colour-mixer band reaches: from the centre of the band before it to the centre of
// the band after it, its weight falling linearly to 0 at both.
std::string bandHues(core::AdjustmentKind k) {
  const int first = static_cast<int>(core::AdjustmentKind::hslRedHue);
  const int index = static_cast<int>(k) - first;
  if (index < 0 || index >= 24) return "";
  const auto& bands = core::allCases<core::ColorMixerBand>;
  const int n = static_cast<int>(bands.size());
  const int b = index / 3;
  const double centre = core::centerHueDegrees(bands[static_cast<std::size_t>(b)]);
  const double before = core::centerHueDegrees(bands[static_cast<std::size_t>((b + n - 1) % n)]);
  const double after = core::centerHueDegrees(bands[static_cast<std::size_t>((b + 1) % n)]);
  return " (" + core::displayName(bands[static_cast<std::size_t>(b)]) + ": hues " + number(before) +
         "-" + number(after) + " deg, full at " + number(centre) + ")";
}

}  // namespace

std::string renderingTableMarkdown() {
  std::string out =
      "| kind | payload | range | neutral | unit | what it does |\n"
      "|---|---|---|---|---|---|\n";
  for (const AdjustmentRange& r : adjustmentRanges) {
    std::string range = "-";
    std::string neutral = "-";
    switch (r.payload) {
      case PayloadCase::scalar:
        range = number(r.minimum) + " to " + number(r.maximum);
        neutral = number(r.neutral);
        break;
      case PayloadCase::boolean:
        neutral = "false";
        break;
      case PayloadCase::curve:
        neutral = "identity";
        break;
      case PayloadCase::rect:
        range = "0 to 1";
        neutral = "[[0, 0], [1, 1]]";
        break;
      case PayloadCase::pointColors:
        neutral = "empty";
        break;
      case PayloadCase::string:
        neutral = r.kind == core::AdjustmentKind::treatment ? "\"color\"" : "none";
        break;
    }
    std::string meaning(r.meaning);
    meaning += bandHues(r.kind);
    if (r.needs) {
      meaning += "; shows only with `" + std::string(core::rawValue(*r.needs)) + "` set";
    }
    if (!r.rendered) meaning = "**skipped here:** " + meaning;
    out += "| `" + std::string(core::rawValue(r.kind)) + "` | " +
           std::string(payloadCaseName(r.payload)) + " | " + range + " | " + neutral + " | " +
           std::string(r.unit) + " | " + meaning + " |\n";
  }
  return out;
}

}  // namespace tarno::library
