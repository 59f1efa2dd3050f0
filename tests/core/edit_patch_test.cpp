// Edit and mask patches: op forms, what is refused before any change, the version they add, and
// what stays applied when a mask is missing.
#include "tarno/core/edit_patch.hpp"

#include <gtest/gtest.h>

#include <chrono>

#include "tarno/core/edit_stack.hpp"

using namespace tarno::core;
using K = AdjustmentKind;
using Action = MaskPatchOp::Action;

namespace {
const Date t0 = std::chrono::sys_days{std::chrono::year{2025} / 3 / 14};
const Uuid kA = *Uuid::parse("00000000-0000-4000-8000-00000000000A");
const Uuid kB = *Uuid::parse("00000000-0000-4000-8000-00000000000B");
const EditOrigin kAgent = EditOrigin::ai("claude", "s");

// Exposure 0.4 and one mask (kA) with exposure 0.5, at version 2.
EditStack start() {
  EditStack s;
  s.setScalar(K::exposure, 0.4, EditOrigin::user(), t0);
  s.addMask(LocalMask::make(kA, "m", Shape::AISubject{}, {{K::exposure, 0.5}}, true));
  return s;
}

std::optional<EditPatchError> patch(EditStack& s, std::vector<EditPatchOp> ops,
                                    std::vector<MaskPatchOp> maskOps = {},
                                    std::optional<std::int64_t> expected = std::nullopt) {
  try {
    s.apply(ops, maskOps, kAgent, t0, expected);
  } catch (const EditPatchError& e) {
    return e;
  }
  return std::nullopt;
}
}  // namespace

TEST(EditPatchOp, CarriesBareValuesAndExactlyOnePayload) {
  const EditPatchOp op =
      decodeFromString<EditPatchOp>(R"({"kind":"crop","rect":[[0,0],[1,0.5]],"remove":null})");
  EXPECT_EQ(op, (EditPatchOp{.kind = K::crop, .rect = Rect{{0, 0}, {1, 0.5}}}));
  EXPECT_EQ(encodeToString(op), R"({"kind":"crop","rect":[[0,0],[1,0.5]]})");
  // Payloads are bare values, not the stored one-key form.
  EXPECT_THROW(decodeFromString<EditPatchOp>(R"({"kind":"exposure","scalar":{"scalar":{"_0":1}}})"),
               DecodingError);
  const std::pair<std::string_view, int> counts[] = {
      {R"({"kind":"exposure","scalar":0.5,"remove":false})", 1},
      {R"({"kind":"exposure","remove":false})", 0},
      {R"({"kind":"exposure","remove":true,"scalar":0.5})", 2},
      {R"({"kind":"exposure","scalar":0.5,"curve":[]})", 2},
      {R"({"kind":"pointColor","pointColors":[]})", 1},
  };
  for (const auto& [json, count] : counts) {
    EXPECT_EQ(decodeFromString<EditPatchOp>(json).payloadCount(), count) << json;
  }
}

TEST(EditPatch, RefusesBeforeAnyChange) {
  const EditPatchOp clarity{.kind = K::clarity, .scalar = 1};
  const EditPatchOp twoPayloads{.kind = K::crop, .scalar = 1, .curve = {{}}};
  const EditPatchOp noPayload{.kind = K::clarity, .remove = false};
  const MaskPatchOp goodMaskOp{.action = Action::add, .shape = Shape::AIPeople{}};
  const MaskPatchOp badMaskOp{.action = Action::remove};
  const std::tuple<std::vector<EditPatchOp>, std::vector<MaskPatchOp>, std::optional<std::int64_t>,
                   EditPatchError>
      rows[] = {{{clarity}, {}, 1, EditPatchError::versionMismatch(1, 2)},
                {{clarity, twoPayloads}, {}, 2, EditPatchError::malformedOp(K::crop)},
                {{noPayload}, {}, {}, EditPatchError::malformedOp(K::clarity)},
                {{clarity},
                 {goodMaskOp, badMaskOp},
                 {},
                 EditPatchError::malformedMaskOp(Action::remove)}};
  for (const auto& [ops, maskOps, expected, error] : rows) {
    EditStack s = start();
    EXPECT_EQ(patch(s, ops, maskOps, expected), error);
    EXPECT_EQ(s, start());
  }
}

TEST(EditPatch, StoresEveryPayloadAndCountsStoresAndRealRemovals) {
  EditStack s = start();
  const PointColorTarget target{.hue = 0.2};
  ASSERT_EQ(patch(s,
                  {{.kind = K::exposure, .scalar = 0.4},
                   {.kind = K::flipVertical, .boolean = true},
                   {.kind = K::toneCurve, .curve = std::vector<Point>{{1, 1}, {0, 0}, {1, 1}}},
                   {.kind = K::lut, .string = "a.cube"},
                   {.kind = K::exposure, .pointColors = std::vector{target}},
                   {.kind = K::contrast, .remove = true},
                   {.kind = K::clarity, .scalar = 5, .remove = false}},
                  {}, 2),
            std::nullopt);
  EXPECT_EQ(s.version, 2 + 6);
  EXPECT_EQ(s.values.at(K::exposure),
            (AdjustmentValue{K::exposure, AdjustmentPayload::scalar(0.4), kAgent, t0}));
  EXPECT_EQ(s.curve(K::toneCurve), (std::vector<Point>{{1, 1}, {0, 0}, {1, 1}}));
  EXPECT_EQ(s.pointColors(), std::vector{target});
  EXPECT_EQ(s.values.at(K::pointColor).kind, K::pointColor);
  EXPECT_EQ(s.scalar(K::clarity), 5);

  ASSERT_EQ(patch(s, {{.kind = K::lut, .pointColors = std::vector<PointColorTarget>{}}}),
            std::nullopt);
  EXPECT_TRUE(s.pointColors().empty());
  EXPECT_TRUE(s.string(K::lut));
  EXPECT_EQ(s.version, 9);
  ASSERT_EQ(patch(s, {}, {}, 9), std::nullopt);
  EXPECT_EQ(s.version, 9);
}

TEST(MaskPatch, ValidatesWhatEachActionNeeds) {
  const std::pair<MaskPatchOp, bool> rows[] = {
      {{.action = Action::add}, false},
      {{.action = Action::add, .shape = Shape{}}, true},
      {{.action = Action::setShape, .shape = Shape{}}, false},
      {{.action = Action::setShape, .id = kA, .shape = Shape{}}, true},
      {{.action = Action::setAdjustment, .id = kA, .value = 1}, false},
      {{.action = Action::setAdjustment, .id = kA, .adjustment = K::exposure}, true},
      {{.action = Action::setEnabled, .id = kA}, false},
      {{.action = Action::setEnabled, .id = kA, .name = "x", .enabled = false}, true},
      {{.action = Action::remove}, false},
  };
  for (const auto& [op, valid] : rows) {
    try {
      op.validate();
      EXPECT_TRUE(valid) << encodeToString(op);
    } catch (const EditPatchError& e) {
      EXPECT_FALSE(valid) << encodeToString(op);
      EXPECT_EQ(e, EditPatchError::malformedMaskOp(op.action));
    }
  }
}

TEST(MaskPatch, AppliesInOrderAndKeepsWhatWentBeforeAMissingMask) {
  EditStack s = start();
  const std::vector<Uuid> created = s.apply(std::vector<MaskPatchOp>{
      decodeFromString<MaskPatchOp>(R"({"action":"add","shape":{"aiSubject":{"inverted":false}}})"),
      {.action = Action::add,
       .id = kB,
       .shape = Shape{},
       .name = "B",
       .adjustment = K::clarity,
       .value = 0},
      {.action = Action::setAdjustment, .id = kA, .adjustment = K::exposure},
      {.action = Action::setAdjustment, .id = kB, .adjustment = K::dehaze, .value = 0.3},
      {.action = Action::setShape, .id = kB, .shape = Shape::AIPeople{}},
      {.action = Action::setEnabled, .id = kA, .enabled = false}});
  ASSERT_EQ(created.size(), 2u);
  EXPECT_EQ(created[1], kB);
  EXPECT_EQ(s.version, 2 + 6);
  ASSERT_EQ(s.masks().size(), 3u);
  EXPECT_EQ(s.masks()[1], LocalMask::make(created[0], "Mask", Shape::AISubject{}, {}, true));
  EXPECT_EQ(s.masks()[2],
            LocalMask::make(kB, "B", Shape::AIPeople{}, {{K::clarity, 0}, {K::dehaze, 0.3}}, true));
  EXPECT_TRUE(s.masks()[0].adjustments.empty());
  EXPECT_FALSE(s.masks()[0].isEnabled);

  const Uuid missing = Uuid::random();
  EXPECT_EQ(patch(s, {{.kind = K::clarity, .scalar = 1}},
                  {{.action = Action::remove, .id = kB},
                   {.action = Action::setEnabled, .id = missing, .enabled = true},
                   {.action = Action::remove, .id = kA}}),
            EditPatchError::maskNotFound(missing));
  EXPECT_EQ(s.scalar(K::clarity), 1);
  EXPECT_EQ(s.masks().size(), 2u);
  EXPECT_EQ(s.version, 8 + 2);

  s.apply(std::vector<MaskPatchOp>{{.action = Action::remove, .id = kA},
                                   {.action = Action::remove, .id = created[0]}});
  EXPECT_FALSE(s.maskList.has_value());
}
