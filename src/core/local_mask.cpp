// Local masks: the refinement list's empty-as-absent rule and what a mask asks of the app.
#include "tarno/core/local_mask.hpp"

#include <algorithm>

#include "tarno/core/optional_list.hpp"

namespace tarno::core {

LocalMask LocalMask::make(Uuid id, std::string name, Shape shape,
                          PairArrayMap<AdjustmentKind, double> adjustments, bool isEnabled,
                          std::vector<MaskComponent> refinements) {
  LocalMask m{.id = id,
              .name = std::move(name),
              .shape = std::move(shape),
              .adjustments = std::move(adjustments),
              .isEnabled = isEnabled};
  m.setRefinements(std::move(refinements));
  return m;
}

const std::vector<MaskComponent>& LocalMask::refinements() const {
  return orEmpty(refinementList);
}

void LocalMask::setRefinements(std::vector<MaskComponent> refinements) {
  refinementList = absentIfEmpty(std::move(refinements));
}

bool LocalMask::isNoOp() const {
  return !isEnabled || std::all_of(adjustments.begin(), adjustments.end(),
                                   [](const auto& a) { return a.second == 0; });
}

std::vector<std::pair<Uuid, Shape>> LocalMask::aiMatteRegions() const {
  std::vector<std::pair<Uuid, Shape>> out;
  if (shape.isAIMatte()) out.emplace_back(id, shape);
  for (const MaskComponent& c : refinements()) {
    if (c.shape.isAIMatte()) out.emplace_back(c.id, c.shape);
  }
  return out;
}

}  // namespace tarno::core
