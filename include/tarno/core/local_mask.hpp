// A local mask: adjustment amounts that apply only inside a region of the image, the region
// made of a primary shape and optional refinements that add to, subtract from or intersect it.
// Rasterising and compositing are the app's.
#pragma once

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "tarno/core/adjustment_kind.hpp"
#include "tarno/core/json_record.hpp"
#include "tarno/core/mask_shape.hpp"
#include "tarno/core/uuid.hpp"

namespace tarno::core {

// How a refinement combines with the region accumulated so far.
enum class CompositeMode { add, subtract, intersect };

struct MaskComponent {
  Uuid id{};
  Shape shape{};
  CompositeMode mode = CompositeMode::add;
  static constexpr auto jsonFields =
      std::tuple{required("id", &MaskComponent::id), required("shape", &MaskComponent::shape),
                 required("mode", &MaskComponent::mode)};
  friend bool operator==(const MaskComponent&, const MaskComponent&) = default;
};

struct LocalMask {
  Uuid id{};
  std::string name{};
  Shape shape{};
  PairArrayMap<AdjustmentKind, double> adjustments{};
  bool isEnabled = true;
  // Absent and empty differ for equality; the operations that edit it store empty as absent.
  std::optional<std::vector<MaskComponent>> refinementList{};

  static constexpr auto jsonFields =
      std::tuple{required("id", &LocalMask::id),
                 required("name", &LocalMask::name),
                 required("shape", &LocalMask::shape),
                 required("adjustments", &LocalMask::adjustments),
                 required("isEnabled", &LocalMask::isEnabled),
                 optional("refinementList", &LocalMask::refinementList)};

  // An empty refinement list is stored as absent.
  static LocalMask make(Uuid id, std::string name, Shape shape,
                        PairArrayMap<AdjustmentKind, double> adjustments, bool isEnabled,
                        std::vector<MaskComponent> refinements = {});

  const std::vector<MaskComponent>& refinements() const;
  void setRefinements(std::vector<MaskComponent> refinements);

  // Has no effect: disabled, or every amount exactly 0 (no amounts counts as all 0).
  bool isNoOp() const;

  // The AI mattes the app must compute for this mask, as (id, shape) pairs: the mask itself
  // first when its primary shape is one, then each such refinement in list order.
  std::vector<std::pair<Uuid, Shape>> aiMatteRegions() const;

  friend bool operator==(const LocalMask&, const LocalMask&) = default;
};

}  // namespace tarno::core
