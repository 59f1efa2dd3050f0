// A named snapshot of an edit stack, one entry of the app's edit history.
#pragma once

#include <string>

#include "tarno/core/edit_stack.hpp"

namespace tarno::core {

struct HistoryStep {
  Uuid id{};
  std::string label{};
  EditStack stack{};
  Date date{};
  static constexpr auto jsonFields =
      std::tuple{required("id", &HistoryStep::id), required("label", &HistoryStep::label),
                 required("stack", &HistoryStep::stack), required("date", &HistoryStep::date)};
  friend bool operator==(const HistoryStep&, const HistoryStep&) = default;
};

}  // namespace tarno::core
