// Applies random patches to random stacks. A patch refused for its version or a malformed op
// changes nothing; every value keeps the kind it is stored under; no empty mask list is stored;
// and a patch that succeeds adds one version per store, per removal of a present value and per
// mask op, counted here on a model of which kinds are present.
#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <set>

#include "tarno/core/edit_patch.hpp"
#include "tarno/core/edit_stack.hpp"

using namespace tarno::core;

namespace {

Uuid maskId(FuzzedDataProvider& in) {
  Uuid u;
  u.bytes[15] = in.ConsumeIntegralInRange<std::uint8_t>(0, 3);  // a few ids, so ops find masks
  return u;
}

AdjustmentKind kind(FuzzedDataProvider& in) {
  return allCases<AdjustmentKind>[in.ConsumeIntegralInRange<std::size_t>(
      0, allCases<AdjustmentKind>.size() - 1)];
}

Shape shape(FuzzedDataProvider& in) {
  return in.ConsumeBool() ? Shape(Shape::AISubject{in.ConsumeBool()})
                          : Shape(Shape::Radial{{}, {}, in.ConsumeFloatingPoint<double>(), false});
}

EditPatchOp patchOp(FuzzedDataProvider& in) {
  EditPatchOp op{.kind = kind(in)};
  // Each payload present or not on its own, so that malformed ops come up too.
  const unsigned present = in.ConsumeIntegral<std::uint8_t>();
  if (present & 1) op.scalar = in.ConsumeFloatingPoint<double>();
  if (present & 2) op.boolean = in.ConsumeBool();
  if (present & 4) op.curve = std::vector<Point>(in.ConsumeIntegralInRange(0, 3), Point{});
  if (present & 8) op.rect = Rect{};
  if (present & 16) op.string = in.ConsumeRandomLengthString(8);
  if (present & 32) op.pointColors = std::vector<PointColorTarget>(in.ConsumeIntegralInRange(0, 2));
  if (present & 64) op.remove = in.ConsumeBool();
  return op;
}

MaskPatchOp maskOp(FuzzedDataProvider& in) {
  MaskPatchOp op{.action = allCases<MaskPatchOp::Action>[in.ConsumeIntegralInRange(0, 4)]};
  const unsigned present = in.ConsumeIntegral<std::uint8_t>();
  if (present & 1) op.id = maskId(in);
  if (present & 2) op.shape = shape(in);
  if (present & 4) op.adjustment = kind(in);
  if (present & 8) op.value = in.ConsumeIntegralInRange(-1, 1);
  if (present & 16) op.enabled = in.ConsumeBool();
  return op;
}

void checkInvariants(const EditStack& s) {
  for (const auto& [k, v] : s.values) {
    if (v.kind != k) std::abort();
  }
  if (s.maskList && s.maskList->empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  const Date at = std::chrono::sys_days{std::chrono::year{2025} / 1 / 1};
  EditStack stack;
  for (int n = in.ConsumeIntegralInRange(0, 6); n > 0; --n)
    stack.setScalar(kind(in), 1, EditOrigin::user(), at);
  for (int n = in.ConsumeIntegralInRange(0, 3); n > 0; --n)
    stack.addMask(LocalMask::make(maskId(in), "m", shape(in), {}, true));
  stack.version = in.ConsumeIntegralInRange<std::int64_t>(-2, 100);

  std::vector<EditPatchOp> ops(in.ConsumeIntegralInRange(0, 6));
  for (EditPatchOp& op : ops)
    op = patchOp(in);
  std::vector<MaskPatchOp> maskOps(in.ConsumeIntegralInRange(0, 6));
  for (MaskPatchOp& op : maskOps)
    op = maskOp(in);
  std::optional<std::int64_t> expected;
  if (in.ConsumeBool()) expected = in.ConsumeIntegralInRange<std::int64_t>(-2, 100);

  const EditStack before = stack;
  try {
    stack.apply(ops, maskOps, EditOrigin::ai("fuzz", "s"), at + std::chrono::hours(1), expected);
  } catch (const EditPatchError& e) {
    if (!e.is<EditPatchError::MaskNotFound>() && !(stack == before)) std::abort();
    checkInvariants(stack);
    return 0;
  }
  checkInvariants(stack);

  std::set<AdjustmentKind> present;
  for (const auto& entry : before.values)
    present.insert(entry.first);
  std::int64_t changes = static_cast<std::int64_t>(maskOps.size());
  for (const EditPatchOp& op : ops) {
    const bool clears = op.remove.value_or(false) || (op.pointColors && op.pointColors->empty());
    const AdjustmentKind k = op.pointColors ? AdjustmentKind::pointColor : op.kind;
    if (clears) {
      changes += static_cast<std::int64_t>(present.erase(k));
    } else {
      present.insert(k);
      ++changes;
    }
  }
  if (stack.version != before.version + changes) std::abort();
  for (AdjustmentKind k : allCases<AdjustmentKind>) {
    if (present.contains(k) != stack.values.contains(k)) std::abort();
  }
  return 0;
}
