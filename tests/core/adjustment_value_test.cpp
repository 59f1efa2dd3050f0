// The adjustment vocabulary: kind order and the groups that index into it, payload and origin
// coding, profiles stored as numbers, and the stored-format check.
#include "tarno/core/adjustment_value.hpp"

#include <gtest/gtest.h>

#include "tarno/core/adjustment_data_codec.hpp"
#include "tarno/core/color_profile.hpp"
#include "tarno/core/develop_source.hpp"

using namespace tarno::core;

TEST(AdjustmentKind, KeepsTheStoredOrderThatBandsAndRegionsIndexInto) {
  const std::pair<std::size_t, std::string_view> rows[] = {
      {0, "treatment"},  {3, "exposure"},    {17, "luminanceNR"}, {25, "rotation"},
      {26, "hslRedHue"}, {41, "hslBlueHue"}, {50, "cgShadowHue"}, {61, "cgGlobalLum"},
      {62, "cgBalance"}, {75, "crop"},       {82, "pointColor"},  {84, "lutIntensity"}};
  ASSERT_EQ(allCases<AdjustmentKind>.size(), 85u);
  for (const auto& [index, name] : rows) {
    EXPECT_EQ(rawValue(allCases<AdjustmentKind>[index]), name) << index;
  }
  EXPECT_EQ(hueKind(ColorMixerBand::blue), AdjustmentKind::hslBlueHue);
  EXPECT_EQ(luminanceKind(ColorMixerBand::magenta), AdjustmentKind::hslMagentaLum);
  EXPECT_EQ(saturationKind(ColorGradeRegion::midtones), AdjustmentKind::cgMidSat);
  EXPECT_EQ(luminanceKind(ColorGradeRegion::global), AdjustmentKind::cgGlobalLum);
  EXPECT_EQ(centerHueDegrees(ColorMixerBand::purple), 280);
  EXPECT_EQ(displayName(ColorMixerBand::aqua), "Aqua");
  EXPECT_EQ(displayName(ColorGradeRegion::highlights), "Highlights");

  using Amounts = std::map<AdjustmentKind, double>;
  const Amounts amounts{{AdjustmentKind::contrast, 2}, {AdjustmentKind::exposure, 1}};
  EXPECT_EQ(encodeToString(amounts), R"({"exposure":1,"contrast":2})");
  EXPECT_EQ(decodeFromString<Amounts>(R"({"contrast":2,"exposure":1,"contrast":3})"), amounts);
  EXPECT_THROW(decodeFromString<Amounts>(R"({"exposure":1,"glow":2})"), DecodingError);
}

TEST(AdjustmentPayload, IsOneCaseWithItsValueUnderUnderscoreZero) {
  const std::pair<AdjustmentPayload, std::string_view> rows[] = {
      {AdjustmentPayload::scalar(0.35), R"({"scalar":{"_0":0.35}})"},
      {AdjustmentPayload::boolean(true), R"({"boolean":{"_0":true}})"},
      {AdjustmentPayload::curve({{0, 0}, {0.5, 0.6}}), R"({"curve":{"_0":[[0,0],[0.5,0.6]]}})"},
      {AdjustmentPayload::rect({{0.1, 0.2}, {0.5, 0.4}}),
       R"({"rect":{"_0":[[0.1,0.2],[0.5,0.4]]}})"},
      {AdjustmentPayload::pointColors({{1, 2, 3, 4, 5, 6, 7}}),
       R"({"pointColors":{"_0":[{"targetHue":1,"targetSat":2,"targetLum":3,"hue":4,"sat":5,"lum":6,"range":7}]}})"},
      {AdjustmentPayload::string("Film.cube"), R"({"string":{"_0":"Film.cube"}})"},
  };
  for (const auto& [payload, json] : rows) {
    EXPECT_EQ(encodeToString(payload), json);
    EXPECT_EQ(decodeFromString<AdjustmentPayload>(json), payload) << json;
  }
  EXPECT_EQ(AdjustmentPayload::scalar(1).pointColors(), nullptr);
}

TEST(EditOrigin, DecodingNeverFailsAndChecksUserThenAIThenPreset) {
  const std::pair<std::string_view, EditOrigin> rows[] = {
      {R"({"user":{}})", EditOrigin::user()},
      {R"({"user":5})", EditOrigin::user()},
      {R"({"ai":{"agent":"a","sessionId":"s"},"user":null})", EditOrigin::user()},
      {R"({"ai":{"agent":"a","sessionId":"s"}})", EditOrigin::ai("a", "s")},
      {R"({"ai":{"agent":"x"}})", EditOrigin::unknown()},
      {R"({"ai":{"agent":"x"},"preset":{"id":"p"}})", EditOrigin::preset("p")},
      {R"({"preset":{"id":7}})", EditOrigin::unknown()},
      {R"({"unknown":{}})", EditOrigin::unknown()},
      {R"("user")", EditOrigin::unknown()},
      {R"([])", EditOrigin::unknown()},
  };
  for (const auto& [json, origin] : rows) {
    EXPECT_EQ(decodeFromString<EditOrigin>(json), origin) << json;
  }
  EXPECT_EQ(encodeToString(EditOrigin::ai("claude", "s1")),
            R"({"ai":{"agent":"claude","sessionId":"s1"}})");
  EXPECT_EQ(encodeToString(EditOrigin::unknown()), R"({"unknown":{}})");
}

TEST(PointColorTarget, IsAnIdentityWhenItShiftsNothing) {
  const PointColorTarget wide{.targetHue = 0.3, .range = 0.8};
  PointColorTarget shifted = wide;
  shifted.lum = -0.1;
  EXPECT_TRUE(wide.isIdentity());
  EXPECT_FALSE(shifted.isIdentity());
  EXPECT_NE(wide, shifted);
  PointColorTarget negativeZero = wide;
  negativeZero.hue = -0.0;
  EXPECT_EQ(negativeZero, wide);
  EXPECT_EQ(std::hash<PointColorTarget>{}(negativeZero), std::hash<PointColorTarget>{}(wide));
}

TEST(ColorProfile, IsStoredAsItsIntegerAndDevelopSourceToo) {
  EXPECT_EQ(encodeToString(std::vector{ColorProfile::mono, ColorProfile::standard}), "[5,0]");
  EXPECT_EQ(displayName(ColorProfile::mono), "Monochrome");
  EXPECT_EQ(look(ColorProfile::portrait).warmth, 0.06);
  EXPECT_TRUE(isMonochrome(ColorProfile::mono));
  EXPECT_FALSE(isIdentity(ColorProfile::neutral));
  EXPECT_EQ(decodeFromString<DevelopSource>("1"), DevelopSource::cameraJPEG);
  EXPECT_EQ(displayName(DevelopSource::cameraJPEG), "JPEG");
}

TEST(AdjustmentDataCodec, HandlesOurIdentifierUpToOurMajorVersion) {
  const std::string_view ours = "com.tarno.app.editstack";
  for (std::string_view version : {"1.1", "1.7", "1", "0.9", ".1.", "+1.0", "-3"})
    EXPECT_TRUE(AdjustmentDataCodec::canHandle(ours, version)) << version;
  for (std::string_view version : {"2.0", "v1", "1a.0", "", "..", "+-1"})
    EXPECT_FALSE(AdjustmentDataCodec::canHandle(ours, version)) << version;
  EXPECT_FALSE(AdjustmentDataCodec::canHandle("com.tarno.App.editstack", "1.1"));
  EXPECT_EQ(AdjustmentDataCodec::decode(R"({"version":"3"})"), std::nullopt);
  EXPECT_EQ(AdjustmentDataCodec::decode("{"), std::nullopt);
}
