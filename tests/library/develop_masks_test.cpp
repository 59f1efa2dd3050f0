// Local masks rasterised at the rendering's size: each shape's coverage measured by where an
// exposure inside it shows, refinements combined in order, and the masks that must cost
// nothing or be skipped.
#include <gtest/gtest.h>

#include "library/develop/brush_raster.hpp"
#include "library/develop_test_images.hpp"
#include "tarno/core/local_mask.hpp"

using namespace tarno::library;
using namespace tarno::library::testing;
using tarno::core::CompositeMode;
using tarno::core::EditStack;
using tarno::core::LocalMask;
using tarno::core::MaskComponent;
using tarno::core::Shape;
using tarno::core::Uuid;
using tarno::library::develop::CoverageRaster;
using tarno::library::develop::rasteriseBrush;

namespace {

const PixelImage& grey() {
  static const PixelImage img = generate(120, 80, [](int, int) {
    return std::array<double, 3>{110, 110, 110};
  });
  return img;
}

LocalMask brighten(Shape shape, std::vector<MaskComponent> refinements = {}, double stops = 1) {
  return LocalMask::make(Uuid::random(), "m", std::move(shape), {{AdjustmentKind::exposure, stops}},
                         true, std::move(refinements));
}

PixelImage withMasks(const PixelImage& in, std::vector<LocalMask> masks) {
  EditStack s;
  s.setMasks(std::move(masks));
  return developed(in, s);
}

bool brighter(const PixelImage& out, const PixelImage& in, int x, int y) {
  return pixel(out, x, y)[0] > pixel(in, x, y)[0] + 20;
}

bool unchanged(const PixelImage& out, const PixelImage& in, int x, int y) {
  return std::abs(pixel(out, x, y)[0] - pixel(in, x, y)[0]) <= 1;
}

Shape::Radial centreDisc(double r, bool inverted = false) {
  return {.center = {0.5, 0.5}, .radius = {r, r}, .feather = 0.2, .inverted = inverted};
}

}  // namespace

TEST(DevelopMasks, RadialChangesTheInsideAndNotTheFarOutside) {
  const PixelImage& in = grey();
  const PixelImage out = withMasks(in, {brighten(centreDisc(0.25))});
  EXPECT_TRUE(brighter(out, in, 60, 40));
  // Exposure +1 inside doubles linear light there.
  EXPECT_NEAR(srgbToLinear(pixel(out, 60, 40)[1]) / srgbToLinear(110), 2.0, 0.08);
  EXPECT_TRUE(unchanged(out, in, 2, 2));
  EXPECT_TRUE(unchanged(out, in, 117, 77));
  // The feather grades the rim: half way through it is part way up.
  const int rim = pixel(out, 60 + 27, 40)[0];
  EXPECT_GT(rim, 112);
  EXPECT_LT(rim, pixel(out, 60, 40)[0] - 5);

  const PixelImage inverted = withMasks(in, {brighten(centreDisc(0.25, true))});
  EXPECT_TRUE(unchanged(inverted, in, 60, 40));
  EXPECT_TRUE(brighter(inverted, in, 2, 2));
}

TEST(DevelopMasks, LinearGradientRunsFromFullAtStartToNoneAtEnd) {
  const PixelImage& in = grey();
  const PixelImage out =
      withMasks(in, {brighten(Shape::Linear{.start = {0.5, 0.1}, .end = {0.5, 0.6}})});
  EXPECT_TRUE(brighter(out, in, 10, 2));
  EXPECT_TRUE(unchanged(out, in, 10, 70));
  EXPECT_GT(pixel(out, 60, 10)[0], pixel(out, 60, 30)[0]);
  EXPECT_GT(pixel(out, 60, 30)[0], pixel(out, 60, 47)[0]);
  // A gradient with no length covers nothing.
  EXPECT_EQ(withMasks(in, {brighten(Shape::Linear{.start = {0.5, 0.5}, .end = {0.5, 0.5}})}).data,
            in.data);
}

TEST(DevelopMasks, RangeShapesSelectByToneAndByHue) {
  const PixelImage ramp = greyRamp(100, 4, 0, 255);
  const PixelImage lum = withMasks(
      ramp, {brighten(Shape::LuminanceRange{.lower = 0.4, .upper = 0.6, .feather = 0.05})});
  EXPECT_TRUE(brighter(lum, ramp, 50, 1));
  EXPECT_TRUE(unchanged(lum, ramp, 15, 1));
  EXPECT_TRUE(unchanged(lum, ramp, 85, 1));

  // Red on the left, blue on the right, grey in the middle.
  const PixelImage patches = generate(90, 10, [](int x, int) {
    if (x < 30) return std::array<double, 3>{150, 40, 40};
    if (x < 60) return std::array<double, 3>{100, 100, 100};
    return std::array<double, 3>{40, 40, 150};
  });
  const PixelImage blue = withMasks(
      patches, {brighten(Shape::ColorRange{.hue = 240, .range = 20, .feather = 10}, {}, 1)});
  EXPECT_TRUE(brighter(blue, patches, 75, 5) || pixel(blue, 75, 5)[2] > 170);
  EXPECT_TRUE(unchanged(blue, patches, 10, 5));
  EXPECT_TRUE(unchanged(blue, patches, 45, 5));
}

TEST(DevelopMasks, RefinementsAddSubtractAndIntersectInOrder) {
  const PixelImage& in = grey();
  // A disc minus a smaller disc: a ring.
  const PixelImage ring = withMasks(
      in, {brighten(centreDisc(0.4),
                    {MaskComponent{Uuid::random(), centreDisc(0.15), CompositeMode::subtract}})});
  EXPECT_TRUE(unchanged(ring, in, 60, 40));
  EXPECT_TRUE(brighter(ring, in, 60 + 30, 40));

  // The left half intersected with a disc: the disc's left part only.
  const Shape leftHalf = Shape::Linear{.start = {0.45, 0.5}, .end = {0.55, 0.5}};
  const PixelImage cut = withMasks(
      in, {brighten(centreDisc(0.4),
                    {MaskComponent{Uuid::random(), leftHalf, CompositeMode::intersect}})});
  EXPECT_TRUE(brighter(cut, in, 40, 40));
  EXPECT_TRUE(unchanged(cut, in, 85, 40));
  EXPECT_TRUE(unchanged(cut, in, 2, 2));

  // Adding a corner disc to the centre one covers both.
  const Shape corner = Shape::Radial{.center = {0.05, 0.05}, .radius = {0.1, 0.1}, .feather = 0.1};
  const PixelImage both = withMasks(
      in, {brighten(centreDisc(0.2), {MaskComponent{Uuid::random(), corner, CompositeMode::add}})});
  EXPECT_TRUE(brighter(both, in, 60, 40));
  EXPECT_TRUE(brighter(both, in, 4, 3));
  EXPECT_TRUE(unchanged(both, in, 117, 77));
}

TEST(DevelopMasks, BrushStrokesPaintAndEraseEvenWithAMillionPoints) {
  const PixelImage& in = grey();
  // A horizontal stroke along the middle, with its centre erased.
  tarno::core::BrushStroke paint{.points = {}, .radius = 0.08, .erase = false};
  const int n = 1'000'000;
  paint.points.reserve(n);
  for (int i = 0; i < n; ++i) {
    // A jittering path back and forth along the stroke: many points, few places.
    const double t = static_cast<double>(i % 1000) / 999;
    paint.points.push_back({0.1 + 0.8 * t, 0.5 + 0.01 * ((i * 37) % 7 - 3) / 3.0});
  }
  tarno::core::BrushStroke erase{.points = {{0.5, 0.5}}, .radius = 0.1, .erase = true};
  EditStack s;
  s.setMasks({brighten(Shape::Brush{.strokes = {paint, erase}, .feather = 0})});
  const PixelImage out = developed(in, s);
  EXPECT_TRUE(brighter(out, in, 24, 40));
  EXPECT_TRUE(brighter(out, in, 96, 40));
  EXPECT_TRUE(unchanged(out, in, 60, 40));  // erased
  EXPECT_TRUE(unchanged(out, in, 60, 5));   // never painted
}

TEST(DevelopMasks, BrushOfScatteredPointsIsDrawnSmallerWithinItsBudget) {
  tarno::core::BrushStroke scattered{.points = {}, .radius = 0.05, .erase = false};
  for (int i = 0; i < 200'000; ++i) {
    const long long k = i;
    scattered.points.push_back({((k * 7919) % 1000) / 1000.0, ((k * 104729) % 997) / 997.0});
  }
  const CoverageRaster full = [] {
    tarno::core::BrushStroke one{.points = {{0.5, 0.5}}, .radius = 0.05, .erase = false};
    return rasteriseBrush(Shape::Brush{.strokes = {one}, .feather = 0}, 4000, 3000);
  }();
  EXPECT_EQ(full.width, 4000);  // a small brush is drawn at full size
  const CoverageRaster r =
      rasteriseBrush(Shape::Brush{.strokes = {scattered}, .feather = 0}, 4000, 3000);
  EXPECT_LT(r.width, 4000);
  EXPECT_GE(r.width, 64);
  EXPECT_NEAR(static_cast<double>(r.width) / r.height, 4.0 / 3, 0.05);
  EXPECT_GT(*std::max_element(r.values.begin(), r.values.end()), 0.99f);
}

TEST(DevelopMasks, DisabledNoOpAndMatteMasksAreSkipped) {
  const PixelImage& in = grey();
  LocalMask disabled = brighten(centreDisc(0.4));
  disabled.isEnabled = false;
  LocalMask zero = brighten(centreDisc(0.4), {}, 0);
  LocalMask geometryOnly = LocalMask::make(Uuid::random(), "g", centreDisc(0.4),
                                           {{AdjustmentKind::straighten, 10}}, true);
  LocalMask subject = brighten(Shape::AISubject{.inverted = false});
  LocalMask refinedByPeople = brighten(
      centreDisc(0.4),
      {MaskComponent{Uuid::random(), Shape::AIPeople{.inverted = true}, CompositeMode::add}});
  for (const LocalMask& m : {disabled, zero, geometryOnly, subject, refinedByPeople}) {
    EditStack s;
    s.setMasks({m});
    EXPECT_TRUE(developsToOriginal(s)) << m.name;
    EXPECT_EQ(developed(in, s).data, in.data);
  }
  // A skipped mask does not stop the next one.
  const PixelImage out = withMasks(in, {subject, brighten(centreDisc(0.3))});
  EXPECT_TRUE(brighter(out, in, 60, 40));
}
