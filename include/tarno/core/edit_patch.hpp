// The unit in which an editor client (the app's UI, a preset, an AI agent) changes an edit
// stack: ops that each set or remove one adjustment, applied with EditStack::apply together with
// mask ops, and the errors that application reports.
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "tarno/core/adjustment_kind.hpp"
#include "tarno/core/geometry.hpp"
#include "tarno/core/json_record.hpp"
#include "tarno/core/mask_patch.hpp"
#include "tarno/core/one_of.hpp"
#include "tarno/core/point_color_target.hpp"
#include "tarno/core/uuid.hpp"

namespace tarno::core {

// One change. Unlike a stored value it carries bare values ("scalar": 0.5). Well-formed when
// exactly one payload is present, `remove: true` counting as one and `remove: false` as none.
struct EditPatchOp {
  AdjustmentKind kind = AdjustmentKind::treatment;
  std::optional<double> scalar{};
  std::optional<bool> boolean{};
  std::optional<std::vector<Point>> curve{};
  std::optional<Rect> rect{};
  std::optional<std::string> string{};
  std::optional<std::vector<PointColorTarget>> pointColors{};
  std::optional<bool> remove{};

  static constexpr auto jsonFields = std::tuple{required("kind", &EditPatchOp::kind),
                                                optional("scalar", &EditPatchOp::scalar),
                                                optional("boolean", &EditPatchOp::boolean),
                                                optional("curve", &EditPatchOp::curve),
                                                optional("rect", &EditPatchOp::rect),
                                                optional("string", &EditPatchOp::string),
                                                optional("pointColors", &EditPatchOp::pointColors),
                                                optional("remove", &EditPatchOp::remove)};

  int payloadCount() const;

  friend bool operator==(const EditPatchOp&, const EditPatchOp&) = default;
};

namespace edit_patch_error {
struct MalformedOp {
  AdjustmentKind kind{};
  friend bool operator==(const MalformedOp&, const MalformedOp&) = default;
};
struct VersionMismatch {
  std::int64_t expected = 0;
  std::int64_t actual = 0;
  friend bool operator==(const VersionMismatch&, const VersionMismatch&) = default;
};
struct MalformedMaskOp {
  MaskPatchOp::Action action{};
  friend bool operator==(const MalformedMaskOp&, const MalformedMaskOp&) = default;
};
struct MaskNotFound {
  Uuid id{};
  friend bool operator==(const MaskNotFound&, const MaskNotFound&) = default;
};
}  // namespace edit_patch_error

// Thrown by patch and mask-patch application. It carries no message of its own (what() names the
// case); callers that report it form their own text. Compared by case and payload.
class EditPatchError
    : public std::exception,
      public OneOf<edit_patch_error::MalformedOp, edit_patch_error::VersionMismatch,
                   edit_patch_error::MalformedMaskOp, edit_patch_error::MaskNotFound> {
 public:
  using MalformedOp = edit_patch_error::MalformedOp;
  using VersionMismatch = edit_patch_error::VersionMismatch;
  using MalformedMaskOp = edit_patch_error::MalformedMaskOp;
  using MaskNotFound = edit_patch_error::MaskNotFound;
  using OneOf::OneOf;

  static EditPatchError malformedOp(AdjustmentKind kind) { return MalformedOp{kind}; }
  static EditPatchError versionMismatch(std::int64_t expected, std::int64_t actual) {
    return VersionMismatch{expected, actual};
  }
  static EditPatchError malformedMaskOp(MaskPatchOp::Action action) {
    return MalformedMaskOp{action};
  }
  static EditPatchError maskNotFound(Uuid id) { return MaskNotFound{id}; }

  const char* what() const noexcept override;
};

}  // namespace tarno::core
