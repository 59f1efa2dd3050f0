// Placing an image inside a container, scaled to fit and centred.
#pragma once

#include <algorithm>

#include "tarno/core/geometry.hpp"

namespace tarno::core::AspectFit {

// The image scaled (up or down) to fit the container less `padding` on every side, centred in
// the whole container; the zero rectangle when the image or the padded container is empty.
inline Rect rect(Size imageSize, Size container, double padding) {
  const double availableWidth = container.width - 2 * padding;
  const double availableHeight = container.height - 2 * padding;
  if (!(imageSize.width > 0) || !(imageSize.height > 0) || !(availableWidth > 0) ||
      !(availableHeight > 0)) {
    return Rect{};
  }
  const double scale =
      std::min(availableWidth / imageSize.width, availableHeight / imageSize.height);
  const Size fitted{imageSize.width * scale, imageSize.height * scale};
  return Rect{{(container.width - fitted.width) / 2, (container.height - fitted.height) / 2},
              fitted};
}

}  // namespace tarno::core::AspectFit
