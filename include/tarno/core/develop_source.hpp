// Which data a photo is developed from, stored in a stack's developSource kind as its integer
// raw value.
#pragma once

#include <cstdint>
#include <string_view>

#include "tarno/core/json_record.hpp"

namespace tarno::core {

enum class DevelopSource { raw, cameraJPEG };
constexpr IntegerRawValues jsonRawValues(DevelopSource) {
  return {};
}

constexpr std::int64_t id(DevelopSource s) {
  return static_cast<std::int64_t>(s);
}
constexpr std::string_view displayName(DevelopSource s) {
  return s == DevelopSource::raw ? "RAW" : "JPEG";
}

}  // namespace tarno::core
