// One operation of a mask patch: create, reshape, re-weight, enable or delete a local mask of an
// edit stack. A list of them is applied with EditStack::apply(maskOps), on its own or as the
// last phase of an edit patch.
#pragma once

#include <optional>
#include <string>

#include "tarno/core/adjustment_kind.hpp"
#include "tarno/core/json_record.hpp"
#include "tarno/core/mask_shape.hpp"
#include "tarno/core/uuid.hpp"

namespace tarno::core {

struct MaskPatchOp {
  enum class Action { add, setShape, setAdjustment, setEnabled, remove };

  Action action = Action::add;
  std::optional<Uuid> id{};
  std::optional<Shape> shape{};
  std::optional<std::string> name{};
  std::optional<AdjustmentKind> adjustment{};
  std::optional<double> value{};
  std::optional<bool> enabled{};

  static constexpr auto jsonFields = std::tuple{
      required("action", &MaskPatchOp::action),         optional("id", &MaskPatchOp::id),
      optional("shape", &MaskPatchOp::shape),           optional("name", &MaskPatchOp::name),
      optional("adjustment", &MaskPatchOp::adjustment), optional("value", &MaskPatchOp::value),
      optional("enabled", &MaskPatchOp::enabled)};

  // Throws EditPatchError::malformedMaskOp when a field the action needs is absent; fields the
  // action does not use are ignored.
  void validate() const;

  friend bool operator==(const MaskPatchOp&, const MaskPatchOp&) = default;
};

}  // namespace tarno::core
