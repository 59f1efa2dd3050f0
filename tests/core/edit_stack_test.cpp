// Edit stacks: the stored form and its lenient reading, the version rule of every writer, the
// readers, presets and merging.
#include "tarno/core/edit_stack.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>

#include "core/simdjson_decoder.hpp"
#include "tarno/core/adjustment_data_codec.hpp"

using namespace tarno::core;
using namespace std::chrono_literals;
using K = AdjustmentKind;

namespace {
const Date t0 = std::chrono::sys_days{std::chrono::year{2025} / 3 / 14} + 10h;
const Uuid kA = *Uuid::parse("00000000-0000-4000-8000-00000000000A");
const Uuid kB = *Uuid::parse("00000000-0000-4000-8000-00000000000B");
const EditOrigin origin = EditOrigin::ai("claude", "s");
const Rect kWhole{{0, 0}, {1, 1}};

constexpr std::string_view kExposure =
    R"({"kind":"exposure","payload":{"scalar":{"_0":0.4}},"lastModifiedBy":{"user":{}},"lastModifiedAt":"2025-03-14T10:00:00Z"})";
constexpr std::string_view kMaskA =
    R"({"id":"00000000-0000-4000-8000-00000000000A","name":"m","shape":{"aiPeople":{"inverted":false}},"adjustments":[],"isEnabled":true})";

std::string withValues(std::string_view rest) {
  return R"({"values":{"exposure":)" + std::string(kExposure) + std::string(rest);
}

LocalMask mask(Uuid id, std::string name = "m") {
  return LocalMask::make(id, std::move(name), Shape::AIPeople{}, {}, true);
}

EditStack exposureStack() {
  EditStack s;
  s.setScalar(K::exposure, 0.4, EditOrigin::user(), t0);
  return s;
}
}  // namespace

TEST(EditStack, WritesValuesVersionAndOnlyANonEmptyMaskList) {
  EditStack s = exposureStack();
  s.version = 3;
  EXPECT_EQ(AdjustmentDataCodec::encode(s),
            R"({"values":{"exposure":)" + std::string(kExposure) + R"(},"version":3})");
  s.setMasks({mask(kA)});
  EXPECT_EQ(AdjustmentDataCodec::decode(AdjustmentDataCodec::encode(s)), s);

  EditStack empty;
  empty.maskList.emplace();
  EXPECT_EQ(AdjustmentDataCodec::encode(empty), R"({"values":{},"version":0})");
  const auto back = AdjustmentDataCodec::decode(AdjustmentDataCodec::encode(empty));
  EXPECT_NE(back, empty);
  EXPECT_TRUE(back->sameContent(empty));
}

// Both decoders must read damaged stacks alike: the fast one is what the codec uses.
TEST(EditStack, DropsWhatItCannotReadAndFailsOnlyOnItsOwnMembers) {
  const std::pair<std::string, std::optional<std::string>> rows[] = {
      {"{}", R"({"values":{},"version":0})"},
      {withValues(R"(,"glow":)" + std::string(kExposure) + R"(,"contrast":42},"version":null})"),
       withValues(R"(},"version":0})")},
      {withValues(R"(,"contrast":{"kind":"contrast","payload":{"scalar":{}}}},"version":2})"),
       withValues(R"(},"version":2})")},
      {R"({"values":{"contrast":)" + std::string(kExposure) + "}}",
       R"({"values":{"contrast":)" + std::string(kExposure) + R"(},"version":0})"},
      {R"({"masks":[]})", R"({"values":{},"version":0})"},
      {R"({"masks":"x"})", R"({"values":{},"version":0})"},
      {R"({"masks":[1,)" + std::string(kMaskA) + R"(,{"id":"A"}]})",
       R"({"values":{},"version":0,"masks":[)" + std::string(kMaskA) + "]}"},
      {R"({"version":"3"})", std::nullopt},
      {R"({"version":1.5})", std::nullopt},
      {R"({"values":[]})", std::nullopt},
      {"[]", std::nullopt},
  };
  auto outcome = [](auto decode) -> std::optional<std::string> {
    try {
      return encodeToString(decode());
    } catch (const DecodingError&) {
      return std::nullopt;
    }
  };
  for (const auto& [text, expected] : rows) {
    const std::string& json = text;  // clang 14 lambdas cannot capture structured bindings
    EXPECT_EQ(outcome([&] { return decodeFromString<EditStack>(json); }), expected) << json;
    EXPECT_EQ(outcome([&] { return simdjson_decoder::decode<EditStack>(json); }), expected) << json;
  }
}

// A stored stack keeps an adjustment whatever the year of its date, and writes it back as read.
TEST(EditStack, KeepsAdjustmentsDatedAtEitherEndOfTheCalendar) {
  for (std::string_view at : {"0001-01-01T00:00:00Z", "9999-12-31T23:59:59Z"}) {
    SCOPED_TRACE(at);
    std::string stored = withValues(R"(},"version":1})");
    stored.replace(stored.find("2025-03-14T10:00:00Z"), at.size(), at);
    const EditStack fast = simdjson_decoder::decode<EditStack>(stored);
    const std::optional<EditStack> codec = AdjustmentDataCodec::decode(stored);
    ASSERT_TRUE(codec);
    EXPECT_EQ(decodeFromString<EditStack>(stored), fast);
    EXPECT_EQ(*codec, fast);
    ASSERT_TRUE(fast.values.contains(K::exposure));
    EXPECT_EQ(AdjustmentDataCodec::encode(fast), stored);
  }
  // Both ends as dates in code, seconds from 1970.
  EditStack s;
  s.setScalar(K::exposure, 0.4, EditOrigin::user(), Date{std::chrono::seconds{-62135596800}});
  s.setScalar(K::contrast, 0.1, EditOrigin::user(), Date{std::chrono::seconds{253402300799}});
  const std::string text = AdjustmentDataCodec::encode(s);
  EXPECT_NE(text.find(R"("lastModifiedAt":"0001-01-01T00:00:00Z")"), std::string::npos) << text;
  EXPECT_NE(text.find(R"("lastModifiedAt":"9999-12-31T23:59:59Z")"), std::string::npos) << text;
  EXPECT_EQ(AdjustmentDataCodec::decode(text), s);
}

TEST(EditStack, EveryWriterCountsOnlyRealChanges) {
  // Each writer on a stack at version 1 holding the user's exposure 0.4, and the version after.
  const std::pair<void (*)(EditStack&), std::int64_t> rows[] = {
      {[](EditStack& s) { s.setScalar(K::exposure, 0.4, EditOrigin::user(), t0); }, 2},
      {[](EditStack& s) { s.setBoolean(K::exposure, true, origin, t0); }, 2},
      {[](EditStack& s) { s.setCurve(K::toneCurve, std::vector<Point>(1), origin, t0); }, 2},
      {[](EditStack& s) { s.setRect(K::crop, kWhole, origin, t0); }, 2},
      {[](EditStack& s) { s.setString(K::lut, "a.cube", origin, t0); }, 2},
      {[](EditStack& s) { s.setPointColors({{.hue = 1}}, origin, t0); }, 2},
      {[](EditStack& s) { s.setPointColors({}, origin, t0); }, 1},
      {[](EditStack& s) { s.clear(K::exposure); }, 2},
      {[](EditStack& s) { s.clear(K::contrast); }, 1},
      {[](EditStack& s) { s.setColorProfile(ColorProfile::standard); }, 1},
      {[](EditStack& s) { s.setColorProfile(ColorProfile::vivid); }, 2},
      {[](EditStack& s) { s.setDevelopSource(DevelopSource::cameraJPEG); }, 2},
      {[](EditStack& s) { s.addMask(mask(kA)); }, 2},
      {[](EditStack& s) { s.updateMask(mask(kA)); }, 1},
      {[](EditStack& s) { s.removeMask(kA); }, 2},
      {[](EditStack& s) { s.setMasks({mask(kA)}); }, 1},
      {[](EditStack& s) { s.applyPreset(EditStack{}); }, 2},
  };
  for (const auto& row : rows) {
    EditStack s = exposureStack();
    row.first(s);
    EXPECT_EQ(s.version, row.second) << &row - rows;
    for (const auto& [kind, value] : s.values)
      EXPECT_EQ(value.kind, kind);
  }
}

TEST(EditStack, MaskWritersKeepTheFirstMatchAndStoreNoEmptyList) {
  EditStack s;
  s.addMask(mask(kA, "first"));
  s.addMask(mask(kB));
  s.addMask(mask(kA, "second"));
  s.updateMask(mask(kA, "renamed"));
  EXPECT_EQ(s.masks()[0].name, "renamed");
  EXPECT_EQ(s.masks()[2].name, "second");
  s.removeMask(kA);
  EXPECT_EQ(s.masks().size(), 1u);
  s.removeMask(kB);
  EXPECT_FALSE(s.maskList.has_value());
  EXPECT_EQ(s.version, 6);
}

TEST(EditStack, ReadersAnswerOnlyForTheirOwnVariant) {
  EditStack s;
  s.setScalar(K::colorProfile, 2.6, EditOrigin::user(), t0);
  s.setBoolean(K::developSource, true, EditOrigin::user(), t0);
  s.setString(K::exposure, "x", EditOrigin::user(), t0);
  EXPECT_EQ(s.colorProfile(), ColorProfile::portrait);
  EXPECT_EQ(s.developSource(), DevelopSource::raw);
  EXPECT_EQ(s.scalar(K::exposure), std::nullopt);
  EXPECT_EQ(s.scalar(K::exposure, 7), 7);
  EXPECT_EQ(s.string(K::exposure), "x");
  EXPECT_TRUE(s.pointColors().empty());
  for (double stored : {7.0, -0.6, 1e300, std::nan("")}) {
    s.setScalar(K::colorProfile, stored, EditOrigin::user(), t0);
    EXPECT_EQ(s.colorProfile(), ColorProfile::standard) << stored;
  }
  s.setColorProfile(ColorProfile::mono);
  EXPECT_EQ(s.scalar(K::colorProfile), 5);
  EXPECT_EQ(s.values.at(K::colorProfile).lastModifiedBy, EditOrigin::user());
}

TEST(EditStack, HasGeometryOnlyForNonNeutralValuesOfTheirOwnVariant) {
  const std::pair<void (*)(EditStack&), bool> rows[] = {
      {[](EditStack& s) { s.setRect(K::crop, kWhole, {}, t0); }, false},
      {[](EditStack& s) {
         s.setRect(K::crop, Rect{{0, 0}, {1, 0.9}}, {}, t0);
       },
       true},
      {[](EditStack& s) { s.setBoolean(K::flipVertical, false, {}, t0); }, false},
      {[](EditStack& s) { s.setBoolean(K::flipHorizontal, true, {}, t0); }, true},
      {[](EditStack& s) { s.setScalar(K::lensDistortion, 0.1, {}, t0); }, true},
      {[](EditStack& s) { s.setScalar(K::straighten, 0, {}, t0); }, false},
      {[](EditStack& s) { s.setBoolean(K::rotation, true, {}, t0); }, false},
      {[](EditStack& s) { s.setScalar(K::exposure, 1, {}, t0); }, false},
  };
  for (const auto& row : rows) {
    EditStack s;
    row.first(s);
    EXPECT_EQ(s.hasGeometry(), row.second) << &row - rows;
  }
}

TEST(EditStack, PresetsCarryEverythingButGeometry) {
  EditStack photo = exposureStack();
  photo.setScalar(K::straighten, 2, EditOrigin::user(), t0);
  photo.addMask(mask(kA));
  EditStack look;
  look.setScalar(K::clarity, 0.3, EditOrigin::preset("p"), t0 - 1h);
  look.setScalar(K::rotation, 90, EditOrigin::preset("p"), t0);
  look.addMask(mask(kB));

  const EditStack subset = look.presetSubset();
  EXPECT_EQ(subset.version, 0);
  EXPECT_EQ(subset.maskList, look.maskList);
  EXPECT_FALSE(subset.values.contains(K::rotation));

  photo.applyPreset(look);
  EXPECT_EQ(photo.version, 4);
  EXPECT_EQ(photo.values.size(), 2u);
  EXPECT_EQ(photo.values.at(K::clarity), look.values.at(K::clarity));
  EXPECT_EQ(photo.scalar(K::straighten), 2);
  EXPECT_EQ(photo.masks(), std::vector{mask(kA)});
}

TEST(EditStack, MergeTakesTheLaterValueMineOnTiesAndUnitesMasksById) {
  EditStack mine;
  mine.setScalar(K::exposure, 1, EditOrigin::user(), t0);
  mine.setScalar(K::contrast, 1, EditOrigin::user(), t0);
  mine.setScalar(K::clarity, 1, EditOrigin::user(), t0 + 1h);
  mine.addMask(mask(kA, "mine"));
  EditStack theirs;
  theirs.setScalar(K::exposure, 2, EditOrigin::ai("a", "s"), t0 + 5min);
  theirs.setScalar(K::contrast, 2, EditOrigin::ai("a", "s"), t0);
  theirs.setScalar(K::clarity, 2, EditOrigin::ai("a", "s"), t0);
  theirs.setRect(K::crop, kWhole, EditOrigin::ai("a", "s"), t0 - 24h);
  theirs.setMasks({mask(kB, "1"), mask(kA, "theirs"), mask(kB, "2")});
  theirs.version = 9;

  const EditStack merged = mine.merged(theirs);
  EXPECT_EQ(merged.scalar(K::exposure), 2);
  EXPECT_EQ(merged.scalar(K::contrast), 1);
  EXPECT_EQ(merged.scalar(K::clarity), 1);
  EXPECT_EQ(merged.values.at(K::crop), theirs.values.at(K::crop));
  EXPECT_EQ(merged.masks(), (std::vector{mask(kA, "mine"), mask(kB, "1"), mask(kB, "2")}));
  EXPECT_EQ(merged.version, 10);

  const EditStack self = mine.merged(mine);
  EXPECT_TRUE(self.sameContent(mine));
  EXPECT_EQ(self.version, mine.version + 1);
  EditStack four, nine;
  four.version = 4;
  nine.version = 9;
  EXPECT_EQ(four.merged(nine), (EditStack{.version = 10}));
}

TEST(EditStack, ReadsHugeStacksAndRefusesDeepGarbageWithoutCrashing) {
  std::string many = R"({"masks":[)";
  for (int i = 0; i < 10000; ++i)
    many += std::string(i == 0 ? "" : ",") + std::string(kMaskA);
  many += "]}";
  EXPECT_EQ(AdjustmentDataCodec::decode(many)->masks().size(), 10000u);

  const std::string deep = R"({"values":{"exposure":)" + std::string(100000, '[') + "}}";
  EXPECT_EQ(AdjustmentDataCodec::decode(deep), std::nullopt);
  EXPECT_THROW(decodeFromString<EditStack>(deep), DecodingError);
}
