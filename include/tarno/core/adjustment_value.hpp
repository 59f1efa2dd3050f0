// One stored adjustment: its kind, its value, who set it and when.
#pragma once

#include "tarno/core/adjustment_kind.hpp"
#include "tarno/core/adjustment_payload.hpp"
#include "tarno/core/edit_origin.hpp"
#include "tarno/core/json_record.hpp"

namespace tarno::core {

struct AdjustmentValue {
  AdjustmentKind kind = AdjustmentKind::treatment;
  AdjustmentPayload payload{};
  EditOrigin lastModifiedBy{};
  Date lastModifiedAt{};

  static constexpr auto jsonFields = std::tuple{
      required("kind", &AdjustmentValue::kind), required("payload", &AdjustmentValue::payload),
      required("lastModifiedBy", &AdjustmentValue::lastModifiedBy),
      required("lastModifiedAt", &AdjustmentValue::lastModifiedAt)};
  friend bool operator==(const AdjustmentValue&, const AdjustmentValue&) = default;
};

}  // namespace tarno::core
