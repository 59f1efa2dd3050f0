// Mask patches: validation per action and application to a stack's masks.
#include "tarno/core/mask_patch.hpp"

#include "tarno/core/edit_patch.hpp"
#include "tarno/core/edit_stack.hpp"

namespace tarno::core {

void MaskPatchOp::validate() const {
  bool complete = false;
  switch (action) {
    case Action::add:
      complete = shape.has_value();
      break;
    case Action::setShape:
      complete = id && shape;
      break;
    case Action::setAdjustment:
      complete = id && adjustment;
      break;
    case Action::setEnabled:
      complete = id && enabled;
      break;
    case Action::remove:
      complete = id.has_value();
      break;
  }
  if (!complete) throw EditPatchError::malformedMaskOp(action);
}

namespace {
// The first mask with this id, which is the one updateMask replaces.
LocalMask maskWithId(const EditStack& stack, const Uuid& id) {
  for (const LocalMask& m : stack.masks()) {
    if (m.id == id) return m;
  }
  throw EditPatchError::maskNotFound(id);
}
}  // namespace

std::vector<Uuid> EditStack::apply(const std::vector<MaskPatchOp>& maskOps) {
  for (const MaskPatchOp& op : maskOps)
    op.validate();
  std::vector<Uuid> created;
  for (const MaskPatchOp& op : maskOps) {
    auto change = [&](auto edit) {
      LocalMask m = maskWithId(*this, *op.id);
      edit(m);
      updateMask(std::move(m));
    };
    switch (op.action) {
      case MaskPatchOp::Action::add: {
        LocalMask m{.id = op.id ? *op.id : Uuid::random(),
                    .name = op.name.value_or("Mask"),
                    .shape = *op.shape};
        if (op.adjustment && op.value) m.adjustments[*op.adjustment] = *op.value;
        created.push_back(m.id);
        addMask(std::move(m));
        break;
      }
      case MaskPatchOp::Action::setShape:
        change([&](LocalMask& m) { m.shape = *op.shape; });
        break;
      case MaskPatchOp::Action::setAdjustment:
        change([&](LocalMask& m) {
          if (op.value.value_or(0) == 0) {
            m.adjustments.erase(*op.adjustment);
          } else {
            m.adjustments[*op.adjustment] = *op.value;
          }
        });
        break;
      case MaskPatchOp::Action::setEnabled:
        change([&](LocalMask& m) { m.isEnabled = *op.enabled; });
        break;
      case MaskPatchOp::Action::remove:
        (void)maskWithId(*this, *op.id);
        removeMask(*op.id);
        break;
    }
  }
  return created;
}

}  // namespace tarno::core
