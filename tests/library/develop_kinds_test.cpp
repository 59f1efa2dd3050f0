// Every adjustment kind against the range table: set away from neutral it moves some pixel of
// a colour chart, unless the table says this renderer skips it; and docs/rendering.md carries
// exactly the table the code holds.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include "fakes/fake_claude_script.hpp"
#include "library/develop_test_images.hpp"
#include "tarno/library/adjustment_ranges.hpp"

using namespace tarno::library;
using namespace tarno::library::testing;
using tarno::core::EditStack;

namespace {

// A value well inside the range and a quarter of the way from neutral to its far end.
double probeValue(const AdjustmentRange& r) {
  return r.maximum > r.neutral ? r.neutral + (r.maximum - r.neutral) / 4
                               : r.neutral + (r.minimum - r.neutral) / 4;
}

// Sets `kind` to a value away from neutral in its own payload case.
void setAwayFromNeutral(EditStack& s, const AdjustmentRange& r) {
  using tarno::core::PointColorTarget;
  switch (r.payload) {
    case PayloadCase::scalar:
      s.setScalar(r.kind, r.kind == AdjustmentKind::rotation ? 90 : probeValue(r), user(),
                  someTime());
      break;
    case PayloadCase::boolean:
      s.setBoolean(r.kind, true, user(), someTime());
      break;
    case PayloadCase::curve:
      s.setCurve(r.kind, {{0, 0}, {0.5, 0.7}, {1, 1}}, user(), someTime());
      break;
    case PayloadCase::rect:
      s.setRect(r.kind, {{0.1, 0.2}, {0.5, 0.5}}, user(), someTime());
      break;
    case PayloadCase::pointColors:
      s.setPointColors({PointColorTarget{.targetHue = 120,
                                         .targetSat = 0.4,
                                         .targetLum = 0.5,
                                         .hue = 40,
                                         .sat = 0.5,
                                         .lum = 0,
                                         .range = 0.3}},
                       user(), someTime());
      break;
    case PayloadCase::string:
      s.setString(r.kind, r.kind == AdjustmentKind::treatment ? "blackAndWhite" : "invert", user(),
                  someTime());
      break;
  }
}

std::string invertingCube() {
  std::string text = "LUT_3D_SIZE 2\n";
  for (int i = 0; i < 8; ++i) {
    text += std::to_string(1 - (i & 1)) + " " + std::to_string(1 - ((i >> 1) & 1)) + " " +
            std::to_string(1 - ((i >> 2) & 1)) + "\n";
  }
  return text;
}

std::string readFile(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

}  // namespace

TEST(AdjustmentRanges, EveryRenderedKindMovesPixelsAndSkippedOnesDoNot) {
  tarno::fakes::TempDir dir;
  writeFile(std::filesystem::path(dir.path()) / "invert.cube", invertingCube());
  const DevelopSettings settings{.lutDirectory = dir.path()};
  const PixelImage chart = colourChart();
  int rendered = 0;
  for (const AdjustmentRange& r : adjustmentRanges) {
    SCOPED_TRACE(std::string(tarno::core::rawValue(r.kind)));
    EditStack base;
    if (r.needs) {
      const AdjustmentRange& needed = adjustmentRange(*r.needs);
      if (needed.payload == PayloadCase::string) {
        setAwayFromNeutral(base, needed);
      } else {
        base.setScalar(*r.needs, r.needsValue, user(), someTime());
      }
      // The kind it shapes must itself show, or the comparison below proves nothing.
      EXPECT_GT(changedPixels(developed(chart, base, settings), chart), 0);
    }
    EditStack probe = base;
    setAwayFromNeutral(probe, r);
    const PixelImage before = developed(chart, base, settings);
    const PixelImage after = developed(chart, probe, settings);
    const int changed = changedPixels(before, after);
    if (r.rendered) {
      ++rendered;
      EXPECT_NE(changed, 0);
      // Neutral really is neutral.
      if (r.payload == PayloadCase::scalar) {
        EditStack atNeutral = base;
        atNeutral.setScalar(r.kind, r.neutral, user(), someTime());
        EXPECT_EQ(changedPixels(before, developed(chart, atNeutral, settings)), 0);
      }
    } else {
      EXPECT_EQ(changed, 0);
      EXPECT_TRUE(developsToOriginal(probe));
    }
  }
  EXPECT_EQ(rendered, 84);
}

TEST(AdjustmentRanges, NeutralValuesLieInsideTheirRanges) {
  for (const AdjustmentRange& r : adjustmentRanges) {
    if (r.payload != PayloadCase::scalar) continue;
    EXPECT_LE(r.minimum, r.neutral) << tarno::core::rawValue(r.kind);
    EXPECT_GE(r.maximum, r.neutral) << tarno::core::rawValue(r.kind);
    EXPECT_LT(r.minimum, r.maximum) << tarno::core::rawValue(r.kind);
    EXPECT_EQ(clampToRange(r.kind, 1e9), r.maximum);
    EXPECT_EQ(clampToRange(r.kind, -1e9), r.minimum);
  }
}

// TARNO_UPDATE_RENDERING_DOC=1 rewrites the table in docs/rendering.md from the code.
TEST(AdjustmentRanges, RenderingDocCarriesTheSameTable) {
  const std::filesystem::path doc = std::filesystem::path(TARNO_SOURCE_DIR) / "docs/rendering.md";
  const std::string begin = "<!-- kinds table: written from adjustment_ranges.hpp -->\n";
  const std::string end = "<!-- end of kinds table -->";
  std::string text = readFile(doc);
  const std::size_t from = text.find(begin);
  std::size_t to = text.find(end);
  ASSERT_NE(from, std::string::npos);
  ASSERT_NE(to, std::string::npos);
  const std::string table = renderingTableMarkdown();
  const char* update = std::getenv("TARNO_UPDATE_RENDERING_DOC");
  if (update != nullptr && std::string(update) == "1") {
    text.replace(from + begin.size(), to - from - begin.size(), table);
    std::ofstream(doc, std::ios::binary) << text;
    to = text.find(end);
  }
  EXPECT_EQ(text.substr(from + begin.size(), to - from - begin.size()), table)
      << "run the test with TARNO_UPDATE_RENDERING_DOC=1 to rewrite the table";
  // One row per kind, every kind named.
  EXPECT_EQ(std::count(table.begin(), table.end(), '\n'), 87);
  for (const AdjustmentRange& r : adjustmentRanges) {
    EXPECT_NE(table.find("| `" + std::string(tarno::core::rawValue(r.kind)) + "` |"),
              std::string::npos);
  }
  EXPECT_NE(table.find("Red: hues 320-30 deg, full at 0"), std::string::npos);
}
