// Fitting an image into a container, and the enlargement that straightening needs.
#include <gtest/gtest.h>

#include <cmath>  // NAN

#include "tarno/core/aspect_fit.hpp"
#include "tarno/core/straighten_geometry.hpp"

namespace tarno::core {
namespace {

TEST(AspectFit, ScalesUpOrDownAndCentresInTheWholeContainer) {
  const struct {
    Size image, container;
    double padding;
    Rect fitted;
  } rows[] = {{{4000, 3000}, {1000, 1000}, 20, {{20, 140}, {960, 720}}},
              {{100, 100}, {1000, 500}, 0, {{250, 0}, {500, 500}}},
              {{100, 100}, {1000, 500}, 250, {}},
              {{0, 100}, {1000, 500}, 0, {}},
              {{100, 100}, {1000, 500}, NAN, {}}};
  for (const auto& row : rows) {
    EXPECT_EQ(AspectFit::rect(row.image, row.container, row.padding), row.fitted)
        << row.image.width << "x" << row.image.height << " padding " << row.padding;
  }
}

TEST(StraightenGeometry, FillScaleGrowsWithTheAngleAndTheAspectRatio) {
  EXPECT_NEAR(StraightenGeometry::fillScale(100, 100, 0.1), 1.0948, 1e-4);
  EXPECT_NEAR(StraightenGeometry::fillScale(300, 200, 0.2), 1.27807, 1e-5);
  EXPECT_EQ(StraightenGeometry::fillScale(200, 300, -0.2),
            StraightenGeometry::fillScale(300, 200, 0.2));
  EXPECT_EQ(StraightenGeometry::fillScale(4000, 3000, 0), 1);
  EXPECT_EQ(StraightenGeometry::fillScale(0, 3000, 0.3), 1);
}

}  // namespace
}  // namespace tarno::core
