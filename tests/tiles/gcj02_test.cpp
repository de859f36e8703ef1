#include "tiles/gcj02.h"

#include <gtest/gtest.h>

namespace tivra::tiles {
namespace {

struct ViewOffset {
  double lon, lat;
  PointE5 offset;
};

class Gcj02Offsets : public ::testing::TestWithParam<ViewOffset> {};

TEST_P(Gcj02Offsets, AtTheViewCentre) {
  const ViewOffset& v = GetParam();
  EXPECT_EQ(gcj02Offset({toE5(v.lon), toE5(v.lat)}), v.offset) << v.lon << "," << v.lat;
}

INSTANTIATE_TEST_SUITE_P(Places, Gcj02Offsets,
                         ::testing::Values(ViewOffset{116.39, 39.90, {-623, -140}},  // Beijing
                                           ViewOffset{121.47, 31.23, {-453, 193}},   // Shanghai
                                           ViewOffset{113.26, 23.13, {-532, 267}},   // Guangzhou
                                           // Outside the box the frame is the globe's own.
                                           ViewOffset{139.69, 35.69, {0, 0}},  // Tokyo
                                           ViewOffset{2.35, 48.86, {0, 0}},
                                           ViewOffset{-74.0, 40.7, {0, 0}},
                                           ViewOffset{116.39, -39.90, {0, 0}},
                                           ViewOffset{116.39, 56.0, {0, 0}}));

struct Published {
  LonLat globe;
  LonLat shifted;
};

class Gcj02Published : public ::testing::TestWithParam<Published> {};

TEST_P(Gcj02Published, MatchesWithinACentimetre) {
  const LonLat shifted = toGcj02(GetParam().globe);
  EXPECT_NEAR(shifted.lon, GetParam().shifted.lon, 1e-7);
  EXPECT_NEAR(shifted.lat, GetParam().shifted.lat, 1e-7);
}

// Pairs published with converters and their test suites.
INSTANTIATE_TEST_SUITE_P(
    References, Gcj02Published,
    ::testing::Values(Published{{116.404, 39.915}, {116.41024449916938, 39.91640428150164}},
                      Published{{116.0, 40.0}, {116.006141221789, 40.001213650174}},
                      Published{{121.0917077, 30.6107779},
                                {121.09626935575027, 30.608604331756705}},
                      Published{{116.397428, 39.90923}, {116.40367163, 39.91063351}}));

}  // namespace
}  // namespace tivra::tiles
