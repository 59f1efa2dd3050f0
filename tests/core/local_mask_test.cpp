// Local masks: the flat amount array, single-key shapes, and what a mask asks of the app.
#include "tarno/core/local_mask.hpp"

#include <gtest/gtest.h>

using namespace tarno::core;

namespace {
const Uuid kMask = *Uuid::parse("00000000-0000-4000-8000-00000000000A");
const Uuid kPart = *Uuid::parse("00000000-0000-4000-8000-00000000000B");

std::string maskJSON(std::string_view adjustments,
                     std::string_view shape = R"({"aiSubject":{"inverted":false}})") {
  return R"({"id":"00000000-0000-4000-8000-00000000000A","name":"Sky","shape":)" +
         std::string(shape) + R"(,"adjustments":)" + std::string(adjustments) +
         R"(,"isEnabled":true})";
}
}  // namespace

TEST(LocalMask, WritesAmountsAsOneFlatArrayAndRejectsTheObjectForm) {
  const LocalMask m =
      LocalMask::make(kMask, "Sky", Shape::AISubject{},
                      {{AdjustmentKind::exposure, 0.5}, {AdjustmentKind::contrast, -0.2}}, true);
  const std::string json = maskJSON(R"(["exposure",0.5,"contrast",-0.2])");
  EXPECT_EQ(encodeToString(m), json);
  EXPECT_EQ(decodeFromString<LocalMask>(json), m);
  EXPECT_FALSE(decodeFromString<LocalMask>(json).refinementList.has_value());

  for (std::string_view bad :
       {R"({"exposure":0.5})", R"(["exposure"])", R"(["glow",1])", R"([0.5,"exposure"])"}) {
    EXPECT_THROW(decodeFromString<LocalMask>(maskJSON(bad)), DecodingError) << bad;
  }
}

TEST(LocalMask, ShapesAreOneKeyObjectsOfNamedFields) {
  const std::pair<Shape, std::string_view> rows[] = {
      {Shape::Linear{{0, 0}, {1, 0.5}}, R"({"linear":{"start":[0,0],"end":[1,0.5]}})"},
      {Shape::Radial{{0.5, 0.5}, {0.2, 0.1}, 0.3, true},
       R"({"radial":{"center":[0.5,0.5],"radius":[0.2,0.1],"feather":0.3,"inverted":true}})"},
      {Shape::Brush{{BrushStroke{{{1, 2}}, 0.1, true}}, 0.5},
       R"({"brush":{"strokes":[{"points":[[1,2]],"radius":0.1,"erase":true}],"feather":0.5}})"},
      {Shape::AIPeople{true}, R"({"aiPeople":{"inverted":true}})"},
  };
  for (const auto& [shape, json] : rows) {
    EXPECT_EQ(encodeToString(shape), json);
    EXPECT_EQ(decodeFromString<Shape>(json), shape) << json;
  }
  EXPECT_THROW(decodeFromString<Shape>(R"({"colorRange":{"hue":1,"range":2}})"), DecodingError);
}

TEST(LocalMask, IsANoOpWhenDisabledOrAllZero) {
  const std::tuple<bool, PairArrayMap<AdjustmentKind, double>, bool> rows[] = {
      {true, {}, true},
      {true, {{AdjustmentKind::exposure, 0}}, true},
      {true, {{AdjustmentKind::exposure, 0}, {AdjustmentKind::clarity, 0.1}}, false},
      {false, {{AdjustmentKind::exposure, 1}}, true},
  };
  for (const auto& [enabled, amounts, noOp] : rows) {
    EXPECT_EQ(LocalMask::make(kMask, "m", Shape{}, amounts, enabled).isNoOp(), noOp);
  }
}

TEST(LocalMask, ListsAIMattesMaskFirstThenRefinementsAndStoresNoEmptyRefinements) {
  LocalMask m = LocalMask::make(kMask, "m", Shape::AISubject{}, {}, true,
                                {{kPart, Shape::AIPeople{true}, CompositeMode::subtract},
                                 {Uuid::random(), Shape::Radial{}, CompositeMode::add}});
  const std::vector<std::pair<Uuid, Shape>> both{{kMask, Shape::AISubject{}},
                                                 {kPart, Shape::AIPeople{true}}};
  EXPECT_EQ(m.aiMatteRegions(), both);
  m.shape = Shape::Linear{};
  EXPECT_EQ(m.aiMatteRegions(), std::vector(both.begin() + 1, both.end()));

  m.setRefinements({});
  EXPECT_FALSE(m.refinementList.has_value());
  EXPECT_TRUE(m.aiMatteRegions().empty());
  LocalMask emptyList = m;
  emptyList.refinementList.emplace();
  EXPECT_NE(emptyList, m);
}
