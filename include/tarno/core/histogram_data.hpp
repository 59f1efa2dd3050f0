// A three-channel histogram of an image, one entry per bin; it has no JSON form.
#pragma once

#include <cstddef>
#include <vector>

namespace tarno::core {

struct HistogramData {
  std::vector<float> red{};
  std::vector<float> green{};
  std::vector<float> blue{};
  std::size_t binCount() const { return red.size(); }
  friend bool operator==(const HistogramData&, const HistogramData&) = default;
};

}  // namespace tarno::core
