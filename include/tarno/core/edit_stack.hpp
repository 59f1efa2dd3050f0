// A photo's whole edit: one value per adjustment kind that is set, a counter of changes, and the
// local masks. What the app stores with a photo, what its edit methods carry, and what patches,
// mask patches and merges change.
//
// A plain value, not thread-safe. Every writer keeps the invariants: a value written under a kind
// carries that kind, and an emptied mask list is stored as absent.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "tarno/core/adjustment_kind.hpp"
#include "tarno/core/adjustment_value.hpp"
#include "tarno/core/color_profile.hpp"
#include "tarno/core/develop_source.hpp"
#include "tarno/core/json_record.hpp"
#include "tarno/core/local_mask.hpp"

namespace tarno::core {

struct EditPatchOp;
struct MaskPatchOp;

struct EditStack {
  std::map<AdjustmentKind, AdjustmentValue> values{};  // an absent kind is at its neutral setting
  std::int64_t version = 0;                            // counts changes
  std::optional<std::vector<LocalMask>> maskList{};    // absent when there are none

  // Lenient, so that stacks from newer or damaged writers still load: values under unknown
  // kinds, values and masks that do not decode are dropped. Only a document that is not an
  // object, `values` that is not an object, or a `version` that is not an integer fails.
  static constexpr auto jsonFields = std::tuple{lenientEntries("values", &EditStack::values),
                                                withDefault("version", &EditStack::version),
                                                lenientElements("masks", &EditStack::maskList)};

  static constexpr const auto& geometryKinds = geometryAdjustmentKinds;

  bool isEmpty() const { return values.empty() && masks().empty(); }

  // ---- writers: each records `origin` and `at` in the value it writes and counts one change

  void setScalar(AdjustmentKind kind, double v, const EditOrigin& origin, Date at);
  void setBoolean(AdjustmentKind kind, bool v, const EditOrigin& origin, Date at);
  void setCurve(AdjustmentKind kind, std::vector<Point> v, const EditOrigin& origin, Date at);
  void setRect(AdjustmentKind kind, Rect v, const EditOrigin& origin, Date at);
  void setString(AdjustmentKind kind, std::string v, const EditOrigin& origin, Date at);
  // Always under pointColor; an empty list clears it.
  void setPointColors(std::vector<PointColorTarget> v, const EditOrigin& origin, Date at);
  // Counts a change only when there was a value.
  void clear(AdjustmentKind kind);

  // standard (and raw) clear the kind; any other is stored as its raw value, set by the user now.
  void setColorProfile(ColorProfile p);
  void setDevelopSource(DevelopSource s);

  // Drops geometry-free values, takes the preset's geometry-free values unchanged, keeps the
  // masks; one change.
  void applyPreset(const EditStack& preset);

  // ---- masks

  const std::vector<LocalMask>& masks() const;
  // Does not count a change.
  void setMasks(std::vector<LocalMask> masks);
  void addMask(LocalMask mask);
  // Replaces the first mask with the same id; a change only when one was replaced.
  void updateMask(LocalMask mask);
  // Removes every mask with this id; always counts a change.
  void removeMask(const Uuid& id);

  // ---- readers: absent, or the fallback, when the kind holds no value of that variant

  std::optional<double> scalar(AdjustmentKind kind) const;
  double scalar(AdjustmentKind kind, double fallback) const;
  std::optional<bool> boolean(AdjustmentKind kind) const;
  bool boolean(AdjustmentKind kind, bool fallback) const;
  std::optional<std::vector<Point>> curve(AdjustmentKind kind) const;
  std::optional<Rect> rect(AdjustmentKind kind) const;
  std::optional<std::string> string(AdjustmentKind kind) const;
  std::vector<PointColorTarget> pointColors() const;
  // The stored number rounded to a case; anything else reads as standard (raw).
  ColorProfile colorProfile() const;
  DevelopSource developSource() const;

  // Some geometry kind holds a non-neutral value of its own variant.
  bool hasGeometry() const;
  // What a preset carries: the values without geometry, the masks, version 0.
  EditStack presetSubset() const;
  // Same values and masks (absent and empty alike), whatever the versions.
  bool sameContent(const EditStack& other) const;

  // ---- patches (edit_patch.hpp, mask_patch.hpp) and merge

  // Applies value ops, then mask ops, under an optional check of `version`. Throws
  // EditPatchError; a version mismatch or a malformed op changes nothing, while a missing mask
  // leaves the value ops and the earlier mask ops applied.
  void apply(const std::vector<EditPatchOp>& ops, const std::vector<MaskPatchOp>& maskOps,
             const EditOrigin& origin, Date at,
             std::optional<std::int64_t> expectedVersion = std::nullopt);
  // Returns the ids of the masks that add ops created, in op order.
  std::vector<Uuid> apply(const std::vector<MaskPatchOp>& maskOps);

  // Per kind the later value (mine on a tie), masks united by id (mine first), version above
  // both. Never fails.
  EditStack merged(const EditStack& theirs) const;

  friend bool operator==(const EditStack&, const EditStack&) = default;

 private:
  void store(AdjustmentKind kind, AdjustmentPayload payload, const EditOrigin& origin, Date at);
  const AdjustmentPayload* payload(AdjustmentKind kind) const;
};

}  // namespace tarno::core
