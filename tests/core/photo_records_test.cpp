// Photo summaries and infos: their JSON, their derived values and display strings, and pixel
// sampling.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "tarno/core/photo_info.hpp"
#include "tarno/core/photo_summary.hpp"
#include "tarno/core/pixel_sample.hpp"

namespace tarno::core {
namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const std::string kMinimalSummary =
    R"({"id":"A1","pixelWidth":4032,"pixelHeight":3024,"isFavorite":false,"isHidden":true,)"
    R"("durationSeconds":0,"playbackStyle":3,"sourceType":2,"representsBurst":false,)"
    R"("canEditContent":true,"canEditProperties":true,"canDelete":false,"hasAdjustments":false})";

TEST(PhotoSummary, CodesStylesAsIntegersAndLeavesAbsentMembersOut) {
  PhotoSummary s = decodeFromString<PhotoSummary>(kMinimalSummary);
  EXPECT_EQ(s.playbackStyle, PhotoPlaybackStyle::livePhoto);
  EXPECT_EQ(s.sourceType, PhotoSourceType::cloudShared);
  EXPECT_EQ(encodeToString(s), kMinimalSummary);
  EXPECT_EQ(s.coordinate(), std::nullopt);

  s.latitude = 38.7;
  EXPECT_EQ(s.coordinate(), std::nullopt);
  s.longitude = -9.1;
  EXPECT_EQ(s.coordinate(), (Coordinate{38.7, -9.1}));
  PhotoSummary expected = s;
  expected.formatLabel = "HEIC";
  expected.isFavorite = true;
  expected.isHidden = false;
  expected.cloudIdentifier = "C1";
  EXPECT_EQ(
      s.withFormatLabel("HEIC").withIsFavorite(true).withIsHidden(false).withCloudIdentifier("C1"),
      expected);
}

TEST(PhotoSummary, DurationDisplayRoundsToWholeSeconds) {
  const std::pair<double, std::optional<std::string>> rows[] = {
      {75.4, "1:15"}, {59.6, "1:00"}, {3600, "60:00"}, {0.4, "0:00"},       {0.5, "0:01"},
      {0, {}},        {-3, {}},       {kNaN, {}},      {kInf, std::nullopt}};
  for (const auto& [seconds, display] : rows) {
    EXPECT_EQ(PhotoSummary{.durationSeconds = seconds}.durationDisplay(), display) << seconds;
  }
}

TEST(PhotoInfo, DisplayStringsAreExact) {
  // The exposure line holds every display of focal length, shutter and aperture that is present.
  const struct {
    PhotoInfo info;
    std::string camera;
    std::string line;
  } rows[] = {
      {{.cameraMake = "Fuji",
        .cameraModel = "X-T5",
        .iso = 200,
        .shutterSeconds = 0.004,
        .aperture = 2.8,
        .focalLengthMM = 35},
       "Fuji X-T5",
       "35 mm  \u00B7  1/250 s  \u00B7  \u0192/2.8  \u00B7  ISO 200"},
      {{.cameraModel = "iPhone", .shutterSeconds = 1, .aperture = 4.0, .focalLengthMM = 4.25},
       "iPhone",
       "4.2 mm  \u00B7  1.0 s  \u00B7  \u0192/4"},
      {{.cameraMake = "Leica", .shutterSeconds = 0.5, .aperture = 0}, "Leica", "1/2 s"},
      {{.iso = 100, .shutterSeconds = 2, .aperture = -1}, "", "2.0 s  \u00B7  ISO 100"},
      {{.shutterSeconds = 0, .focalLengthMM = 0}, "", "0 mm"},
      {{.shutterSeconds = 1e-300, .aperture = kInf, .focalLengthMM = kNaN},
       "",
       "nan mm  \u00B7  \u0192/inf"},
      {{}, "", ""}};
  for (const auto& row : rows) {
    EXPECT_EQ(row.info.cameraDisplayName(), row.camera);
    EXPECT_EQ(row.info.exposureLine(), row.line);
  }
  EXPECT_EQ((PhotoInfo{.pixelWidth = 6000, .pixelHeight = 4000}).dimensionsDisplay(),
            "6000 \u00D7 4000");
  const std::string json = R"({"iso":64,"pixelWidth":1,"pixelHeight":2})";
  EXPECT_EQ(encodeToString(decodeFromString<PhotoInfo>(json)), json);
}

TEST(PixelSample, ReadsTheNearestPixelAsAPremultipliedContextStoresIt) {
  // 3 × 2: top row red, green, blue; bottom row white, half-transparent white, clear.
  const RGBAImage image{3, 2, {255, 0,   0,   255, 0,   255, 0,   255, 0, 0, 255, 255,
                               255, 255, 255, 255, 255, 255, 255, 128, 9, 9, 9,   0}};
  const double half = 128.0 / 255;
  const struct {
    double u, v;
    std::optional<PixelSample::RGB> rgb;
  } rows[] = {{0, 0, PixelSample::RGB{1, 0, 0}},
              {0.34, 0, PixelSample::RGB{0, 1, 0}},
              {1.0, 0, PixelSample::RGB{0, 0, 1}},
              {-5, 0.99, PixelSample::RGB{1, 1, 1}},
              {0.5, 0.5, PixelSample::RGB{half, half, half}},
              {9, 9, PixelSample::RGB{0, 0, 0}},
              {kNaN, kInf, PixelSample::RGB{1, 1, 1}}};
  for (const auto& row : rows) {
    EXPECT_EQ(PixelSample::rgb(image, row.u, row.v), row.rgb) << row.u << ", " << row.v;
  }
  EXPECT_EQ(PixelSample::rgb(RGBAImage{}, 0, 0), std::nullopt);
  EXPECT_EQ(PixelSample::rgb(RGBAImage{2, 2, std::vector<std::uint8_t>(15)}, 1, 1), std::nullopt);
}

TEST(PixelSample, ConvertsToStandardHSL) {
  const struct {
    double r, g, b, h, s, l;
  } rows[] = {{0, 0, 1, 2.0 / 3, 1, 0.5},
              {1, 0, 0.5, 11.0 / 12, 1, 0.5},
              {0.2, 0.4, 0.2, 1.0 / 3, 1.0 / 3, 0.3},
              {1, 0.8, 0.8, 0, 1, 0.9},
              {0.5, 0.5, 0.5, 0, 0, 0.5}};
  for (const auto& row : rows) {
    const PixelSample::HSL hsl = PixelSample::rgbToHSL(row.r, row.g, row.b);
    EXPECT_NEAR(hsl.h, row.h, 1e-12) << &row - rows;
    EXPECT_NEAR(hsl.s, row.s, 1e-12) << &row - rows;
    EXPECT_NEAR(hsl.l, row.l, 1e-12) << &row - rows;
  }
}

}  // namespace
}  // namespace tarno::core
