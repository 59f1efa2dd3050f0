// The develop pipeline measured on generated images: exposure in stops of linear light,
// saturation, curves, crop and the other geometry, LUT files, clamping of absurd values, and the
// file entry points.
#include "tarno/library/develop_pipeline.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "fakes/fake_claude_script.hpp"
#include "library/develop_test_images.hpp"

using namespace tarno::library;
using namespace tarno::library::testing;
using tarno::core::EditStack;
using tarno::core::Point;
using tarno::core::Rect;

TEST(DevelopPipeline, NeutralStackGivesTheOriginalBack) {
  const PixelImage in = colourChart();
  EXPECT_TRUE(developsToOriginal(EditStack{}));
  // A value at its neutral setting is no edit either.
  const EditStack neutral =
      stackWith({{AdjustmentKind::exposure, 0}, {AdjustmentKind::wbRedGain, 1}});
  EXPECT_TRUE(developsToOriginal(neutral));
  EXPECT_LE(changedPixels(developed(in, neutral), in, 1), 0);
  EXPECT_FALSE(developsToOriginal(stackWith({{AdjustmentKind::exposure, 0.5}})));
}

TEST(DevelopPipeline, OneStopOfExposureDoublesLinearLight) {
  const PixelImage in = greyRamp(64, 4, 30, 180);
  const PixelImage up = developed(in, stackWith({{AdjustmentKind::exposure, 1}}));
  const PixelImage down = developed(in, stackWith({{AdjustmentKind::exposure, -1}}));
  for (int x = 0; x < in.width; ++x) {
    const double before = srgbToLinear(pixel(in, x, 2)[0]);
    EXPECT_NEAR(srgbToLinear(pixel(up, x, 2)[0]) / before, 2.0, 0.06) << "x " << x;
    EXPECT_NEAR(srgbToLinear(pixel(down, x, 2)[0]) / before, 0.5, 0.03) << "x " << x;
  }
}

TEST(DevelopPipeline, AbsurdValuesAreClampedIntoTheirRange) {
  const PixelImage in = colourChart(48, 32);
  EXPECT_EQ(developed(in, stackWith({{AdjustmentKind::exposure, 100}})).data,
            developed(in, stackWith({{AdjustmentKind::exposure, 5}})).data);
  EXPECT_EQ(developed(in, stackWith({{AdjustmentKind::saturation, -40}})).data,
            developed(in, stackWith({{AdjustmentKind::saturation, -1}})).data);
  // Not a number reads as neutral.
  EXPECT_LE(changedPixels(developed(in, stackWith({{AdjustmentKind::contrast, std::nan("")}})), in),
            0);
}

TEST(DevelopPipeline, SaturationMinusOneLeavesEqualChannels) {
  const PixelImage out = developed(colourChart(), stackWith({{AdjustmentKind::saturation, -1}}));
  for (int y = 0; y < out.height; y += 3) {
    for (int x = 0; x < out.width; ++x) {
      const std::uint8_t* p = pixel(out, x, y);
      ASSERT_LE(std::abs(p[0] - p[1]), 1) << x << "," << y;
      ASSERT_LE(std::abs(p[1] - p[2]), 1) << x << "," << y;
    }
  }
}

TEST(DevelopPipeline, CurvePointsAreSortedAndClampedBeforeUse) {
  const PixelImage in = greyRamp(128, 2);
  EditStack messy;
  messy.setCurve(AdjustmentKind::toneCurve, {{1.5, 1}, {0.5, 0.8}, {-1, 0}}, user(), someTime());
  EditStack tidy;
  tidy.setCurve(AdjustmentKind::toneCurve, {{0, 0}, {0.5, 0.8}, {1, 1}}, user(), someTime());
  const PixelImage a = developed(in, messy);
  EXPECT_EQ(a.data, developed(in, tidy).data);
  // The curve lifts the middle: 0.5 in gives 0.8 out.
  EXPECT_NEAR(pixel(a, 64, 0)[0] / 255.0, 0.8, 0.02);
  // One point is no curve.
  EditStack single;
  single.setCurve(AdjustmentKind::toneCurve, {{0.5, 0.9}}, user(), someTime());
  EXPECT_LE(changedPixels(developed(in, single), in), 0);
}

TEST(DevelopPipeline, CropGivesTheExactRegionAndNeverLessThanAPixel) {
  const PixelImage in = colourChart(200, 100);
  EditStack s;
  s.setRect(AdjustmentKind::crop, Rect{{0.25, 0.1}, {0.5, 0.3}}, user(), someTime());
  const PixelImage out = developed(in, s);
  ASSERT_EQ(out.width, 100);
  ASSERT_EQ(out.height, 30);
  for (int c = 0; c < 3; ++c)
    EXPECT_EQ(pixel(out, 7, 5)[c], pixel(in, 57, 15)[c]);

  s.setRect(AdjustmentKind::crop, Rect{{0.5, 0.5}, {0, -3}}, user(), someTime());
  const PixelImage thin = developed(in, s);
  EXPECT_EQ(thin.width, 1);
  EXPECT_EQ(thin.height, 1);
}

TEST(DevelopPipeline, FlipsAndQuarterTurnsMovePixelsExactly) {
  const PixelImage in = colourChart(40, 30);
  EditStack h;
  h.setBoolean(AdjustmentKind::flipHorizontal, true, user(), someTime());
  EditStack v;
  v.setBoolean(AdjustmentKind::flipVertical, true, user(), someTime());
  const PixelImage fh = developed(in, h);
  const PixelImage fv = developed(in, v);
  const PixelImage turned = developed(in, stackWith({{AdjustmentKind::rotation, 95}}));
  ASSERT_EQ(turned.width, 30);
  ASSERT_EQ(turned.height, 40);
  for (int y = 0; y < in.height; ++y) {
    for (int x = 0; x < in.width; ++x) {
      for (int c = 0; c < 3; ++c) {
        ASSERT_EQ(pixel(fh, in.width - 1 - x, y)[c], pixel(in, x, y)[c]);
        ASSERT_EQ(pixel(fv, x, in.height - 1 - y)[c], pixel(in, x, y)[c]);
        // A clockwise quarter turn: the left column becomes the top row.
        ASSERT_EQ(pixel(turned, in.height - 1 - y, x)[c], pixel(in, x, y)[c]);
      }
    }
  }
}

TEST(DevelopPipeline, StraightenFillsTheFrameWithNoEmptyCorner) {
  // Nothing in the image is darker than 90, so any fill from outside it would show.
  const PixelImage in = generate(160, 90, [](int x, int y) {
    return std::array<double, 3>{90.0 + x, 90.0 + y, 150};
  });
  for (const double degrees : {-30.0, 3.0, 12.5, 45.0}) {
    const PixelImage out = developed(in, stackWith({{AdjustmentKind::straighten, degrees}}));
    ASSERT_EQ(out.width, in.width);
    ASSERT_EQ(out.height, in.height);
    for (const auto& [x, y] : {std::pair{0, 0}, {159, 0}, {0, 89}, {159, 89}}) {
      EXPECT_GE(pixel(out, x, y)[2], 145) << degrees << " deg at " << x << "," << y;
      EXPECT_GE(pixel(out, x, y)[0], 85) << degrees << " deg at " << x << "," << y;
    }
  }
  // The turn is real: the centre keeps its colour while an off-centre pixel moves.
  const PixelImage out = developed(in, stackWith({{AdjustmentKind::straighten, 10}}));
  EXPECT_NEAR(pixel(out, 80, 45)[0], pixel(in, 80, 45)[0], 3);
  EXPECT_GT(changedPixels(out, in, 3), in.width * in.height / 2);
}

namespace {

// A cube of n entries per axis whose output is a linear function of its input, so that
// trilinear interpolation reproduces the function exactly between grid points.
std::string linearCube(int n) {
  std::string text = "TITLE \"test\"\n# comment\nLUT_3D_SIZE " + std::to_string(n) + "\n";
  for (int b = 0; b < n; ++b) {
    for (int g = 0; g < n; ++g) {
      for (int r = 0; r < n; ++r) {
        const double rv = static_cast<double>(r) / (n - 1);
        const double gv = static_cast<double>(g) / (n - 1);
        const double bv = static_cast<double>(b) / (n - 1);
        text += std::to_string(1 - rv) + " " + std::to_string(0.25 + 0.5 * gv) + " " +
                std::to_string(bv) + "\n";
      }
    }
  }
  return text;
}

}  // namespace

TEST(DevelopPipeline, GreyRampThroughACubeFileMatchesTheTable) {
  tarno::fakes::TempDir dir;
  writeFile(std::filesystem::path(dir.path()) / "look.cube", linearCube(5));
  const DevelopSettings settings{.lutDirectory = dir.path()};
  const PixelImage in = greyRamp(256, 2);
  EditStack s;
  s.setString(AdjustmentKind::lut, "look", user(), someTime());
  const PixelImage out = developed(in, s, settings);
  for (int x = 0; x < in.width; ++x) {
    const double v = pixel(in, x, 0)[0] / 255.0;
    EXPECT_NEAR(pixel(out, x, 1)[0] / 255.0, 1 - v, 1.5 / 255) << x;
    EXPECT_NEAR(pixel(out, x, 1)[1] / 255.0, 0.25 + 0.5 * v, 1.5 / 255) << x;
    EXPECT_NEAR(pixel(out, x, 1)[2] / 255.0, v, 1.5 / 255) << x;
  }
  // Half intensity lands half way.
  s.setScalar(AdjustmentKind::lutIntensity, 0.5, user(), someTime());
  const PixelImage half = developed(in, s, settings);
  EXPECT_NEAR(pixel(half, 50, 0)[0] / 255.0,
              0.5 * (pixel(in, 50, 0)[0] / 255.0) + 0.5 * (1 - pixel(in, 50, 0)[0] / 255.0),
              2.0 / 255);
}

TEST(DevelopPipeline, UnusableLutFilesAreSkipped) {
  tarno::fakes::TempDir dir;
  const std::filesystem::path folder(dir.path());
  const std::string good = linearCube(3);
  writeFile(folder / "truncated.cube", good.substr(0, good.size() / 2));
  writeFile(folder / "wrongsize.cube", "LUT_3D_SIZE 4\n" + good.substr(good.find('\n', 20) + 1));
  writeFile(folder / "oned.cube", "LUT_1D_SIZE 2\n0 0 0\n1 1 1\n");
  writeFile(folder / "garbage.cube", std::string("\x89PNG\r\n\x1a\n", 8));
  writeFile(folder / "huge.cube", "LUT_3D_SIZE 100000\n0 0 0\n");
  writeFile(folder.parent_path() / "outside.cube", good);
  const DevelopSettings settings{.lutDirectory = folder};
  const PixelImage in = colourChart(32, 16);
  for (const char* id :
       {"missing", "truncated", "wrongsize", "oned", "garbage", "huge", "../outside", ""}) {
    EditStack s;
    s.setString(AdjustmentKind::lut, id, user(), someTime());
    EXPECT_LE(changedPixels(developed(in, s, settings), in), 0) << id;
  }
  std::filesystem::remove(folder.parent_path() / "outside.cube");
}

TEST(DevelopFiles, PreviewShrinksAndExportWritesBesideNeverOverTheOriginal) {
  tarno::fakes::TempDir dir;
  const std::filesystem::path folder(dir.path());
  const std::filesystem::path original = folder / "photo.ppm";
  const std::string bytes = ppm(colourChart(300, 200));
  writeFile(original, bytes);
  const EditStack stack = stackWith({{AdjustmentKind::exposure, 0.5}});
  RenderError error;

  const std::optional<Rendering> preview = developPreview(original, stack, 120, {}, &error);
  ASSERT_TRUE(preview) << error.message;
  EXPECT_EQ(preview->width, 120);
  EXPECT_EQ(preview->height, 80);
  EXPECT_EQ(preview->bytes.substr(1, 3), "PNG");

  const std::optional<Rendering> exported = developExport(original, stack, "JPG", std::nullopt, 0.8,
                                                          folder / "photo-edited.jpg", {}, &error);
  ASSERT_TRUE(exported) << error.message;
  EXPECT_EQ(exported->width, 300);
  EXPECT_GT(std::filesystem::file_size(folder / "photo-edited.jpg"), 100u);

  EXPECT_FALSE(developExport(original, stack, "jpeg", {}, {}, original, {}, &error));
  EXPECT_FALSE(developExport(original, stack, "webm", {}, {}, folder / "x.webm", {}, &error));
  EXPECT_FALSE(error.message.empty());
  EXPECT_FALSE(developPreview(folder / "gone.ppm", stack, 100, {}, &error));
  writeFile(folder / "empty.jpg", "");
  EXPECT_FALSE(developPreview(folder / "empty.jpg", stack, 100, {}, &error));
  // The original is as it was, and no temporary file is left behind.
  std::ifstream in(original, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), bytes);
  int entries = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(folder))
    ++entries;
  EXPECT_EQ(entries, 3);
}
