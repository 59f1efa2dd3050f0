// Edit patches: op validation and the phased application to a stack.
#include "tarno/core/edit_patch.hpp"

#include "tarno/core/edit_stack.hpp"

namespace tarno::core {

int EditPatchOp::payloadCount() const {
  return int{scalar.has_value()} + int{boolean.has_value()} + int{curve.has_value()} +
         int{rect.has_value()} + int{string.has_value()} + int{pointColors.has_value()} +
         int{remove.value_or(false)};
}

const char* EditPatchError::what() const noexcept {
  return "EditPatchError";
}

void EditStack::apply(const std::vector<EditPatchOp>& ops, const std::vector<MaskPatchOp>& maskOps,
                      const EditOrigin& origin, Date at,
                      std::optional<std::int64_t> expectedVersion) {
  // Everything that can be refused is checked before the first change.
  if (expectedVersion && *expectedVersion != version) {
    throw EditPatchError::versionMismatch(*expectedVersion, version);
  }
  for (const EditPatchOp& op : ops) {
    if (op.payloadCount() != 1) throw EditPatchError::malformedOp(op.kind);
  }
  for (const MaskPatchOp& op : maskOps)
    op.validate();

  for (const EditPatchOp& op : ops) {
    if (op.remove.value_or(false)) {
      clear(op.kind);
    } else if (op.scalar) {
      setScalar(op.kind, *op.scalar, origin, at);
    } else if (op.boolean) {
      setBoolean(op.kind, *op.boolean, origin, at);
    } else if (op.curve) {
      setCurve(op.kind, *op.curve, origin, at);
    } else if (op.rect) {
      setRect(op.kind, *op.rect, origin, at);
    } else if (op.string) {
      setString(op.kind, *op.string, origin, at);
    } else if (op.pointColors) {
      setPointColors(*op.pointColors, origin, at);
    }
  }
  if (!maskOps.empty()) (void)apply(maskOps);
}

}  // namespace tarno::core
