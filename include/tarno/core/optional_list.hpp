// Lists that the model stores as absent when empty (a stack's masks, a mask's refinements):
// readers see an empty list, writers never store one.
#pragma once

#include <optional>
#include <utility>
#include <vector>

namespace tarno::core {

template <class T>
const std::vector<T>& orEmpty(const std::optional<std::vector<T>>& list) {
  static const std::vector<T> none;
  return list ? *list : none;
}

template <class T>
std::optional<std::vector<T>> absentIfEmpty(std::vector<T> list) {
  if (list.empty()) return std::nullopt;
  return std::optional<std::vector<T>>(std::move(list));
}

}  // namespace tarno::core
